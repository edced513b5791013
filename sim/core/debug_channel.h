// The debug communications channel of the ARM7TDMI's EmbeddedICE: one word
// each way between the code on the core and a debugger on the JTAG port,
// each with a flag saying that it waits for its reader.
//
// The code reaches it as coprocessor 14, in ARM state and in every mode
// (Thumb has no coprocessor instructions):
//   MRC p14, 0, Rd, c0, c0   the control register
//   MRC p14, 0, Rd, c1, c0   the word from the debugger; clears R
//   MCR p14, 0, Rd, c1, c0   a word to the debugger; sets W
// Every other coprocessor 14 encoding is undefined. The control register:
//   bit 0      R: a word from the debugger waits for the core
//   bit 1      W: the core's last word waits for the debugger
//   bits 31:28 the EmbeddedICE version, 0001
// Each side is meant to poll its flag first; a word written while the last
// one is still unread replaces it. With no debugger attached nobody reads
// the core's words, so W stays set after the first.
//
// The channel belongs to the debug logic, not to the core: the core's reset
// leaves it as it is.
#pragma once

#include <cstdint>
#include <functional>

namespace sim {

class DebugChannel {
public:
    static constexpr uint32_t kR = 1u << 0;
    static constexpr uint32_t kW = 1u << 1;
    static constexpr uint32_t kVersion = 0x1u << 28;

    // Both sides see the same control register.
    uint32_t control() const { return kVersion | (from_core_.waits ? kW : 0) | (to_core_.waits ? kR : 0); }

    // The code's side (MRC/MCR).
    uint32_t core_reads() { return changed(to_core_.take()); }
    void core_writes(uint32_t word) { from_core_.put(word); changed(0); }

    // The debugger's side.
    uint32_t debugger_reads() { return changed(from_core_.take()); }
    void debugger_writes(uint32_t word) { to_core_.put(word); changed(0); }

    // Told the control register after every change of R or W (the core's
    // COMMRX and COMMTX outputs follow them).
    void set_listener(std::function<void(uint32_t control)> l) { listener_ = std::move(l); }

    // Both words and flags, for snapshots; a restore tells no listener (the
    // lines it drives are restored with their owner).
    struct Saved {
        uint32_t to_core = 0, from_core = 0;
        uint32_t flags = 0;   // kR, kW
    };
    Saved saved() const
    {
        return {to_core_.word, from_core_.word, (to_core_.waits ? kR : 0u) | (from_core_.waits ? kW : 0u)};
    }
    void restore(const Saved &s)
    {
        to_core_ = {s.to_core, (s.flags & kR) != 0};
        from_core_ = {s.from_core, (s.flags & kW) != 0};
    }

private:
    // One direction: the word and whether it waits for its reader.
    struct Mailbox {
        uint32_t word = 0;
        bool waits = false;
        uint32_t take()
        {
            waits = false;
            return word;
        }
        void put(uint32_t w)
        {
            word = w;
            waits = true;
        }
    };
    Mailbox to_core_, from_core_;
    std::function<void(uint32_t)> listener_;

    uint32_t changed(uint32_t passed)
    {
        if (listener_) listener_(control());
        return passed;
    }
};

}  // namespace sim
