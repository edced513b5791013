// Character display on PIO port A: 4-bit bus with busy-flag reads (RS PA17,
// RW PA18, E PA19, D4..D7 PA20..PA23) and the 4x20 screen operations.
//
// Timing is counted loops on volatile counters, sized for the 48 MHz master
// clock; their no-operation is hw_nop() so that a host build pays for them too.
// The PIO output-write set is shared with the LED: every routine that narrows
// it for its own PIO_ODSR writes puts back exactly the set it found.
#include "lcd.h"

#include "configuratoriai.h"

#define LCD_PIO AT91C_BASE_PIOA

// Gives up waiting for the busy flag after this many reads that showed it set.
static const unsigned int LCD_BUSY_READ_LIMIT = 3000001;

void lcd_e_delay(void)
{
    volatile unsigned int i = 0;
    while (i < 6) {
        hw_nop();
        i = i + 1;
    }
}

void lcd_ms_delay(unsigned int count)
{
    volatile unsigned int a = count;
    for (;;) {
        unsigned int left = a - 1;
        a = left;
        if (left == 0)
            break;
        hw_nop();
    }
}

void toggle_e(void)
{
    AT91F_PIO_SetOutput(LCD_PIO, LCD_E);
    lcd_e_delay();
    AT91F_PIO_ClearOutput(LCD_PIO, LCD_E);
}

// Pin image of a nibble: nibble bit n goes out on PA(20+n), each bit tested
// on its own.
static unsigned int lcd_nibble_bits(unsigned char nibble)
{
    unsigned int dataBits = 0;
    if (nibble & 0x01)
        dataBits += 0x00100000;
    if (nibble & 0x02)
        dataBits += 0x00200000;
    if (nibble & 0x04)
        dataBits += 0x00400000;
    if (nibble & 0x08)
        dataBits += 0x00800000;
    return dataBits;
}

void lcd_write(unsigned char data, unsigned char rs)
{
    AT91F_PIO_CfgOutput(LCD_PIO, LCD_PINS);
    int directdrive = (int)AT91F_PIO_GetOutputWriteStatus(LCD_PIO);
    // Only the data lines may follow the PIO_ODSR writes below.
    AT91F_PIO_CfgDirectDrive(LCD_PIO, LCD_DATA);

    if (rs)
        AT91F_PIO_SetOutput(LCD_PIO, LCD_RS);
    else
        AT91F_PIO_ClearOutput(LCD_PIO, LCD_RS);
    AT91F_PIO_ClearOutput(LCD_PIO, LCD_RW);

    AT91F_PIO_ForceOutput(LCD_PIO, lcd_nibble_bits((unsigned char)(data >> 4)));
    toggle_e();
    AT91F_PIO_ForceOutput(LCD_PIO, lcd_nibble_bits((unsigned char)(data & 0x0F)));
    toggle_e();

    // Leave the bus idle high: inputs held up by their pull-ups.
    AT91F_PIO_ForceOutput(LCD_PIO, LCD_DATA);
    AT91F_PIO_SetPullup(LCD_PIO, LCD_DATA);
    AT91F_PIO_CfgInput(LCD_PIO, LCD_DATA);

    AT91F_PIO_CfgDirectDrive(LCD_PIO, (unsigned int)directdrive);
}

// One E pulse of a read; the controller drives the nibble while E is high,
// so the lines are sampled before E falls.
static unsigned int lcd_read_nibble_lines(void)
{
    lcd_e_delay();
    AT91F_PIO_SetOutput(LCD_PIO, LCD_E);
    lcd_e_delay();
    unsigned int tmp_data = AT91F_PIO_GetInput(LCD_PIO);
    AT91F_PIO_ClearOutput(LCD_PIO, LCD_E);
    return tmp_data;
}

// The nibble on D4..D7 in one sample of PIO_PDSR, each line tested on its own.
static unsigned char lcd_lines_nibble(unsigned int tmp_data)
{
    unsigned char nibble = 0;
    if (tmp_data & 0x00100000)
        nibble += 0x01;
    if (tmp_data & 0x00200000)
        nibble += 0x02;
    if (tmp_data & 0x00400000)
        nibble += 0x04;
    if (tmp_data & 0x00800000)
        nibble += 0x08;
    return nibble;
}

unsigned char lcd_read(unsigned char rs)
{
    AT91F_PIO_CfgOutput(LCD_PIO, LCD_CTRL);
    AT91F_PIO_CfgInput(LCD_PIO, LCD_DATA);
    AT91F_PIO_SetPullup(LCD_PIO, LCD_DATA);
    // RS high reads the data register at the address counter.
    if (rs)
        AT91F_PIO_SetOutput(LCD_PIO, LCD_RS);
    else
        AT91F_PIO_ClearOutput(LCD_PIO, LCD_RS);
    AT91F_PIO_SetOutput(LCD_PIO, LCD_RW);

    unsigned char data = (unsigned char)(lcd_lines_nibble(lcd_read_nibble_lines()) << 4);
    data += lcd_lines_nibble(lcd_read_nibble_lines());
    return data;
}

unsigned char lcd_waitbusy(void)
{
    unsigned int klaida = 0;
    for (;;) {
        unsigned char c = lcd_read(0);
        if (!(c & 0x80))
            break;
        klaida++;
        if (klaida == LCD_BUSY_READ_LIMIT)
            break;
        lcd_e_delay();
    }
    // The controller updates its address counter a few microseconds after the
    // flag clears, so the status that is returned is read after a pause; the
    // pause is kept when the poll gave up.
    lcd_ms_delay(41);
    return lcd_read(0);
}

void lcd_command(unsigned char cmd)
{
    lcd_waitbusy();
    lcd_write(cmd, 0);
}

void lcd_data(unsigned char data)
{
    lcd_waitbusy();
    lcd_write(data, 1);
}

// ---- screen operations ----

// Display memory address of column 0 of each row of the 4x20 screen.
static const unsigned char LCD_ROW0 = 0x00;
static const unsigned char LCD_ROW1 = 0x40;
static const unsigned char LCD_ROW2 = 0x14;
static const unsigned char LCD_ROW3 = 0x54;
static const unsigned char LCD_COLUMNS = 20;

static const unsigned char LCD_SET_CGRAM = 0x40;
static const unsigned char LCD_SET_DDRAM = 0x80;

void lcd_init(unsigned char dispAttr)
{
    unsigned int directdrive = AT91F_PIO_GetOutputWriteStatus(LCD_PIO);
    AT91F_PIO_CfgOutput(LCD_PIO, LCD_PINS);
    AT91F_PIO_CfgDirectDrive(LCD_PIO, LCD_DATA);
    AT91F_PIO_ClearOutput(LCD_PIO, LCD_CTRL);
    AT91F_PIO_ForceOutput(LCD_PIO, LCD_DATA);
    // The display runs at 3.3 V: more than 40 ms from power-on before the
    // first function set, then more than 4.1 ms before the second. A pass
    // takes 12 cycles or more (about 14 from flash with its wait state), so
    // these counts keep both waits at 48 MHz with the fastest pass.
    lcd_ms_delay(170000);

    // Initialisation by instruction: three 8-bit function sets bring the
    // controller to a known interface state whatever it was in, then the
    // nibble 0x2 switches it to 4 bits. The busy flag is not read here.
    AT91F_PIO_ForceOutput(LCD_PIO, 0x00300000);
    toggle_e();
    lcd_ms_delay(18000);
    toggle_e();
    lcd_ms_delay(1000);
    toggle_e();
    // The third function set keeps the controller busy for 37 us, and it
    // takes nothing meanwhile: a pass of this loop is a fraction of a
    // microsecond at 48 MHz, so 40 passes would lose the switch to 4 bits.
    lcd_ms_delay(200);
    AT91F_PIO_ForceOutput(LCD_PIO, 0x00200000);
    toggle_e();
    lcd_ms_delay(200);

    lcd_command(0x28);   // 4-bit, two lines, 5x8 dots
    lcd_command(0x08);   // display, cursor and blink off
    lcd_clrscr();
    lcd_command(0x06);   // address counter increments, no display shift
    lcd_command(dispAttr);

    AT91F_PIO_CfgDirectDrive(LCD_PIO, directdrive);
}

void lcd_gotoxy(unsigned char x, unsigned char y)
{
    unsigned char start;
    if (y == 0)
        start = LCD_ROW0;
    else if (y == 1)
        start = LCD_ROW1;
    else if (y == 2)
        start = LCD_ROW2;
    else
        start = LCD_ROW3;
    lcd_command((unsigned char)(LCD_SET_DDRAM + start + x));
}

int lcd_getxy(void)
{
    return (int)lcd_waitbusy();
}

void lcd_clrscr(void)
{
    lcd_command(0x01);
}

void lcd_home(void)
{
    lcd_command(0x02);
}

// The cursor goes to column 0 of the row below; rows 0 and 2 (and 1 and 3)
// share one run of addresses, so the row is told from the address counter.
// A status byte with the busy flag still set falls through to row 0.
void lcd_newline(unsigned char pos)
{
    unsigned char addressCounter;
    if (pos < LCD_COLUMNS)
        addressCounter = LCD_ROW1;
    else if ((unsigned char)(pos - LCD_ROW1) < LCD_COLUMNS)
        addressCounter = LCD_ROW2;
    else if ((unsigned char)(pos - LCD_ROW2) <= 0x2B)
        addressCounter = LCD_ROW3;
    else
        addressCounter = LCD_ROW0;
    lcd_command((unsigned char)(LCD_SET_DDRAM + addressCounter));
}

void lcd_putc(char c)
{
    unsigned char pos = lcd_waitbusy();
    if (c == '\n')
        lcd_newline(pos);
    else
        lcd_write((unsigned char)c, 1);
}

void lcd_puts(const char *s)
{
    char c;
    while ((c = *s++) != 0)
        lcd_putc(c);
}

void lcd_CustChar(unsigned char c, const char *data)
{
    lcd_command((unsigned char)(LCD_SET_CGRAM + ((c & 7) << 3)));
    for (unsigned char i = 0; i < 8; i++)
        lcd_data((unsigned char)data[i]);
}
