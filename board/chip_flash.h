// The chip's embedded flash as stored bits: the 256 KiB array and its
// non-volatile bits (16 lock bits, 2 GPNVM bits, the security bit). It
// belongs to the board, so that the flash controller (which changes it) and
// the simulator's memory map (which reads it) see the same bytes, and it
// outlives every reset. Nothing in here knows about commands or timing; the
// controller (efc.h) does.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "board/clock.h"
#include "board/state.h"

namespace board {

class ChipFlash {
public:
    static constexpr uint32_t kBase = 0x00100000;
    static constexpr uint32_t kSize = 256 * 1024;
    static constexpr uint32_t kPageSize = 256;
    static constexpr uint32_t kPages = kSize / kPageSize;
    static constexpr unsigned kLockRegions = 16;
    static constexpr uint32_t kPagesPerRegion = kPages / kLockRegions;
    static constexpr unsigned kGpnvmBits = 2;

    ChipFlash();

    uint8_t *data() { return bytes_.data(); }
    const uint8_t *data() const { return bytes_.data(); }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    // Replaces the whole array (a file's contents); false if the size differs.
    bool load(const std::vector<uint8_t> &bytes);

    uint32_t lock_bits() const { return lock_bits_; }
    bool locked_page(uint32_t page) const { return (lock_bits_ >> (page / kPagesPerRegion)) & 1u; }
    void set_lock_bits(uint32_t bits) { lock_bits_ = bits & 0xFFFF; }
    uint32_t gpnvm() const { return gpnvm_; }
    void set_gpnvm(uint32_t bits) { gpnvm_ = bits & ((1u << kGpnvmBits) - 1); }
    bool security() const { return security_; }
    void set_security(bool on) { security_ = on; }

    // Programming by the controller: the bytes change and the listener (a
    // core that keeps decoded code) hears of the range.
    void write_page(uint32_t page, const uint8_t *bytes, bool erase_first);
    void erase_all();
    using ChangeListener = std::function<void(uint32_t offset, uint32_t length)>;
    void set_change_listener(ChangeListener l) { listener_ = std::move(l); }

    // While the controller runs a command the array cannot be read (see efc.h).
    bool busy(Picos now) const { return now < ready_at_; }
    Picos ready_at() const { return ready_at_; }
    void set_ready_at(Picos t) { ready_at_ = t; }

    // All of it outlives a reset; the controller's reset sets the ready time.
    State &state() { return state_; }

private:
    void changed(uint32_t offset, uint32_t length);

    std::vector<uint8_t> bytes_;
    uint32_t lock_bits_ = 0;
    uint32_t gpnvm_ = 0;
    bool security_ = false;
    Picos ready_at_ = 0;
    ChangeListener listener_;
    State state_{"chip flash"};
};

}  // namespace board
