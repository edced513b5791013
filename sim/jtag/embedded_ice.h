// The ARM7TDMI's EmbeddedICE logic as scan chain 2 reaches it: debug control
// and status, the debug communications channel's control and data, and the
// two watchpoint units.
//
// Register addresses (5 bits):
//   0x00 debug control    DBGACK b0, DBGRQ b1, INTDIS b2 (3 bits)
//   0x01 debug status     DBGACK b0, DBGRQ b1, IFEN b2, cgenL b3, TBIT b4 (read only)
//   0x04 comms control    R b0, W b1, version b28..31 (read only)
//   0x05 comms data       read: the core's word (clears W); write: a word for the core (sets R)
//   0x08..0x0D            watchpoint 0: address value, address mask, data value,
//                         data mask, control value, control mask
//   0x10..0x15            watchpoint 1, the same
// Other addresses read 0 and ignore writes.
//
// A watchpoint unit compares every access the core makes (instruction
// fetches and data) with its value registers; a mask bit of 1 leaves its bit
// out of the comparison. The control value covers nRW b0, MAS b1..2, nOPC
// b3 (0: an instruction fetch), nTRANS b4 (1: a privileged access), EXTERN
// b5, CHAIN b6, RANGE b7 (each masked by the control mask) and ENABLE b8,
// which has no mask: a unit whose ENABLE is 0 never fires. Unit 1 feeds unit
// 0: its comparator result (whatever its ENABLE) is unit 0's RANGE input,
// and a match of unit 1 seen since the core last left debug state is unit
// 0's CHAIN input. The address and control registers are 32 and 9 bits,
// the control mask 8 bits; a match on a fetch is a breakpoint, on a data
// access a watchpoint.
//
// Only nTRST (and power-on) resets these registers; the chip's reset does not.
#pragma once

#include <cstdint>

namespace sim {
class DebugChannel;
}

namespace jtag {

// What the core puts on its buses for one access, as the comparators see it.
struct BusAccess {
    uint32_t address = 0;
    uint32_t data = 0;       // the 32-bit data bus: a fetch's whole word
    bool write = false;      // nRW
    unsigned size = 4;       // 1, 2 or 4 bytes: MAS 00, 01, 10
    bool fetch = false;      // nOPC low
    bool privileged = false; // nTRANS high
};

class EmbeddedIce {
public:
    enum Address : uint32_t {
        kDebugControl = 0x00, kDebugStatus = 0x01, kCommsControl = 0x04, kCommsData = 0x05,
        kWatch0 = 0x08, kWatch1 = 0x10,
    };
    static constexpr uint32_t kDbgack = 1u << 0, kDbgrq = 1u << 1, kIntdis = 1u << 2;
    static constexpr uint32_t kStatusDbgack = 1u << 0, kStatusDbgrq = 1u << 1, kIfen = 1u << 2, kCgenL = 1u << 3,
                              kTbit = 1u << 4;
    static constexpr uint32_t kNrw = 1u << 0, kMas = 3u << 1, kNopc = 1u << 3, kNtrans = 1u << 4, kExtern = 1u << 5,
                              kChain = 1u << 6, kRange = 1u << 7, kEnable = 1u << 8;

    explicit EmbeddedIce(sim::DebugChannel &channel) : channel_(channel) {}

    // What the core shows for the status register.
    struct CoreView {
        bool debug_state = false;  // DBGACK
        bool system_speed = false; // a system-speed access under way (cgenL low)
        bool thumb = false;
        bool interrupts_enabled = true;
    };
    uint32_t read(uint32_t address, const CoreView &core);
    void write(uint32_t address, uint32_t value);
    void reset();

    uint32_t control() const { return control_; }
    bool halt_requested() const { return control_ & kDbgrq; }
    // Any unit enabled: the core must show the unit its accesses.
    bool watching() const { return ((unit_[0].control_value | unit_[1].control_value) & kEnable) != 0; }
    // One access of the core: true when an enabled unit fires on it.
    bool matches(const BusAccess &access);
    // Unit 0's CHAIN input starts again when the core leaves debug state.
    void clear_chain() { chained_ = false; }

private:
    struct Unit {
        uint32_t address_value = 0, address_mask = 0, data_value = 0, data_mask = 0;
        uint32_t control_value = 0, control_mask = 0;
    };
    static bool compares(const Unit &u, const BusAccess &a, bool chain_in, bool range_in);

    sim::DebugChannel &channel_;
    uint32_t control_ = 0;
    Unit unit_[2];
    bool chained_ = false;
};

}  // namespace jtag
