// The board's signals as a VCD file: the display bus (PA17..PA23), the flash
// chip select (PA11), the SPI lines (PA12 MISO, PA13 MOSI, PA14 SPCK), the
// LED (PA16), the keys (PA5..PA7) and the processor's nIRQ input.
//
// Port-A lines are taken from the nets as they change. The SPI controller
// shifts a byte as one event, so its lines are drawn from each transfer
// instead: eight clock periods between the transfer's start and end, in SPI
// mode 3 as this board uses it (clock idle high; MOSI and MISO change on the
// falling edge and are sampled on the rising edge, most significant bit first).
#pragma once

#include <cstdint>
#include <ostream>

#include "board/clock.h"
#include "board/pins.h"
#include "sim/tools/vcd_writer.h"

namespace simtools {

class BoardWaves {
public:
    // Changes are held this long before they are written, so that a transfer
    // reported at its end still lands in order. Longer than one byte at the
    // slowest clock the SPI can run from (8 x 2 slow-clock periods).
    static constexpr board::Picos kHoldBack = board::kPicosPerMs;

    // Must live as long as `pa` reports changes.
    BoardWaves(board::Pins &pa, const board::Clock &clock, std::ostream &out,
               board::Picos timescale_ps = board::kPicosPerNs);

    // One byte exchanged on the SPI, the first clock edge at `start` and the
    // last half period ending at `end`.
    void spi_transfer(board::Picos start, board::Picos end, uint8_t mosi, uint8_t miso);
    // Level of nIRQ (low = an interrupt request to the core).
    void set_nirq_level(bool level);
    void finish();

    const VcdWriter &writer() const { return vcd_; }

private:
    void on_lines(uint32_t changed, uint32_t levels);

    const board::Clock &clock_;
    VcdWriter vcd_;
    int line_wire_[32];
    int spck_, mosi_, miso_, nirq_;
    bool finished_ = false;
};

}  // namespace simtools
