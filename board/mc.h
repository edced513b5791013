// Memory controller, after the chip's documentation.
//
// - MC_RCR: writing RCB (bit 0) toggles the remap: RAM or flash at address
//   0. The state is kept and every toggle logged; the memory map belongs to
//   the simulator, which asks remapped().
// - MC_ASR / MC_AASR: abort status and address; no abort is recorded here,
//   both read 0.
// - The embedded flash controller's registers (MC_FMR, MC_FCR, MC_FSR) are
//   the flash controller's (efc.h); the memory controller's interrupt line
//   is the flash controller's.
//
// Operating limit checked (reported to the log's rules): flash reads are
// single-cycle (FWS = 0) only up to 30 MHz of master clock; above it FWS must
// be at least 1 (the chip's limit of 55 MHz is the PMC's check). Checked when
// MC_FMR is written and whenever the master clock changes.
#pragma once

#include <cstdint>

#include "board/chip_flash.h"
#include "board/clock.h"
#include "board/device.h"
#include "board/efc.h"
#include "board/log.h"

namespace board {

class Mc : public Device {
public:
    Mc(Clock &clock, Log &log, ChipFlash &flash);

    uint32_t read(uint32_t offset) override;
    void write(uint32_t offset, uint32_t value) override;
    uint32_t peek(uint32_t offset) const override;
    void reset() override;
    const char *register_name(uint32_t offset) const override;

    unsigned flash_wait_states() const { return (efc_.fmr() >> 8) & 3; }
    unsigned fmcn() const { return (efc_.fmr() >> 16) & 0xFF; }
    bool remapped() const { return remapped_; }

    // The master clock changed (from the PMC): the wait states are checked.
    void set_master_hz(double hz);

    Efc &efc() { return efc_; }
    const Efc &efc() const { return efc_; }

private:
    Log &log_;
    Efc efc_;
    bool remapped_ = false;
    double master_hz_ = 0;
    void check_wait_states();
};

}  // namespace board
