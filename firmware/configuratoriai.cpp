// Board set-up and the key interrupt.
#include "main.h"

#include "configuratoriai.h"
#include "lcd.h"

volatile int demo_bukle;

namespace {

// Glyph rows, top first. Bit 7 is set in every row so that none is a zero
// byte; the display uses only the low five bits. The trailing zero is not a row.
const char heart_large[9] = {'\x8A', '\x9F', '\x9F', '\x9F', '\x9F', '\x8E', '\x84', '\x80', 0};
const char heart_small[9] = {'\x80', '\x8A', '\x9F', '\x9F', '\x8E', '\x84', '\x80', '\x80', 0};

constexpr unsigned int kPioPriority = 6;
constexpr unsigned int kPioSourceType = 0;
constexpr unsigned int kSpiDataIn = 0x00001000;   // PA12
// Keys, the flash chip select and the SPI data input keep their pull-ups.
constexpr unsigned int kPullups = KEYS | FLASH_CS | kSpiDataIn;

}  // namespace

void init_hardware(void)
{
    hw_write(AT91C_BASE_WDTC, WDTC_WDMR, AT91C_WDTC_WDDIS);
    AT91F_PMC_EnablePeriphClock(AT91C_BASE_PMC, (1u << AT91C_ID_PIOA) | (1u << AT91C_ID_SPI));

    // The flash chip select is driven high from the moment it becomes an
    // output. Left at the reset level of PIO_ODSR it would select the flash
    // while the SPI set-up moves the clock line, and the stray edge would
    // shift a bit into the first command.
    AT91F_PIO_SetOutput(AT91C_BASE_PIOA, FLASH_CS);
    AT91F_PIO_CfgOutput(AT91C_BASE_PIOA, LED | FLASH_CS);
    // Only the LED is written through ODSR; the display driver widens this
    // set around its own transfers and puts it back.
    AT91F_PIO_CfgDirectDrive(AT91C_BASE_PIOA, LED);

    // The first pass ends with the display off, the second turns it on
    // without cursor or blink.
    lcd_init(0x08);
    lcd_init(0x0C);
    lcd_CustChar(1, heart_large);
    lcd_CustChar(2, heart_small);

    AT91F_PIO_CfgInput(AT91C_BASE_PIOA, KEYS);
    AT91F_PIO_CfgPullup(AT91C_BASE_PIOA, kPullups);

    AT91F_AIC_ConfigureIt(AT91C_BASE_AIC, AT91C_ID_PIOA, kPioPriority, kPioSourceType, ISR_PIO_handler);
    AT91F_PIO_InterruptEnable(AT91C_BASE_PIOA, KEYS);
    AT91F_AIC_EnableIt(AT91C_BASE_AIC, AT91C_ID_PIOA);
}

// Every latched change of a key line counts, press or release alike. With
// several keys in one read the tests run in this order, so a clear wins and
// an increment and a decrement cancel.
void ISR_PIO_handler(void)
{
    volatile unsigned int pin_mask = hw_read(AT91C_BASE_PIOA, PIO_ISR);

    // The counter wraps as two's complement; the arithmetic is done unsigned
    // so that the wrap is defined.
    if (pin_mask & KEY_INC)
        demo_bukle = static_cast<int>(static_cast<unsigned int>(demo_bukle) + 1u);
    if (pin_mask & KEY_DEC)
        demo_bukle = static_cast<int>(static_cast<unsigned int>(demo_bukle) - 1u);
    if (pin_mask & KEY_CLR)
        demo_bukle = 0;
}
