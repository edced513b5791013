// The whole board: the chip's peripherals on the bus and the devices wired to
// port A. Host tests and the simulator build one of these and talk to it
// through the bus; nothing in here knows who drives the bus.
#pragma once

#include "board/bus.h"
#include "board/clock.h"
#include "board/log.h"
#include "board/pins.h"
#include "board/pio.h"

namespace board {

// Base addresses of the peripheral blocks.
constexpr uint32_t kAicBase = 0xFFFFF000;
constexpr uint32_t kPioaBase = 0xFFFFF400;
constexpr uint32_t kPmcBase = 0xFFFFFC00;
constexpr uint32_t kWdtcBase = 0xFFFFFD40;
constexpr uint32_t kMcBase = 0xFFFFFF00;
constexpr uint32_t kSpiBase = 0xFFFE0000;

class Board {
public:
    Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Power-on reset of every model and of the clock.
    void reset();

    Clock clock;
    Log log{clock};
    Bus bus{clock, log};
    Pins pa{log, "PA"};
    Pio pioa{pa, log, "PIOA"};
};

}  // namespace board
