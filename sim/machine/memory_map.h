// The chip's memories as the core and the PDC see them: 256 KiB of flash at
// 0x00100000, also shown at 0x00000000 after reset, and 64 KiB of RAM at
// 0x00200000, shown at 0x00000000 instead of the flash after a remap. The
// flash bytes are the board's (board::ChipFlash, which its flash controller
// programs). The core reads and writes the buffers directly, so the core, the
// PDC (as the bus's Memory), the flash controller and the debugger all see
// the same bytes.
//
// Their timing, as wait states the core adds to an access's one cycle (the
// instruction cycle table itself is the core's, in sim/core/arm7tdmi.h):
//   flash   MC_FMR.FWS on every read (N and S alike), FWS + 1 on a store
//           (the flash takes stores into its page latch); it hands out 32
//           bits a read, so in Thumb state the sequential fetch of a word's
//           second halfword pays nothing
//   RAM     none
//   peripherals  none (single-cycle accesses through the bridge, as modelled)
#pragma once

#include <cstdint>
#include <vector>

#include "board/chip_flash.h"
#include "board/device.h"

namespace sim {

class MemoryMap : public board::Memory {
public:
    static constexpr uint32_t kFlashBase = board::ChipFlash::kBase;
    static constexpr uint32_t kFlashSize = board::ChipFlash::kSize;
    static constexpr uint32_t kFlashMirror = 0x00000000;
    static constexpr uint32_t kRamBase = 0x00200000;
    static constexpr uint32_t kRamSize = 64 * 1024;

    explicit MemoryMap(board::ChipFlash &flash);

    // The flash's read timing at MC_FMR.FWS = fws (0..3), and a store's.
    struct Timing {
        uint8_t wait_n = 0;
        uint8_t wait_s = 0;
        bool word_fetch = false;
    };
    static constexpr Timing flash_timing(unsigned fws)
    {
        return Timing{static_cast<uint8_t>(fws), static_cast<uint8_t>(fws), true};
    }
    static constexpr unsigned flash_store_wait(unsigned fws) { return fws + 1; }

    uint8_t *flash() { return flash_.data(); }
    uint8_t *ram() { return ram_.data(); }

    // Host pointer to `length` bytes at `address` when they lie in one memory
    // (flash, its mirror or RAM), else nullptr.
    const uint8_t *host(uint32_t address, uint32_t length) const;
    uint8_t *host(uint32_t address, uint32_t length);
    bool in_flash(uint32_t address) const
    {
        return address - kFlashBase < kFlashSize || (!remapped_ && address - kFlashMirror < kFlashSize);
    }

    // RAM instead of flash at address 0 (the memory controller's remap).
    void set_remapped(bool remapped) { remapped_ = remapped; }
    bool remapped() const { return remapped_; }

    // Power-on: RAM cleared (the chip leaves it undefined; zero keeps runs
    // repeatable). Flash keeps what was programmed.
    void clear_ram();
    void erase_flash();

    // The PDC's view: RAM read and write, flash read only.
    bool read8(uint32_t address, uint8_t &value) override;
    bool write8(uint32_t address, uint8_t value) override;

private:
    board::ChipFlash &flash_;
    std::vector<uint8_t> ram_;
    bool remapped_ = false;
};

}  // namespace sim
