/* A program with known calls, branches and an inlined helper, for the
 * coverage and profile tests. The tests find lines by the @ markers. */

static inline __attribute__((always_inline)) int clamp(int v, int limit)
{
    return v > limit ? limit : v; /* @clamp */
}

volatile int sink;

__attribute__((noinline)) int odd_step(int x)
{
    if (x & 1) {           /* @odd-test */
        sink = 3 * x + 1;  /* @odd-yes */
        return 1;
    }
    sink = x >> 1; /* @odd-no */
    return 0;
}

__attribute__((noinline)) int never_called(int x)
{
    return x * 7 + 1; /* @never */
}

/* ARM state: the comparison becomes a conditional instruction, not a branch. */
__attribute__((noinline, target("arm"))) int at_least_two(int x)
{
    if (x < 2) /* @at-least-two */
        x = 2;
    sink = x;
    return x;
}

void _start(void)
{
    int total = 0;
    for (int i = 0; i < 5; ++i)
        total += odd_step(i); /* @call-odd */
    sink = clamp(total, 9);   /* @clamp-site */
    sink = at_least_two(total);
    __asm__ volatile(".global probe_done\nprobe_done: b probe_done");
}
