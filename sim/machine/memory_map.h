// The chip's memories as every writer and reader sees them: 256 KiB of
// flash and 64 KiB of RAM, decoded by the memory controller per 1 MiB area:
//   0x00000000  the flash (after reset) or the RAM (after a remap)
//   0x00100000  the flash
//   0x00200000  the RAM
// Each memory repeats within its area (the flash at 0x00140000 is the flash
// at 0x00100000 again); from 0x00300000 up to the peripherals nothing is
// there. The flash bytes are the board's (board::ChipFlash, which its flash
// controller programs).
//
// Every change to the bytes, by whoever makes it through whichever address
// (the PDC, the loader, a debugger, the boot monitor, a flash command), is
// told to one listener with the host bytes that changed, so that decoded
// code of them is forgotten at every address they show at. Only the core's
// own stores, which it sees itself, bypass it.
//
// Their timing, as wait states the core adds to an access's one cycle (the
// instruction cycle table itself is the core's, in sim/core/arm7tdmi.h):
//   flash   MC_FMR.FWS on every read (N and S alike), FWS + 1 on a store
//           (the flash takes stores into its page latch). The flash is read
//           32 bits at a time into two buffers, and fetching the second
//           halfword of a word in Thumb state starts reading the next word:
//           sequential Thumb fetches at FWS = 1 are all single-cycle but the
//           first, at FWS = 2 or 3 they alternate between FWS cycles and one.
//           ARM fetches and data reads pay FWS every time, and a data read
//           takes the buffers from the code.
//   RAM     none
//   peripherals  none (single-cycle accesses through the bridge, as modelled)
#pragma once

#include <cstdint>
#include <functional>
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
    static constexpr uint32_t kArea = 0x00100000;       // each memory repeats within its 1 MiB
    static constexpr uint32_t kInternalEnd = 0x00300000;

    explicit MemoryMap(board::ChipFlash &flash);

    // The flash's read timing at MC_FMR.FWS = fws (0..3), and a store's.
    struct Timing {
        uint8_t wait_n = 0;
        uint8_t wait_s = 0;
        bool read_buffer = false;
    };
    static constexpr Timing flash_timing(unsigned fws)
    {
        return Timing{static_cast<uint8_t>(fws), static_cast<uint8_t>(fws), true};
    }
    static constexpr unsigned flash_store_wait(unsigned fws) { return fws + 1; }

    uint8_t *flash() { return flash_.data(); }
    uint8_t *ram() { return ram_.data(); }

    // Host pointer to `length` bytes at `address` when they lie in one copy
    // of one memory, else nullptr.
    const uint8_t *host(uint32_t address, uint32_t length) const;
    uint8_t *host(uint32_t address, uint32_t length);
    bool in_flash(uint32_t address) const
    {
        uint32_t area = address / kArea;
        return area == 1 || (area == 0 && !remapped_);
    }
    // The address of the same byte in the memory's own range (0x001xxxxx
    // within the first 256 KiB, 0x0020xxxx), or the address itself.
    uint32_t canonical(uint32_t address) const;

    // RAM instead of flash at address 0 (the memory controller's remap).
    void set_remapped(bool remapped) { remapped_ = remapped; }
    bool remapped() const { return remapped_; }

    // Writes through any alias (flash included: the loader and a debugger
    // change it directly); false, with nothing written, when the bytes do
    // not lie in one copy of one memory.
    bool write(uint32_t address, const uint8_t *bytes, uint32_t length);
    bool fill(uint32_t address, uint8_t value, uint32_t length);

    // Power-on: RAM cleared (the chip leaves it undefined; zero keeps runs
    // repeatable). Flash keeps what was programmed.
    void clear_ram();
    void erase_flash();

    // Host bytes changed by anyone but the core.
    using ChangeListener = std::function<void(const uint8_t *host, uint32_t length)>;
    void set_change_listener(ChangeListener l) { listener_ = std::move(l); }
    void changed(const uint8_t *host, uint32_t length)
    {
        if (listener_) listener_(host, length);
    }

    // The PDC's view: RAM read and write, flash read only.
    bool read8(uint32_t address, uint8_t &value) override;
    bool write8(uint32_t address, uint8_t value) override;

private:
    board::ChipFlash &flash_;
    std::vector<uint8_t> ram_;
    bool remapped_ = false;
    ChangeListener listener_;
};

}  // namespace sim
