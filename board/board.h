// The whole board: the chip's peripherals on the bus and the devices wired to
// port A. Host tests and the simulator build one of these and talk to it
// through the bus; nothing in here knows who drives the bus.
#pragma once

#include "board/aic.h"
#include "board/bus.h"
#include "board/clock.h"
#include "board/hd44780.h"
#include "board/log.h"
#include "board/mc.h"
#include "board/pins.h"
#include "board/pio.h"
#include "board/pmc.h"
#include "board/spi.h"
#include "board/spi_flash.h"
#include "board/wdt.h"

namespace board {

// Base addresses of the peripheral blocks.
constexpr uint32_t kAicBase = 0xFFFFF000;
constexpr uint32_t kPioaBase = 0xFFFFF400;
constexpr uint32_t kPmcBase = 0xFFFFFC00;
constexpr uint32_t kWdtcBase = 0xFFFFFD40;
constexpr uint32_t kMcBase = 0xFFFFFF00;
constexpr uint32_t kSpiBase = 0xFFFE0000;
constexpr uint32_t kSpiSize = 0x4000;

// Peripheral identifiers: PMC_PCSR bit and AIC source.
constexpr unsigned kIdPioa = 2;
constexpr unsigned kIdSpi = 5;

class Board {
public:
    Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Power-on reset of every model and of the clock: the chip as it comes
    // out of reset (slow clock, watchdog running, AIC and PMC cleared).
    void reset();

    Clock clock;
    Log log{clock};
    Bus bus{clock, log};
    Pins pa{log, "PA"};
    Pio pioa{pa, clock, log, "PIOA"};
    Aic aic{log};
    Pmc pmc{clock, log};
    Wdt wdt{clock, log};
    Mc mc{log};
    Hd44780 lcd{pa, clock, log};   // display on PA17..PA23
    Spi spi{bus, pioa, pa, log};
    SpiFlash flash{pa, clock, log};   // chip select PA11
};

}  // namespace board
