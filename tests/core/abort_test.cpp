// Precise data aborts (taken on the faulting instruction, everything before
// it done once, nothing after it), the base-updated abort model of
// single and block transfers, misaligned accesses with and without the
// memory system's check, and decoded code forgotten when it is overwritten.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/core/core_harness.h"

namespace abort_test {

using coretest::Board;
using coretest::kRam;

namespace {

// The data abort handler counts in r11, keeps the link in r10 and skips
// the faulting instruction (ARM: lr - 4; Thumb callers use lr - 6).
const char *kVectors = R"(
        b reset
        b .
        b .
        b .
        b dabt
        nop
        b .
        b .
    dabt:
        add r11, r11, #1
        mov r10, lr
        mrs r12, spsr
        tst r12, #0x20
        subseq pc, lr, #4
        subs pc, lr, #6
    reset:
        mov r11, #0
)";

const char *kHalt = R"(
        ldr r1, =0xFFF0FFF0
        str r1, [r1]
        .ltorg
)";

}  // namespace

TEST(CoreAbort, TakenOnTheFaultingInstructionOnlyInBothStates)
{
    Board b(std::string(kVectors) + R"(
        ldr r9, =0x00300000
        mov r5, #0
        mov r6, #0
        add r5, r5, #1
        add r5, r5, #1
        add r5, r5, #1
    arm_fault:
        str r0, [r9]
        add r6, r6, #1
        adr r0, thumb_code + 1
        bx r0
        .thumb
    thumb_code:
        mov r1, r9
        adds r5, #1
    thumb_fault:
        ldr r0, [r1, #4]
        adds r6, #1
        .balign 4
    )" + kHalt);
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(5), 4u) << "instructions before each fault ran once";
    EXPECT_EQ(b.core.reg(6), 2u) << "instructions after each fault ran once, after the handler";
    EXPECT_EQ(b.core.reg(11), 2u);
    EXPECT_EQ(b.core.reg(10), b.at("thumb_fault") + 8) << "Thumb: LR_abt = address + 8 too";
    EXPECT_EQ(b.core.exceptions_taken(sim::Exception::DataAbort), 2u);
    ASSERT_EQ(b.bus.aborts.size(), 2u);
    EXPECT_EQ(b.bus.aborts[0].pc, b.at("arm_fault"));
    EXPECT_EQ(b.bus.aborts[0].address, 0x00300000u);
    EXPECT_EQ(b.bus.aborts[0].kind, sim::AccessKind::Write);
    EXPECT_EQ(b.bus.aborts[0].cause, sim::AbortCause::Undefined);
    EXPECT_EQ(b.bus.aborts[1].pc, b.at("thumb_fault"));
    EXPECT_EQ(b.bus.aborts[1].address, 0x00300004u);
    EXPECT_EQ(b.bus.aborts[1].kind, sim::AccessKind::Read);
    EXPECT_EQ(b.bus.aborts[1].size, 4u);
}

TEST(CoreAbort, BaseWriteBackAndBlockLoadsStopAtTheFault)
{
    Board b(std::string(kVectors) + R"(
        ldr r9, =0x0020FFF8
        ldr r0, [r9, #16]!          @ faults: the base is still updated
        mov r7, r9
        ldr r9, =0x0020FFF8
        mov r0, #0xA0
        mov r1, #0xA1
        mov r2, #0xA2
        mov r3, #0xA3
        ldmia r9!, {r0-r3}          @ r0, r1 loaded; r2 faults; r2, r3 kept
        mov r8, r9
        mov r6, r1
        ldr r9, =0x0020FFFC
        mov r4, #0xB4
        ldmia r9, {r4, r9, r12}     @ r4 loaded; r9 faults and keeps the base
    )" + kHalt);
    b.set_ram_word(0x0020FFF8, 0x11);
    b.set_ram_word(0x0020FFFC, 0x22);
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(11), 3u);
    EXPECT_EQ(b.core.reg(7), 0x00210008u);
    EXPECT_EQ(b.core.reg(0), 0x11u);
    EXPECT_EQ(b.core.reg(6), 0x22u);
    EXPECT_EQ(b.core.reg(2), 0xA2u);
    EXPECT_EQ(b.core.reg(3), 0xA3u);
    EXPECT_EQ(b.core.reg(8), 0x00210008u) << "written back";
    EXPECT_EQ(b.core.reg(4), 0x22u);
    EXPECT_EQ(b.core.reg(9), 0x0020FFFCu) << "restored: no write-back asked";
    ASSERT_EQ(b.bus.aborts.size(), 3u);
    EXPECT_EQ(b.bus.aborts[1].address, 0x00210000u);
    EXPECT_EQ(b.bus.aborts[2].address, 0x00210000u);
}

TEST(CoreAbort, ThumbPushAndPopAbortAsBlockTransfers)
{
    Board b(std::string(kVectors) + R"(
        adr r0, 1f + 1
        bx r0
        .thumb
    1:  movs r0, #0xA0
        movs r1, #0xA1
        mov r6, sp
        ldr r5, =0x00000100
        mov sp, r5
        push {r0, r1}               @ into flash: refused, sp moved down
        mov r7, sp
        ldr r5, =0x0020FFFC
        mov sp, r5
        pop {r0, r1}                @ r0 loaded; r1 past the RAM faults; sp moved up
        mov r4, sp
        adds r3, r1, #0
        mov sp, r6
        adr r5, 2f
        bx r5
        .balign 4
        .arm
    2:
    )" + kHalt);
    b.set_ram_word(0x0020FFFC, 0x33);
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(11), 2u);
    EXPECT_EQ(b.core.reg(7), 0xF8u);
    EXPECT_EQ(b.core.reg(0), 0x33u);
    EXPECT_EQ(b.core.reg(3), 0xA1u) << "kept";
    EXPECT_EQ(b.core.reg(4), 0x00210004u);
    ASSERT_EQ(b.bus.aborts.size(), 2u);
    EXPECT_EQ(b.bus.aborts[0].kind, sim::AccessKind::Write);
    EXPECT_EQ(b.bus.aborts[1].address, 0x00210000u);
}

TEST(CoreAbort, MisalignedAccessesAbortWhenTheMemorySystemChecksThem)
{
    const std::string program = std::string(kVectors) + R"(
        ldr r1, =0x00200002
        ldr r0, [r1]
        ldrh r2, [r1, #1]
        ldrsh r3, [r1, #1]
        ldrb r4, [r1, #1]
        strh r4, [r1, #2]
        str r4, [r1]
        ldr r5, [r1, #2]
        ldr r6, [r1, #-2]
    )" + kHalt;
    Board checked(program);
    checked.bus.abort_misaligned = true;
    checked.set_ram_word(kRam, 0x84332211);
    ASSERT_EQ(checked.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(checked.core.reg(11), 4u);
    ASSERT_EQ(checked.bus.aborts.size(), 4u);
    for (const sim::AbortInfo &a : checked.bus.aborts) EXPECT_EQ(a.cause, sim::AbortCause::Misaligned);
    EXPECT_EQ(checked.bus.aborts[0].size, 4u);
    EXPECT_EQ(checked.bus.aborts[1].size, 2u);
    EXPECT_EQ(checked.bus.aborts[1].address, 0x00200003u);
    EXPECT_EQ(checked.bus.aborts[3].kind, sim::AccessKind::Write);
    EXPECT_EQ(checked.core.reg(4), 0x84u);
    EXPECT_EQ(checked.core.reg(5), 0x84u) << "the aligned halfword store happened";
    EXPECT_EQ(checked.core.reg(6), 0x84332211u) << "the misaligned word store did not";

    // The ARM7TDMI alone: a halfword from an odd address comes rotated, a
    // signed one is the byte there sign-extended; stores drop the low bits.
    Board plain(program);
    plain.set_ram_word(kRam, 0x84332211);
    ASSERT_EQ(plain.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(plain.core.reg(11), 0u);
    EXPECT_EQ(plain.core.reg(0), 0x22118433u);
    EXPECT_EQ(plain.core.reg(2), 0x33000084u);
    EXPECT_EQ(plain.core.reg(3), 0xFFFFFF84u);
    EXPECT_EQ(plain.core.reg(6), 0x84u);
}

TEST(CoreCodeCache, CodeOverwrittenByAStoreRunsAsNewThroughEitherView)
{
    // RAM seen at 0 and at its own address, as after the memory controller's
    // remap; the code runs from 0 and is patched through 0x00200000.
    Board b(R"(
        ldr sp, =0x00210000
        ldr r4, =0x00200400
        mov r7, #0x400
        adr r0, func
        ldmia r0, {r1, r2}
        stmia r4, {r1, r2}
        mov lr, pc
        bx r7
        mov r5, r0
        ldr r1, patch
        str r1, [r4]
        mov lr, pc
        bx r7
        mov r6, r0
        adr r0, thumb_part + 1
        bx r0
    func:
        mov r0, #1
        bx lr
    patch:
        mov r0, #2
        .thumb
    thumb_part:
        adr r0, thumb_func
        ldr r1, [r0]
        str r1, [r4, #8]
        adds r4, #9
        bl call_r4
        mov r8, r0
        movs r1, #0x23              @ movs r0, #0x23 is 0x2023
        subs r2, r4, #1
        strb r1, [r2]               @ its high byte is already 0x20
        bl call_r4
        mov r9, r0
        ldr r1, =0xFFF0FFF0
        str r1, [r1]
    call_r4:
        bx r4
        .balign 4
    thumb_func:
        movs r0, #0x11
        bx lr
        .ltorg
    )");
    b.code_in_ram();
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(5), 1u);
    EXPECT_EQ(b.core.reg(6), 2u);
    EXPECT_EQ(b.core.reg(8), 0x11u);
    EXPECT_EQ(b.core.reg(9), 0x23u);
}

TEST(CoreCodeCache, InvalidateCodeForgetsWhatTheDebuggerChanged)
{
    Board b(R"(
    again:
        mov r0, #1
        ldr r1, =0xFFF0FFF0
        str r1, [r1]
        b again
        .ltorg
    )");
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(0), 1u);
    uint32_t mov_r0_7 = 0xE3A00007;
    std::memcpy(b.flash.data(), &mov_r0_7, 4);
    b.core.invalidate_code(0, 4);
    b.core.set_reg(15, 0);
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(0), 7u);
}

}  // namespace abort_test
