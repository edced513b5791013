// The short paths of the core (loads and stores of plain memory done in the
// handler, the common ARM forms run from fields filled at decoding) against
// the long ones: a watchpoint nowhere near the program makes every data
// access take the long path, and the run must not change in any way that
// can be seen. The programs mix plain memory with peripheral accesses whose
// values depend on their cycle, misaligned addresses and a store that
// raises an interrupt in the middle of straight-line code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/core/core_harness.h"

namespace short_path_test {

using coretest::Board;
using coretest::kRam;

namespace {

constexpr uint32_t kRaiseIrq = coretest::kIo + 0x300;

struct Outcome {
    sim::Arm7tdmi::Stop stop;
    uint64_t cycles, instructions;
    sim::Registers regs;
    std::vector<uint8_t> ram;
    std::vector<coretest::BusAccess> log;
};

// Flash wait states: none, or 2 for an N and 1 for an S cycle.
Outcome run(const std::string &source, bool wait_states, bool long_path)
{
    Board b(source, wait_states ? 2 : 0, wait_states ? 1 : 0);
    b.bus.raise_irq_at = kRaiseIrq;
    if (long_path) b.core.set_watchpoints({{kRam + 0x4000, 4, true, true}});
    Outcome o{b.run(), b.core.cycles(), b.core.instructions(), b.core.registers(), b.ram, b.bus.log};
    return o;
}

struct Case {
    const char *name;
    std::string source;
};

const std::vector<Case> kCases = {
    {"arm transfers of every addressing form", R"(
        ldr r4, =0x00200100
        ldr r5, =0xFFF00100         @ the timer: its value is the cycle it is read at
        ldr r0, =0x8091A2B3
        str r0, [r4]
        str r0, [r4, #4]!
        strb r0, [r4, #-1]
        str r0, [r4], #8
        ldr r1, [r4, #-8]
        ldrb r2, [r4, #-5]
        ldr r3, [r5]
        mov r6, #2
        ldr r7, [r4, -r6, lsl #2]
        str r7, [r4, r6, lsl #3]!
        ldr r8, [r4, #-3]           @ misaligned: the word rotated
        ldrb r9, [r4, r6]
        strb r9, [r4], -r6
        ldr r10, [r5]
        adds r11, r10, r3
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
        .ltorg
    )"},
    {"thumb transfers of every size", coretest::irq_counting_program(R"(
        ldr r4, =0x00200100
        ldr r5, =0xFFF00100
        movs r0, #0x81
        lsls r0, r0, #8
        adds r0, #0x7F
        str r0, [r4]
        strh r0, [r4, #6]
        strb r0, [r4, #9]
        movs r6, #6
        ldrh r1, [r4, r6]
        ldrsh r2, [r4, r6]
        ldrsb r3, [r4, r6]
        ldr r7, [r5]
        ldrb r1, [r4, #9]
        adds r6, #1
        ldrsh r2, [r4, r6]          @ odd: the byte, sign-extended
        ldrh r3, [r4, r6]           @ odd: the halfword rotated
        sub sp, #8
        str r2, [sp, #4]
        ldr r7, [sp, #4]
        add sp, #8
        ldr r6, [r5]
        str r6, [r4, r7]
    )")},
    {"thumb store raising an interrupt between plain accesses", coretest::irq_counting_program(R"(
        ldr r4, =0x00200100
        ldr r1, =0xFFF00300
        ldr r2, =0x00200000
        movs r0, #7
        str r0, [r4]
        str r0, [r1]                @ nIRQ: taken before the next instruction
        ldr r3, [r2]                @ the handler's count, 1 already
        str r3, [r4, #4]
        ldr r5, [r4]
        adds r5, r5, r3
    )")},
};

TEST(CoreShortPath, RunsAsTheLongPathDoes)
{
    for (const Case &c : kCases) {
        for (bool wait : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (wait ? ", flash wait states" : ""));
            const Outcome fast = run(c.source, wait, false), slow = run(c.source, wait, true);
            ASSERT_EQ(fast.stop, sim::Arm7tdmi::Stop::Requested);
            EXPECT_EQ(slow.stop, fast.stop);
            EXPECT_EQ(slow.cycles, fast.cycles);
            EXPECT_EQ(slow.instructions, fast.instructions);
            for (int i = 0; i < 16; ++i) EXPECT_EQ(slow.regs.r[i], fast.regs.r[i]) << "r" << i;
            EXPECT_EQ(slow.regs.cpsr, fast.regs.cpsr);
            EXPECT_EQ(slow.ram, fast.ram);
            ASSERT_EQ(slow.log.size(), fast.log.size());
            for (size_t i = 0; i < fast.log.size(); ++i) {
                EXPECT_EQ(slow.log[i].address, fast.log[i].address) << "access " << i;
                EXPECT_EQ(slow.log[i].value, fast.log[i].value) << "access " << i;
                EXPECT_EQ(slow.log[i].cycle, fast.log[i].cycle) << "access " << i;
            }
        }
    }
}

// The interrupt a store raises comes before the instruction after it, also
// when both take the short path.
TEST(CoreShortPath, InterruptRaisedByAStoreIsTakenAtTheNextInstruction)
{
    const Outcome o = run(kCases[2].source, false, false);
    ASSERT_EQ(o.stop, sim::Arm7tdmi::Stop::Requested);
    uint32_t count, seen;
    std::memcpy(&count, o.ram.data(), 4);
    std::memcpy(&seen, o.ram.data() + 0x104, 4);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(seen, 1u);
    EXPECT_EQ(o.regs.r[5], 8u);
}

}  // namespace

}  // namespace short_path_test
