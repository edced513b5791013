// The ARM7TDMI's JTAG debug logic: the TAP's instruction register and data
// registers, the scan chains, the EmbeddedICE, and the core's debug state.
//
// Instructions (4 bits; IDCODE after a TAP reset):
//   EXTEST 0000, SCAN_N 0010, SAMPLE/PRELOAD 0011, RESTART 0100, CLAMP 0101,
//   HIGHZ 0111, CLAMPZ 1001, INTEST 1100, IDCODE 1110, BYPASS 1111.
//   The instruction register captures 0001. SCAN_N selects the scan chain
//   select register (4 bits, captures 1000; the chain number takes effect at
//   Update-DR). INTEST and EXTEST put the selected chain between TDI and
//   TDO: chain 1 (33 bits) or chain 2 (38 bits); any other chain, and the
//   boundary-scan instructions, which this model does not implement, give a
//   one-bit register, as BYPASS and the unused codes do.
//
// Scan chain 1 is the core's data bus and the BREAKPT bit. BREAKPT is the
// bit nearest TDO, then D31 down to D0 nearest TDI: shifted in most
// significant bit first, BREAKPT leading. It captures what is on the bus
// (the core's last output, or what the debugger put there); after a
// watchpoint entry, BREAKPT captures 1 until the chain is next updated.
//
// Scan chain 2 is the EmbeddedICE: 32 data bits (bit 0 nearest TDO), 5
// address bits, then read/write (1: write). An update writes the data into
// the addressed register or, for a read, selects it; the next capture loads
// the selected register's value into the data bits.
//
// Debug state. The core enters it at an instruction boundary when DBGRQ is
// set (control register bit 1), before an instruction whose fetch the
// comparators matched (a breakpoint), or after one whose data access they
// matched (a watchpoint). Its pipeline is then empty, and the debugger's
// first instruction is taken as fetched three instructions past the one the
// program goes on with (the breakpointed one, or the one after the watched
// access: "entry adds four addresses"), or two past it after a debug request
// or a system-speed access; each later one four bytes on (two in Thumb
// state). So the branch back to the program is by -(4 + N + 3S)
// instructions after a breakpoint or a watchpoint, for N instructions at
// debug speed (the branch included) and S system-speed accesses, as the
// core's manual gives it. (OpenOCD 0.12 reads the pc on these terms: its pc
// after a halt is the instruction the core goes on with.)
//
// In debug state, with INTEST on chain 1, each entry into Run-Test/Idle is
// one clock of the core (DCLK): it ends the bus cycle under way (a fetch or
// a data read takes what the debugger shifted into chain 1, a data write
// has put the core's word there) and starts the next. Cycles follow the
// ARM7TDMI's three-stage pipeline: an instruction is fetched, decoded, and
// runs its cycles in execute (the first a fetch, then its data transfers,
// internal cycles, and two refill fetches after a write to pc).
//
// An instruction shifted in with BREAKPT set, once in execute, makes the
// instruction after it (in decode) one for system speed: RESTART (entering
// Run-Test/Idle with RESTART in the instruction register) then runs that one
// on the system clock against memory and peripherals. One that transfers
// data returns to debug state after it (also when it aborted); one that
// does not (the branch back to the program) leaves debug state and the
// core runs from where it went. RESTART with nothing prepared leaves debug
// state at the instruction in decode.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "sim/jtag/debug_core.h"
#include "sim/jtag/embedded_ice.h"
#include "sim/jtag/tap.h"

namespace jtag {

class Arm7Debug : public TapClient, private sim::DebugWatch {
public:
    static constexpr uint32_t kIdcode = 0x3F0F0F0F;
    enum Instruction : uint32_t {
        kExtest = 0x0, kScanN = 0x2, kSample = 0x3, kRestart = 0x4, kClamp = 0x5, kHighz = 0x7, kClampz = 0x9,
        kIntest = 0xC, kIdcodeInstruction = 0xE, kBypass = 0xF,
    };
    enum class Entry { Request, Breakpoint, Watchpoint, SystemSpeed };

    Arm7Debug(DebugCore &core, sim::DebugChannel &channel);

    TapController &tap() { return tap_; }
    bool tap_clock_high() const { return tap_.tck(); }
    EmbeddedIce &ice() { return ice_; }

    bool in_debug_state() const { return debug_state_; }
    // At an instruction boundary: DBGRQ set while the core runs.
    bool halt_pending() const { return !debug_state_ && ice_.halt_requested(); }
    // The core stopped (at a boundary) for one of the reasons above.
    void enter_debug_state(Entry why);
    // nTRST: the TAP and the debug logic (not the core, nor the channel).
    void trst(bool asserted);
    // The chip's reset ends debug state (the core starts from its vector).
    void core_reset();
    // Told of every entry into and exit from debug state.
    void set_state_listener(std::function<void(bool debug_state)> l) { listener_ = std::move(l); }

    // TapClient
    uint32_t capture_ir() override { return 0x1; }
    void update_ir(uint32_t instruction) override { ir_ = instruction; }
    ShiftRegister capture_dr() override;
    void update_dr(const ShiftRegister &shifted) override;
    void enter_run_test_idle() override;
    void tap_reset() override;

private:
    struct Slot {
        uint32_t word = 0, address = 0;
        bool tagged = false, valid = false;
    };
    enum class Cycle : uint8_t { Fetch, Read, Write, Internal, Refill };
    class DataBus;

    // DebugWatch: the comparators on the core's accesses.
    bool fetched(uint32_t address, uint32_t word, bool thumb, bool privileged) override;
    bool accessed(uint32_t address, unsigned size, bool write, uint32_t value, bool privileged) override;

    bool thumb() const;
    unsigned step() const { return thumb() ? 2 : 4; }
    uint32_t selected_chain() const { return (ir_ == kIntest || ir_ == kExtest) ? chain_ : ~0u; }
    void update_watch();
    void clock_core();
    void begin_instruction();
    void run_execute_stage();
    void start_next_cycle();
    void restart();
    void leave_debug_state();

    DebugCore &core_;
    TapController tap_{*this};
    EmbeddedIce ice_;
    std::function<void(bool)> listener_;
    uint32_t ir_ = kIdcodeInstruction;
    uint32_t chain_ = 0;
    uint32_t ice_selected_ = 0;   // chain 2: the register a read selected

    // Chain 1: the data bus and BREAKPT.
    uint32_t bus_ = 0;
    bool breakpt_ = false, watch_capture_ = false;

    // Debug state.
    bool debug_state_ = false;
    Slot execute_, decode_, fetched_, refill_[2];
    std::deque<Cycle> cycles_;
    Cycle cycle_ = Cycle::Fetch;
    unsigned refills_done_ = 0;
    bool executed_ = false, refilled_ = false;
    unsigned reads_wanted_ = 0, internal_ = 0;
    std::deque<uint32_t> reads_, writes_;
    uint32_t fetch_address_ = 0, refill_target_ = 0;
};

}  // namespace jtag
