// Memory controller with the embedded flash controller, after the chip's
// documentation.
//
// - MC_RCR: writing RCB (bit 0) toggles the remap (RAM or flash at address
//   0). The state is kept and every toggle logged; the memory map belongs to
//   the simulator, which can ask remapped().
// - MC_ASR / MC_AASR: abort status and address; no abort is recorded here,
//   both read 0.
// - MC_FMR: FRDY interrupt enable, LOCKE, PROGE, NEBP, FWS (bits 8..9, the
//   extra wait states of flash reads) and FMCN (bits 16..23, master-clock
//   cycles per microsecond for programming). Reset value 0.
// - MC_FCR: a command needs KEY 0x5A in bits 24..31; with a wrong key it is
//   not performed and FSR.PROGE sets. MC_FSR: FRDY (bit 0), PROGE and LOCKE
//   (cleared by reading FSR).
//
// Operating limit checked (reported to the log's rules): flash reads are
// single-cycle (FWS = 0) only up to 30 MHz of master clock; above it FWS must
// be at least 1 (the chip's limit of 55 MHz is the PMC's check). Checked when
// MC_FMR is written and whenever the master clock changes.
//
// Choices where the documentation is silent:
// - Flash commands are not modelled: a command with the right key is logged
//   and leaves the flash as it is; FRDY stays 1. No region is locked and the
//   security and GPNVM bits read 0.
#pragma once

#include <cstdint>

#include "board/device.h"
#include "board/log.h"

namespace board {

class Mc : public Device {
public:
    explicit Mc(Log &log);

    uint32_t read(uint32_t offset) override;
    void write(uint32_t offset, uint32_t value) override;
    uint32_t peek(uint32_t offset) const override;
    void reset() override;
    const char *register_name(uint32_t offset) const override;

    unsigned flash_wait_states() const { return (fmr_ >> 8) & 3; }
    unsigned fmcn() const { return (fmr_ >> 16) & 0xFF; }
    bool remapped() const { return remapped_; }

    // The master clock changed (from the PMC): the wait states are checked.
    void set_master_hz(double hz);

private:
    Log &log_;
    uint32_t fmr_ = 0, fsr_ = 0;
    bool remapped_ = false;
    double master_hz_ = 0;
    void check_wait_states();
};

}  // namespace board
