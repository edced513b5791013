// Memory controller, after the chip's documentation.
//
// - MC_RCR: writing RCB (bit 0) toggles the remap: RAM or flash at address
//   0. The state is kept and every toggle logged; the memory map belongs to
//   the simulator, which asks remapped().
// - MC_ASR / MC_AASR: status and address of the last aborted access, as
//   the bus master that was refused reports it (record_abort): UNDADD (bit
//   0) for an access to an undefined address, MISADD (bit 1) for a
//   misaligned one (both can be set), ABTSZ (bits 8..9: byte, halfword,
//   word), ABTTYP (bits 10..11: data read, data write, code fetch), MST0 /
//   MST1 (bits 16, 17: the core, the PDC) for the master of the last abort
//   and SVMST0 / SVMST1 (bits 24, 25) for a master whose abort was replaced
//   by a later one before MC_ASR was read. Reading MC_ASR clears SVMST.
//   Both registers reset to 0.
// - The embedded flash controller's registers (MC_FMR, MC_FCR, MC_FSR) are
//   the flash controller's (efc.h); the memory controller's interrupt line
//   is the flash controller's.
// - The memory map (remap, flash wait states) belongs to the simulator; the
//   controller tells it when it may have changed (set_map_listener).
//
// Operating limit checked (reported to the log's rules): flash reads are
// single-cycle (FWS = 0) only up to 30 MHz of master clock; above it FWS must
// be at least 1 (the chip's limit of 55 MHz is the PMC's check). Checked when
// MC_FMR is written and whenever the master clock changes.
#pragma once

#include <cstdint>
#include <functional>

#include "board/chip_flash.h"
#include "board/clock.h"
#include "board/efc.h"
#include "board/log.h"
#include "board/register_map.h"

namespace board {

class Mc : public MappedDevice, public InterruptSource {
public:
    Mc(Clock &clock, Log &log, ChipFlash &flash);

    void reset() override;

    enum class AbortType : uint32_t { Read = 0, Write = 1, Fetch = 2 };
    static constexpr unsigned kMasterCore = 0;
    static constexpr unsigned kMasterPdc = 1;
    // An access the memory controller refused.
    void record_abort(unsigned master, uint32_t address, unsigned size, AbortType type, bool undefined, bool misaligned);

    unsigned flash_wait_states() const { return (efc_.fmr() >> 8) & 3; }
    unsigned fmcn() const { return (efc_.fmr() >> 16) & 0xFF; }
    bool remapped() const { return remapped_; }

    // The master clock changed (from the PMC): the wait states are checked.
    void set_master_hz(double hz);
    // Told when what the memory map depends on may have changed: the remap,
    // the flash wait states (every write of MC_FMR), a reset. One listener:
    // the owner of the memory map.
    void set_map_listener(std::function<void()> l) { map_listener_ = std::move(l); }

    Efc &efc() { return efc_; }
    const Efc &efc() const { return efc_; }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t { RCR = 0x00, ASR = 0x04, AASR = 0x08 };
    enum : uint32_t { UNDADD = 1u << 0, MISADD = 1u << 1, MST_SHIFT = 16, SVMST_SHIFT = 24 };
    static constexpr uint32_t kMstMask = 3u << MST_SHIFT;

    Log &log_;
    Efc efc_;
    uint32_t asr_ = 0, aasr_ = 0;
    bool asr_read_ = true;   // the last abort's status has been read
    bool remapped_ = false;
    double master_hz_ = 0;
    std::function<void()> map_listener_;
    void check_wait_states();
    void map_changed()
    {
        if (map_listener_)
            map_listener_();
    }
};

}  // namespace board
