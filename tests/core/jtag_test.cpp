// The ARM7TDMI's debug logic on its own: the TAP and its registers, scan
// chain 2's EmbeddedICE registers, debug state entered through DBGRQ, a
// breakpoint and a watchpoint in ARM and Thumb state, instructions clocked
// through scan chain 1 at debug speed, a system-speed store, and the branch
// back to the program. The JTAG pins are driven bit by bit as an adapter
// drives them.
#include <gtest/gtest.h>

#include "sim/jtag/arm7_debug.h"
#include "tests/core/core_harness.h"

namespace jtag_test {

namespace {

using jtag::Arm7Debug;
using jtag::EmbeddedIce;

constexpr uint32_t kNop = 0xE1A00000;   // mov r0, r0

class BoardCore : public jtag::DebugCore {
public:
    explicit BoardCore(sim::Arm7tdmi &core) : core_(core) {}
    uint32_t next_pc() const override { return core_.pc(); }
    void set_next_pc(uint32_t a) override { core_.set_reg(15, a); }
    uint32_t cpsr() const override { return core_.cpsr(); }
    bool execute(uint32_t encoding, uint32_t address, sim::CoreBus *bus) override
    {
        return core_.execute_debug(encoding, address, bus);
    }
    void set_watch(sim::DebugWatch *w) override { core_.set_debug_watch(w); }

private:
    sim::Arm7tdmi &core_;
};

// An adapter on the pins: every path starts in Run-Test/Idle or Update-IR.
class Adapter {
public:
    explicit Adapter(jtag::TapController &tap) : tap_(tap)
    {
        for (int i = 0; i < 5; ++i) clock(true, false);
        clock(false, false);
    }
    bool clock(bool tms, bool tdi)
    {
        tap_.set_pins(false, tms, tdi);
        bool tdo = tap_.tdo();
        tap_.set_pins(true, tms, tdi);
        return tdo;
    }
    uint64_t scan(bool ir, uint64_t value, unsigned bits)
    {
        clock(true, false);
        if (ir) clock(true, false);
        clock(false, false);   // capture
        clock(false, false);   // shift
        uint64_t out = 0;
        for (unsigned i = 0; i < bits; ++i)
            out |= uint64_t{clock(i + 1 == bits, (value >> i) & 1)} << i;
        clock(true, false);    // update
        // A data scan ends in Run-Test/Idle (one clock of the core in debug
        // state with INTEST on chain 1); an instruction scan rests in Update-IR.
        if (!ir) clock(false, false);
        return out;
    }
    void instruction(uint32_t ir) { scan(true, ir, 4); }
    void restart()
    {
        instruction(Arm7Debug::kRestart);
        clock(false, false);
    }
    void select_chain(uint32_t n)
    {
        instruction(Arm7Debug::kScanN);
        scan(false, n, 4);
        instruction(Arm7Debug::kIntest);
    }
    void ice_write(uint32_t address, uint32_t value)
    {
        select_chain(2);
        scan(false, value | uint64_t{address} << 32 | uint64_t{1} << 37, 38);
    }
    uint32_t ice_read(uint32_t address)
    {
        select_chain(2);
        scan(false, uint64_t{address} << 32, 38);
        return static_cast<uint32_t>(scan(false, uint64_t{address} << 32, 38));
    }
    // Scan chain 1, most significant bit first as the manual writes it:
    // BREAKPT, then D31..D0. Returns the data captured before.
    uint32_t bus(uint32_t word, bool breakpt = false)
    {
        uint64_t v = breakpt ? 1 : 0;
        for (int i = 0; i < 32; ++i)
            v |= uint64_t{(word >> i) & 1u} << (32 - i);
        uint64_t out = scan(false, v, 33);
        uint32_t data = 0;
        for (int i = 0; i < 32; ++i)
            data |= static_cast<uint32_t>((out >> (32 - i)) & 1) << i;
        return data;
    }

private:
    jtag::TapController &tap_;
};

struct Rig {
    explicit Rig(const std::string &source) : board(source), core(board.core), logic(core, board.core.debug_channel()), adapter(logic.tap()) {}
    // Runs until the comparators stop the core; the debug logic enters debug state.
    void run_to_debug()
    {
        auto stop = board.core.run(100000);
        ASSERT_TRUE(stop == sim::Arm7tdmi::Stop::DebugBreakpoint || stop == sim::Arm7tdmi::Stop::DebugWatchpoint);
        logic.enter_debug_state(stop == sim::Arm7tdmi::Stop::DebugWatchpoint ? Arm7Debug::Entry::Watchpoint
                                                                              : Arm7Debug::Entry::Breakpoint);
    }
    void watch_fetch(uint32_t address)
    {
        adapter.ice_write(EmbeddedIce::kWatch0 + 0, address);
        adapter.ice_write(EmbeddedIce::kWatch0 + 1, 0);
        adapter.ice_write(EmbeddedIce::kWatch0 + 3, ~0u);
        adapter.ice_write(EmbeddedIce::kWatch0 + 4, EmbeddedIce::kEnable);
        adapter.ice_write(EmbeddedIce::kWatch0 + 5, 0xFF & ~EmbeddedIce::kNopc);
    }
    coretest::Board board;
    BoardCore core;
    Arm7Debug logic;
    Adapter adapter;
};

const char *kArmProgram = R"(
_start: ldr r2, =0x00200000
        mov r0, #1
        mov r1, #2
loop:   add r0, r0, #1
        str r0, [r2]
after:  add r1, r1, #1
        b loop
)";

const char *kThumbProgram = R"(
_start: ldr r2, =0x00200000
        adr r0, code + 1
        bx r0
        .thumb
code:   movs r0, #1
        movs r1, #2
loop:   adds r0, #1
        str r0, [r2]
after:  adds r1, #1
        b loop
)";

TEST(Tap, IdcodeBypassAndCaptureValues)
{
    Rig r(kArmProgram);
    Adapter &a = r.adapter;
    // After a TAP reset IDCODE is selected; the IR captures 0001.
    EXPECT_EQ(a.scan(false, 0, 32), Arm7Debug::kIdcode);
    EXPECT_EQ(a.scan(true, Arm7Debug::kBypass, 4), 0x1u);
    // BYPASS is one bit: a pattern comes out one clock late, after the captured 0.
    EXPECT_EQ(a.scan(false, 0b1011, 5), 0b10110u);
    a.instruction(0x6);   // an unused code acts as BYPASS
    EXPECT_EQ(a.scan(false, 0b1, 2), 0b10u);
    a.instruction(Arm7Debug::kScanN);
    EXPECT_EQ(a.scan(false, 2, 4), 0x8u);   // the scan chain select register captures 1000
    a.instruction(Arm7Debug::kIdcodeInstruction);
    EXPECT_EQ(a.scan(false, 0, 32), Arm7Debug::kIdcode);
}

TEST(EmbeddedIceRegisters, ReadBackWidthsAndDebugChannel)
{
    Rig r(kArmProgram);
    Adapter &a = r.adapter;
    a.ice_write(EmbeddedIce::kWatch1 + 0, 0x12345678);
    a.ice_write(EmbeddedIce::kWatch1 + 4, 0xFFFFFFFF);   // control value: 9 bits
    a.ice_write(EmbeddedIce::kWatch1 + 5, 0xFFFFFFFF);   // control mask: 8 bits
    a.ice_write(EmbeddedIce::kDebugControl, 0xFF);
    EXPECT_EQ(a.ice_read(EmbeddedIce::kWatch1 + 0), 0x12345678u);
    EXPECT_EQ(a.ice_read(EmbeddedIce::kWatch1 + 4), 0x1FFu);
    EXPECT_EQ(a.ice_read(EmbeddedIce::kWatch1 + 5), 0xFFu);
    EXPECT_EQ(a.ice_read(EmbeddedIce::kWatch0 + 0), 0u);
    a.ice_write(EmbeddedIce::kDebugControl, 0);

    // The channel: version 1 in the top bits, W when the core wrote, R when the debugger did.
    sim::DebugChannel &dcc = r.board.core.debug_channel();
    EXPECT_EQ(a.ice_read(EmbeddedIce::kCommsControl), 0x10000000u);
    dcc.core_writes(0xCAFEF00D);
    EXPECT_EQ(a.ice_read(EmbeddedIce::kCommsControl), 0x10000002u);
    EXPECT_EQ(a.ice_read(EmbeddedIce::kCommsData), 0xCAFEF00Du);
    EXPECT_EQ(a.ice_read(EmbeddedIce::kCommsControl), 0x10000000u);
    a.ice_write(EmbeddedIce::kCommsData, 0x600DF00D);
    EXPECT_EQ(dcc.control(), 0x10000001u);
    EXPECT_EQ(dcc.core_reads(), 0x600DF00Du);
}

// The breakpoint stops before the instruction, the watchpoint after the store.
TEST(DebugState, BreakpointAndWatchpointInArmAndThumb)
{
    for (const char *program : {kArmProgram, kThumbProgram}) {
        SCOPED_TRACE(program == kArmProgram ? "ARM" : "Thumb");
        Rig r(program);
        const uint32_t loop = r.board.at("loop") & ~1u, after = r.board.at("after") & ~1u;
        r.watch_fetch(loop);
        r.run_to_debug();
        EXPECT_EQ(r.board.core.pc(), loop);
        EXPECT_TRUE(r.logic.in_debug_state());
        uint32_t status = r.adapter.ice_read(EmbeddedIce::kDebugStatus);
        EXPECT_EQ(status & (EmbeddedIce::kStatusDbgack | EmbeddedIce::kTbit),
                  EmbeddedIce::kStatusDbgack | (program == kThumbProgram ? EmbeddedIce::kTbit : 0));

        // Watch the store to RAM instead: stop after it, before `after`.
        r.adapter.ice_write(EmbeddedIce::kWatch0 + 0, coretest::kRam);
        r.adapter.ice_write(EmbeddedIce::kWatch0 + 4, EmbeddedIce::kEnable | EmbeddedIce::kNopc | EmbeddedIce::kNrw);
        r.adapter.ice_write(EmbeddedIce::kWatch0 + 5, 0xFF & ~(EmbeddedIce::kNopc | EmbeddedIce::kNrw));
        r.logic.core_reset();   // out of debug state, the core carries on from `loop`
        r.run_to_debug();
        EXPECT_EQ(r.board.core.pc(), after);
        EXPECT_EQ(r.board.ram_word(coretest::kRam), 2u);
    }
}

// DBGRQ, the registers read with STM at debug speed, a store at system
// speed, and the branch back (three for the entry, one per instruction,
// one for the branch: B -7 after two instructions).
TEST(DebugState, DebugSpeedSystemSpeedAndReturn)
{
    Rig r(kArmProgram);
    Adapter &a = r.adapter;
    r.watch_fetch(r.board.at("after"));
    r.run_to_debug();
    a.ice_write(EmbeddedIce::kWatch0 + 4, 0);   // breakpoint off
    const uint32_t a_pc = r.board.at("after");

    a.select_chain(1);
    a.bus(0xE880FFFF);   // stmia r0, {r0-r15}
    a.bus(kNop);
    a.bus(kNop);
    uint32_t regs[16];
    for (uint32_t &v : regs) v = a.bus(0);
    EXPECT_EQ(regs[0], 2u);
    EXPECT_EQ(regs[1], 2u);
    EXPECT_EQ(regs[2], coretest::kRam);
    // stmia was the first instruction, taken as fetched three instructions
    // past `after`; it stores its address + 12.
    EXPECT_EQ(regs[15], a_pc + 12 + 12);

    // str r1, [r2, #4] at system speed, then back in debug state.
    a.bus(kNop);
    a.bus(kNop, true);
    a.bus(0xE5821004);
    a.restart();
    EXPECT_EQ(r.board.ram_word(coretest::kRam + 4), 2u);
    EXPECT_TRUE(r.logic.in_debug_state());
    EXPECT_EQ(a.ice_read(EmbeddedIce::kDebugStatus) & 9u, 9u);   // DBGACK, cgenL

    // The return: an instruction, the branch at system speed, RESTART.
    // Nine at debug speed with the branch, one system-speed access: b -16.
    a.select_chain(1);
    a.bus(0xE3A01005);        // mov r1, #5
    a.bus(kNop);
    a.bus(kNop, true);
    a.bus(0xEAFFFFF0);        // b -16
    a.restart();
    EXPECT_FALSE(r.logic.in_debug_state());
    EXPECT_EQ(r.board.core.pc(), a_pc);
    EXPECT_EQ(r.board.core.reg(1), 5u);
}

TEST(DebugState, HaltRequestStopsAtTheNextBoundary)
{
    Rig r(kArmProgram);
    r.board.core.run(50);
    const uint32_t pc = r.board.core.pc();
    r.adapter.ice_write(EmbeddedIce::kDebugControl, EmbeddedIce::kDbgrq);
    EXPECT_TRUE(r.logic.in_debug_state());
    EXPECT_EQ(r.board.core.pc(), pc);
    EXPECT_EQ(r.adapter.ice_read(EmbeddedIce::kDebugStatus) & 0x1Bu, 0x0Bu);   // DBGACK, DBGRQ, cgenL; ARM
}

}  // namespace

}  // namespace jtag_test
