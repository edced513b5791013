// Character display (HD44780-type, 20x4) on PIO port A in 4-bit mode.
#ifndef LCD_H
#define LCD_H

// ---- bus and busy-flag protocol ----
void lcd_e_delay(void);
// The count is kept in a volatile counter inside; a volatile-qualified
// parameter would say the same but is deprecated in C++20.
void lcd_ms_delay(unsigned int a);
void toggle_e(void);
void lcd_write(unsigned char data, unsigned char rs);
unsigned char lcd_read(unsigned char rs);
unsigned char lcd_waitbusy(void);
void lcd_command(unsigned char cmd);
void lcd_data(unsigned char data);

// ---- screen operations ----
void lcd_init(unsigned char dispAttr);
void lcd_gotoxy(unsigned char x, unsigned char y);
int lcd_getxy(void);
void lcd_clrscr(void);
void lcd_home(void);
void lcd_putc(char c);
void lcd_puts(const char *s);
void lcd_CustChar(unsigned char c, const char *data);
void lcd_newline(unsigned char pos);

#endif
