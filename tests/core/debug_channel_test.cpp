// The EmbeddedICE debug communications channel as the code on the core
// sees it through coprocessor 14 (in user mode too), and as a debugger
// sees it from the other side.
#include <gtest/gtest.h>

#include "tests/core/core_harness.h"

namespace debug_channel_test {

using coretest::Board;
using sim::DebugChannel;

namespace {

constexpr uint32_t kIdle = DebugChannel::kVersion;   // nothing waits either way

TEST(CoreDebugChannel, WordsBothWaysWithTheirFlags)
{
    Board b(R"(
        msr cpsr_c, #0xD0           @ user mode
        mrc p14, 0, r0, c0, c0
    poll:
        mrc p14, 0, r1, c0, c0
        tst r1, #1
        beq poll                    @ until the debugger has written
        mrc p14, 0, r2, c1, c0
        mrc p14, 0, r3, c0, c0
        add r2, r2, #1
        mcr p14, 0, r2, c1, c0
        mrc p14, 0, r4, c0, c0
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
        .ltorg
    )");
    DebugChannel &dcc = b.core.debug_channel();
    ASSERT_EQ(b.run(500), sim::Arm7tdmi::Stop::Limit);
    EXPECT_EQ(b.core.reg(0), kIdle);
    dcc.debugger_writes(0x1234);
    EXPECT_EQ(dcc.control(), kIdle | DebugChannel::kR);
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.exceptions_taken(sim::Exception::Undefined), 0u);
    EXPECT_EQ(b.core.cpsr() & 0x1F, 0x10u);
    EXPECT_EQ(b.core.reg(2), 0x1235u);
    EXPECT_EQ(b.core.reg(3), kIdle) << "reading the word clears R";
    EXPECT_EQ(b.core.reg(4), kIdle | DebugChannel::kW);
    EXPECT_EQ(dcc.control(), kIdle | DebugChannel::kW);
    EXPECT_EQ(dcc.debugger_reads(), 0x1235u);
    EXPECT_EQ(dcc.control(), kIdle);
}

// Nobody reads the core's words: W stays set and a later word replaces the
// unread one. r15 as MRC's destination takes the top four bits into the
// flags; as MCR's source it gives the instruction's address + 12.
TEST(CoreDebugChannel, UnreadWordsAndR15)
{
    Board b(R"(
        mov r0, #1
        mcr p14, 0, r0, c1, c0
        mov r0, #2
        mcr p14, 0, r0, c1, c0
        mrc p14, 0, r1, c0, c0
        msr cpsr_f, #0xE0000000     @ N, Z and C
        mrc p14, 0, r15, c0, c0     @ the version, 0001: V alone
        movvs r2, #1
    here:
        mcr p14, 0, r15, c1, c0
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
        .ltorg
    )");
    DebugChannel &dcc = b.core.debug_channel();
    b.run_to("here");
    EXPECT_EQ(b.core.reg(1), kIdle | DebugChannel::kW);
    EXPECT_EQ(b.core.cpsr() >> 28, 0x1u);
    EXPECT_EQ(b.core.reg(2), 1u);
    EXPECT_EQ(dcc.debugger_reads(), 2u);
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(dcc.control(), kIdle | DebugChannel::kW);
    EXPECT_EQ(dcc.debugger_reads(), b.at("here") + 12);
}

}  // namespace

}  // namespace debug_channel_test
