// The whole board: the chip's peripherals on the bus (placed and wired as
// the chip's table, chip.h, says) and the devices wired to port A (the
// display, the serial flash, the keys). Host tests and the simulator build
// one of these and talk to it through the bus; nothing in here knows who
// drives the bus.
#pragma once

#include "board/aic.h"
#include "board/bus.h"
#include "board/chip.h"
#include "board/chip_flash.h"
#include "board/clock.h"
#include "board/dbgu.h"
#include "board/hd44780.h"
#include "board/keys.h"
#include "board/log.h"
#include "board/mc.h"
#include "board/peripheral_space.h"
#include "board/pins.h"
#include "board/pio.h"
#include "board/pit.h"
#include "board/pmc.h"
#include "board/rstc.h"
#include "board/rtt.h"
#include "board/spi.h"
#include "board/spi_flash.h"
#include "board/state.h"
#include "board/system_irq.h"
#include "board/vreg.h"
#include "board/wdt.h"

#include <optional>

namespace board {

class Board {
public:
    Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Power-on reset of every model and of the clock: the chip as it comes
    // out of reset (slow clock, watchdog running, AIC and PMC cleared). The
    // chip's flash keeps its contents and its non-volatile bits.
    void reset();

    // A reset the reset controller ordered (software, watchdog) and not yet
    // performed. The owner of the processor takes it, performs it with
    // perform_reset() and resets the processor when it says so; the clock
    // runs on (the processor is held for order.hold).
    std::optional<ResetOrder> take_reset_order();
    bool reset_ordered() const { return reset_order_.has_value(); }
    // Resets what the order names on the board: the watchdog with the
    // processor, every other peripheral but the reset controller with
    // the peripherals. The board's devices have no reset input.
    void perform_reset(const ResetOrder &order);

    // The board's whole state: the clock, then every part in a fixed order.
    // restore() throws SnapshotError for a stream that is not a save() of a
    // board of this build, or that leaves a pending event unclaimed.
    void save(StateWriter &w);
    void restore(StateReader &r);
    // A part outside the board whose state goes with it (the processor and
    // its memories, the keys, the host's serial line): saved after the
    // board's own parts, in the order attached, and restored before the
    // clock checks that every pending event was given back. It must outlive
    // the board's last save or restore.
    void attach_state(State &part) { attached_.push_back(&part); }
    // The parts and their values' names and sizes, in save order.
    std::string state_layout();

    Clock clock;
    Log log{clock};
    Bus bus{clock, log};
    ChipFlash chip_flash;   // outlives every reset
    Pins pa{log, "PA"};
    Pio pioa{pa, clock, log, "PIOA"};
    Aic aic{clock, log};
    Pmc pmc{clock, log};
    Wdt wdt{clock, log};
    Mc mc{clock, log, chip_flash};
    Rstc rstc{clock, log};
    Pit pit{clock, log};
    Rtt rtt{clock, log};
    Vreg vreg{log};
    Dbgu dbgu{bus, pioa, log};   // DRXD PA9, DTXD PA10
    SystemIrq system_irq{[this](bool level) { aic.set_source(kIdSystem, level); }};
    PeripheralSpace peripheral_space{log};
    Hd44780 lcd{pa, clock, log};   // display on PA17..PA23
    Spi spi{bus, pioa, pa, log};
    SpiFlash flash{pa, clock, log};   // chip select PA11
    Keys keys{pa, clock};

    // Every part with a declared state, in save order.
    std::vector<State *> parts();

private:
    std::optional<ResetOrder> reset_order_;
    std::vector<State *> attached_;
};

}  // namespace board
