// The status loop: greeting, then for ever an LED burst and a refresh of the
// key counter, the heart, the port A levels and one serial flash byte.
#include "main.h"

#include "25L00.h"
#include "lcd.h"
#include "lib_AT91SAM7S256.h"
#include "spi.h"
#include "stdio.h"

char text[21];

namespace {

constexpr int kBurstLength = 30001;
constexpr unsigned int kLedOnDelay = 0;
constexpr unsigned int kLedOffDelay = 20;
constexpr unsigned int kAfterStatusDelay = 100;
constexpr unsigned char kHeartBit = 0x04;

}  // namespace

// Counted on the 48 MHz master clock; the count lives in memory so the
// compiler keeps every step.
void pauze(unsigned int z)
{
    volatile unsigned int i = 0;
    while (i < z) {
        hw_nop();
        i = i + 1;
    }
}

int main(void)
{
    init_hardware();
    lcd_clrscr();
    lcd_puts("ARM direct SPI");
    SPI_Init();

    unsigned char j = 0;
    for (;;) {
        for (int i = 0; i < kBurstLength; i++) {
            AT91F_PIO_ForceOutput(AT91C_BASE_PIOA, LED);
            pauze(kLedOnDelay);
            AT91F_PIO_ForceOutput(AT91C_BASE_PIOA, 0);
            pauze(kLedOffDelay);
        }

        // One snapshot of the counter per pass. text[8] is never written and
        // stays zero, so the eight digits end there.
        lcd_gotoxy(0, 1);
        PutHexa(text, '0', 8, 1, static_cast<unsigned int>(demo_bukle));
        j++;
        text[9] = 0;
        lcd_puts("STATUS:");
        lcd_puts(text);
        pauze(kAfterStatusDelay);

        lcd_gotoxy(15, 0);
        unsigned char heartbeat = j;
        if (heartbeat & kHeartBit)
            lcd_puts("\x01");
        else
            lcd_puts("\x02");

        lcd_gotoxy(0, 3);
        lcd_puts("INFO:");
        PutHexa(text, '0', 8, 1, AT91F_PIO_GetInput(AT91C_BASE_PIOA));
        text[9] = 0;
        lcd_puts(text);
        lcd_puts(".");

        lcd_gotoxy(0, 2);
        PutHexa(text, '0', 2, 1, j);
        text[2] = 0;
        lcd_puts("ADR:");
        lcd_puts(text);
        lcd_puts("=");
        unsigned int k = SROM_Read(j);
        PutHexa(text, '0', 2, 1, k);
        text[2] = 0;
        lcd_puts(text);
    }
}
