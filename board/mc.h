// Memory controller with the embedded flash controller, after the chip's
// documentation.
//
// - MC_RCR: writing RCB (bit 0) toggles the remap (RAM or flash at address
//   0). The state is kept and every toggle logged; the memory map belongs to
//   the simulator, which can ask remapped().
// - MC_ASR / MC_AASR: status and address of the last aborted access, as
//   the bus master that was refused reports it (record_abort): UNDADD (bit
//   0) for an access to an undefined address, MISADD (bit 1) for a
//   misaligned one (both can be set), ABTSZ (bits 8..9: byte, halfword,
//   word), ABTTYP (bits 10..11: data read, data write, code fetch), MST0 /
//   MST1 (bits 16, 17: the core, the PDC) for the master of the last abort
//   and SVMST0 / SVMST1 (bits 24, 25) for a master whose abort was replaced
//   by a later one before MC_ASR was read. Reading MC_ASR clears SVMST.
//   Both registers reset to 0.
// - MC_FMR: FRDY interrupt enable, LOCKE, PROGE, NEBP, FWS (bits 8..9, the
//   extra wait states of flash reads) and FMCN (bits 16..23, master-clock
//   cycles per microsecond for programming). Reset value 0.
// - MC_FCR: a command needs KEY 0x5A in bits 24..31; with a wrong key it is
//   not performed and FSR.PROGE sets. MC_FSR: FRDY (bit 0), PROGE and LOCKE
//   (cleared by reading FSR).
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

    enum class AbortType : uint32_t { Read = 0, Write = 1, Fetch = 2 };
    static constexpr unsigned kMasterCore = 0;
    static constexpr unsigned kMasterPdc = 1;
    // An access the memory controller refused.
    void record_abort(unsigned master, uint32_t address, unsigned size, AbortType type, bool undefined, bool misaligned);

    unsigned flash_wait_states() const { return (fmr_ >> 8) & 3; }
    unsigned fmcn() const { return (fmr_ >> 16) & 0xFF; }
    bool remapped() const { return remapped_; }

private:
    Log &log_;
    uint32_t fmr_ = 0, fsr_ = 0;
    uint32_t asr_ = 0, aasr_ = 0;
    bool asr_read_ = true;   // the last abort's status has been read
    bool remapped_ = false;
};

}  // namespace board
