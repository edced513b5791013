// The board's signals as a VCD file: the display bus (PA17..PA23), the flash
// chip select (PA11), the SPI lines (PA12 MISO, PA13 MOSI, PA14 SPCK), the
// LED (PA16), the keys (PA5..PA7) and the processor's nIRQ input.
//
// Every port-A line is taken from its net as it changes, at the virtual time
// of the change: the SPI controller model drives each SPCK edge and MOSI bit
// at its own time, and the flash drives MISO, so the waveform shows the bits
// at the real serial-clock timing.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "board/clock.h"
#include "board/pins.h"
#include "sim/tools/vcd_writer.h"

namespace simtools {

// Groups of signals that can be chosen for a file.
enum WaveGroup : unsigned {
    kWavesLcd = 1u,    // RS, RW, E, D4..D7
    kWavesSpi = 2u,    // FLASH_CS, MISO, MOSI, SPCK
    kWavesLed = 4u,
    kWavesKeys = 8u,
    kWavesIrq = 16u,   // nIRQ
    kWavesAll = 31u,
};
// "spi,irq", "all"; false with a message naming the bad word.
// "lcd, spi, led, keys, irq or all": the groups the nets (board/nets.h) fall in.
std::string wave_group_list();
bool parse_wave_groups(const std::string &text, unsigned &groups, std::string &error);

class BoardWaves {
public:
    // Must live as long as `pa` reports changes.
    BoardWaves(board::Pins &pa, const board::Clock &clock, std::ostream &out, unsigned groups = kWavesAll,
               board::Picos timescale_ps = board::kPicosPerNs);

    // Level of nIRQ (low = an interrupt request to the core).
    void set_nirq_level(bool level);
    void finish();

    const VcdWriter &writer() const { return vcd_; }

private:
    void on_lines(uint32_t changed, uint32_t levels);

    const board::Clock &clock_;
    VcdWriter vcd_;
    int line_wire_[32];
    int nirq_ = -1;
    bool finished_ = false;
};

}  // namespace simtools
