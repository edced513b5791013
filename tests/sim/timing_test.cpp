// Time as the machine charges it, against sequences counted by hand from the
// ARM7TDMI's cycle table (S, N, I; see sim/core/arm7tdmi.h) and the memory
// each access goes to: RAM without wait states, flash with MC_FMR.FWS on
// every read, 32 bits a read through its two read buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/sim/program.h"

namespace timing_test {

namespace {

using sim::Machine;
using simtest::Program;
using simtest::RAM;

constexpr uint32_t kFlash = 0x00100000;
constexpr uint32_t kMcFmr = 0xFFFFFF60;

struct Bench {
    board::Board board;
    Machine machine{board};

    void set_fws(uint32_t fws)
    {
        uint32_t fmr = fws << 8;
        ASSERT_TRUE(machine.poke(kMcFmr, reinterpret_cast<const uint8_t *>(&fmr), 4));
    }
    // Runs the code placed at `at` from its first instruction to its end
    // (where a breakpoint waits) and returns the cycles it took.
    uint64_t run(uint32_t at, const std::vector<uint8_t> &code, bool thumb)
    {
        EXPECT_TRUE(machine.poke(at, code.data(), static_cast<uint32_t>(code.size())));
        sim::Arm7tdmi &cpu = machine.cpu();
        cpu.set_cpsr(0xD3 | (thumb ? sim::kCpsrT : 0));
        cpu.set_reg(3, RAM + 0x100);
        cpu.set_reg(13, RAM + 0x1000);
        cpu.set_reg(14, at + static_cast<uint32_t>(code.size()));
        cpu.set_reg(15, at);
        uint32_t end = at + static_cast<uint32_t>(code.size());
        machine.add_breakpoint(end);
        uint64_t c0 = machine.cycles();
        EXPECT_EQ(machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
        EXPECT_EQ(cpu.pc(), end);
        machine.remove_breakpoint(end);
        return machine.cycles() - c0;
    }
};

std::vector<uint8_t> arm(const std::vector<uint32_t> &words)
{
    std::vector<uint8_t> b;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return b;
}

std::vector<uint8_t> thumb(const std::vector<uint16_t> &halves)
{
    std::vector<uint8_t> b;
    for (uint16_t h : halves) {
        b.push_back(static_cast<uint8_t>(h));
        b.push_back(static_cast<uint8_t>(h >> 8));
    }
    return b;
}

TEST(Timing, ArmSequenceInRamAndInFlash)
{
    // add 1S; ldr 1S+1N+1I; str 2N; ldmia {r0-r3} 4S+1N+1I; stmdb {r0,r1}
    // 1S+2N; bx lr 2S+1N. Data goes to RAM.
    auto code = arm({0xE0800001, 0xE5932000, 0xE5832000, 0xE8BD000F, 0xE92D0003, 0xE12FFF1E});
    Bench b;
    EXPECT_EQ(b.run(RAM + 0x400, code, false), 1u + 3 + 2 + 6 + 3 + 3);
    EXPECT_EQ(b.run(kFlash + 0x400, code, false), 18u) << "no wait state at FWS 0";
    b.set_fws(1);
    EXPECT_EQ(b.run(RAM + 0x400, code, false), 18u) << "RAM has none";
    // One code fetch per instruction pays, and three for bx.
    EXPECT_EQ(b.run(kFlash + 0x400, code, false), 18u + 8);
}

TEST(Timing, FlashReadBuffersAsTheDatasheetFiguresShowForEachWaitStateCount)
{
    // Thumb code in flash: sequential fetches at FWS = 0 and 1 are all
    // single-cycle but the first; at FWS = 2 and 3 they alternate between
    // one cycle and FWS. ARM code gains nothing: every word costs FWS + 1.
    // Eight more straight-line instructions add eight fetches, half of them
    // of a word's first halfword.
    auto thumb_run = [](unsigned n) { return thumb(std::vector<uint16_t>(n, 0x2000)); };    // movs r0, #0
    auto arm_run = [](unsigned n) { return arm(std::vector<uint32_t>(n, 0xE1A00000)); };  // mov r0, r0
    for (uint32_t fws = 0; fws <= 3; ++fws) {
        Bench b;
        b.set_fws(fws);
        uint64_t thumb_more = b.run(kFlash + 0x400, thumb_run(12), true) - b.run(kFlash + 0x400, thumb_run(4), true);
        EXPECT_EQ(thumb_more, 4u + 4u * std::max(fws, 1u)) << "FWS " << fws;
        uint64_t arm_more = b.run(kFlash + 0x800, arm_run(12), false) - b.run(kFlash + 0x800, arm_run(4), false);
        EXPECT_EQ(arm_more, 8u * (fws + 1)) << "FWS " << fws;
    }
}

TEST(Timing, MultipliesTakeTheirTimeFromTheMultiplierOperand)
{
    // mul r2, r0, r1: 1S + m I, m = 1..4 by how many bytes of r1 matter
    // (all-zero or all-one top bytes end the multiplication early).
    auto mul = arm({0xE0020190});
    Bench b;
    auto with = [&](uint32_t r1) {
        b.machine.cpu().set_reg(1, r1);
        return b.run(RAM + 0x400, mul, false);
    };
    EXPECT_EQ(with(0x00000005), 2u);
    EXPECT_EQ(with(0xFFFFFF80), 2u);
    EXPECT_EQ(with(0x00001234), 3u);
    EXPECT_EQ(with(0x00123456), 4u);
    EXPECT_EQ(with(0x12345678), 5u);
    // mla adds one internal cycle; a failed condition costs 1S whatever it is.
    b.machine.cpu().set_reg(1, 5);
    EXPECT_EQ(b.run(RAM + 0x400, arm({0xE0223190}), false), 3u) << "mla r2, r0, r1, r3";
    EXPECT_EQ(b.run(RAM + 0x400, arm({0x00020190}), false), 1u) << "muleq with Z clear";
}

// mov 1S, then subs 1S + bne taken 2S+1N = 4 cycles a pass, the last pass
// 2; with one flash wait state every ARM fetch from flash costs one more.
TEST(Timing, CountedLoopAtTheSlowClockWithAndWithoutWaitStates)
{
    Program p("timing");
    auto cycles_between = [&](const char *from, const char *to) {
        p.machine.add_breakpoint(p.symbol(from));
        EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
        EXPECT_EQ(p.machine.cpu().pc(), p.symbol(from));
        p.machine.remove_breakpoint(p.symbol(from));
        uint64_t c0 = p.machine.cycles();
        board::Picos t0 = p.board.clock.now();
        p.machine.add_breakpoint(p.symbol(to));
        EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
        EXPECT_EQ(p.machine.cpu().pc(), p.symbol(to));
        p.machine.remove_breakpoint(p.symbol(to));
        uint64_t n = p.machine.cycles() - c0;
        EXPECT_NEAR(static_cast<double>(p.board.clock.now() - t0), static_cast<double>(p.board.clock.cycles_to_picos(n)), 1.0)
            << "at the master clock";
        return n;
    };
    EXPECT_EQ(cycles_between("start0", "park0"), 1u + 99 * 4 + 2);
    EXPECT_EQ(p.machine.flash_wait_states(), 0u);
    EXPECT_EQ(cycles_between("start1", "park1"), 2u + 99 * 8 + 4);
    EXPECT_EQ(p.machine.flash_wait_states(), 1u);
    EXPECT_NEAR(p.board.clock.master_hz(), 32768.0, 1.0) << "still on the slow clock";
}

TEST(Timing, BreakpointInALoopStopsEveryPassAndRunsRespectTheirDeadline)
{
    Program p("timing");
    uint32_t loop = p.symbol("loop0");
    p.machine.add_breakpoint(loop);
    EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
    uint64_t c0 = p.machine.cycles();
    EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
    EXPECT_EQ(p.machine.cpu().pc(), loop);
    EXPECT_EQ(p.machine.cycles() - c0, 4u) << "one pass of subs and a taken bne";
    EXPECT_EQ(p.machine.cpu().reg(0), 99u);
    p.machine.remove_breakpoint(loop);
    // A breakpoint the run never reaches: the run ends at its deadline.
    p.machine.add_breakpoint(0x00100FF0);
    board::Picos t = p.board.clock.now();
    EXPECT_EQ(p.machine.run_for(100 * board::kPicosPerMs), Machine::Stop::Deadline);
    EXPECT_GE(p.board.clock.now(), t + 100 * board::kPicosPerMs);
    EXPECT_LT(p.board.clock.now(), t + 101 * board::kPicosPerMs);
}

}  // namespace

}  // namespace timing_test
