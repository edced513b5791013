// The board's nets on port A, once: which line is the LED, each key, the
// serial flash's chip select, the display's lines, the serial lines. The
// models are wired to these lines by default, and the simulator's keys,
// waveforms, views and help read them here.
#pragma once

namespace board {

namespace net {
constexpr int kKeyInc = 5, kKeyDec = 6, kKeyClr = 7;   // pulled low while pressed
constexpr int kDbguRx = 9, kDbguTx = 10;               // the debug unit (peripheral A)
constexpr int kFlashCs = 11;                           // serial flash, driven by the PIO
constexpr int kMiso = 12, kMosi = 13, kSpck = 14;      // SPI (peripheral A)
constexpr int kLed = 16;                               // lit while high
constexpr int kLcdRs = 17, kLcdRw = 18, kLcdE = 19;    // the display's control lines
constexpr int kLcdD4 = 20;                             // D4..D7 on four lines from here
}  // namespace net

struct Net {
    const char *name;
    int line;
    const char *group;   // "keys", "spi", "led", "lcd", "serial"
    const char *scope;   // what a waveform files it under
};

// In the order a waveform lists them.
inline constexpr Net kBoardNets[] = {
    {"KEY_INC", net::kKeyInc, "keys", "PA"},  {"KEY_DEC", net::kKeyDec, "keys", "PA"},
    {"KEY_CLR", net::kKeyClr, "keys", "PA"},  {"FLASH_CS", net::kFlashCs, "spi", "PA"},
    {"LED", net::kLed, "led", "PA"},          {"MISO", net::kMiso, "spi", "SPI"},
    {"MOSI", net::kMosi, "spi", "SPI"},       {"SPCK", net::kSpck, "spi", "SPI"},
    {"RS", net::kLcdRs, "lcd", "LCD"},        {"RW", net::kLcdRw, "lcd", "LCD"},
    {"E", net::kLcdE, "lcd", "LCD"},          {"D4", net::kLcdD4, "lcd", "LCD"},
    {"D5", net::kLcdD4 + 1, "lcd", "LCD"},    {"D6", net::kLcdD4 + 2, "lcd", "LCD"},
    {"D7", net::kLcdD4 + 3, "lcd", "LCD"},    {"DRXD", net::kDbguRx, "serial", "DBGU"},
    {"DTXD", net::kDbguTx, "serial", "DBGU"},
};

}  // namespace board
