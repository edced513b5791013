// Compute-bound guest code for the core's speed where no delay loop helps:
// an LCG fill of 4 KiB, a table-driven CRC-32 of it, a bubble sort of 128
// words and a 4 KiB copy, over and over. Built for ARM and for Thumb with
// -O2 -mcpu=arm7tdmi; probe_start.s brings the clock up and calls
// probe_main. Nothing here touches a peripheral.
#include <stdint.h>

#define WORDS 1024u
#define SORTED 128u

static uint32_t fill[WORDS], copied[WORDS], sorted[SORTED], crc_table[256];

// Read by nobody; volatile so that the work is not optimised away.
volatile uint32_t probe_rounds, probe_result;

static uint32_t lcg_fill(uint32_t *p, uint32_t x)
{
    for (unsigned i = 0; i < WORDS; ++i) {
        x = x * 1664525u + 1013904223u;
        p[i] = x;
    }
    return x;
}

static void crc_init(void)
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[i] = c;
    }
}

static uint32_t crc32(const uint8_t *p, unsigned n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned i = 0; i < n; ++i) c = crc_table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

static void bubble_sort(uint32_t *a, unsigned n)
{
    for (unsigned end = n; end > 1; --end)
        for (unsigned i = 0; i + 1 < end; ++i)
            if (a[i] > a[i + 1]) {
                uint32_t t = a[i];
                a[i] = a[i + 1];
                a[i + 1] = t;
            }
}

static void copy_words(uint32_t *d, const uint32_t *s, unsigned n)
{
    for (unsigned i = 0; i < n; ++i) d[i] = s[i];
}

void probe_main(void)
{
    uint32_t x = 12345;
    crc_init();
    for (;;) {
        x = lcg_fill(fill, x);
        uint32_t crc = crc32((const uint8_t *)fill, sizeof fill);
        copy_words(sorted, fill, SORTED);
        bubble_sort(sorted, SORTED);
        copy_words(copied, fill, WORDS);
        probe_result = crc ^ sorted[0] ^ copied[WORDS - 1];
        ++probe_rounds;
    }
}
