// What the ARM7TDMI does where the architecture leaves the result open or
// where later cores differ (the differential test's oracle models those
// later cores, so these forms are checked here instead): pc read with a
// register-specified shift and stored, the base in the register list of a
// written-back block transfer, misaligned swaps and block transfers with no
// memory controller to abort them, a load into pc in ARM state.
#include <gtest/gtest.h>

#include "tests/core/core_harness.h"

namespace arm7tdmi_forms_test {

namespace {

using coretest::Board;
using coretest::kRam;

TEST(Arm7tdmiForms, PcReadsAsItsAddressPlus12WithARegisterShiftAndWhenStored)
{
    Board b(R"(
        mov r1, #0
        mov r2, #0
    shift_reg:
        add r0, pc, r1, lsl r2          @ Rn = pc
    shift_reg_rm:
        add r3, r1, pc, lsl r2          @ Rm = pc
        ldr r4, =0x00200100
    store:
        str pc, [r4]
    store_multiple:
        stmia r4, {r5, pc}
    done: b done
    )");
    b.run_to("done");
    EXPECT_EQ(b.core.reg(0), b.at("shift_reg") + 12);
    EXPECT_EQ(b.core.reg(3), b.at("shift_reg_rm") + 12);
    EXPECT_EQ(b.ram_word(kRam + 0x100 + 4), b.at("store_multiple") + 12) << "STM of pc";
    // STR pc was overwritten by the STM's first word; run it alone.
    Board s("ldr r4, =0x00200100\n store: str pc, [r4]\n done: b done");
    s.run_to("done");
    EXPECT_EQ(s.ram_word(kRam + 0x100), s.at("store") + 12) << "STR of pc";
}

TEST(Arm7tdmiForms, BaseInTheListOfAWrittenBackBlockTransfer)
{
    Board b(R"(
        ldr r0, =0x00200100
        ldmia r0!, {r0, r1}             @ the loaded base wins over the write-back
        ldr r2, =0x00200200
        ldr r3, =0x00200300
        stmia r2!, {r2, r3}             @ base first in the list: its old value
        stmia r3!, {r2, r3}             @ base later: the written-back value
    done: b done
    )");
    b.set_ram_word(kRam + 0x100, 0xCAFE0000);
    b.set_ram_word(kRam + 0x104, 0xCAFE0004);
    b.run_to("done");
    EXPECT_EQ(b.core.reg(0), 0xCAFE0000u);
    EXPECT_EQ(b.core.reg(1), 0xCAFE0004u);
    EXPECT_EQ(b.ram_word(kRam + 0x200), kRam + 0x200);
    EXPECT_EQ(b.ram_word(kRam + 0x304), kRam + 0x308);
}

// Misaligned single loads and stores are checked with the aborts (abort_test.cpp).
TEST(Arm7tdmiForms, MisalignedSwapRotatesAndBlockTransfersIgnoreTheLowAddressBits)
{
    Board b(R"(
        ldr r0, =0x00200101
        ldr r3, =0x11223344
        swp r4, r3, [r0]                @ loads as LDR does (rotated), stores aligned
        ldmia r0, {r5, r6}              @ from 0x00200100
        ldr r1, =0x00200203
        stmia r1, {r5, r6}              @ to 0x00200200
    done: b done
    )");
    b.set_ram_word(kRam + 0x100, 0xDDCCBBAA);
    b.set_ram_word(kRam + 0x104, 0x55667788);
    b.run_to("done");
    EXPECT_EQ(b.core.reg(4), 0xAADDCCBBu);
    EXPECT_EQ(b.core.reg(5), 0x11223344u);
    EXPECT_EQ(b.core.reg(6), 0x55667788u);
    EXPECT_EQ(b.ram_word(kRam + 0x200), 0x11223344u);
    EXPECT_EQ(b.ram_word(kRam + 0x204), 0x55667788u);
}

TEST(Arm7tdmiForms, LoadIntoPcInArmStateNeverSwitchesToThumb)
{
    Board b(R"(
        ldr r0, =0x00200100
        ldr pc, [r0]                    @ bit 0 set: a later core would switch to Thumb
        nop
    target:
        mov r1, #1
    done: b done
    )");
    b.set_ram_word(kRam + 0x100, b.at("target") | 1);
    b.run_to("done");
    EXPECT_FALSE(b.core.thumb());
    EXPECT_EQ(b.core.reg(1), 1u);
}

}  // namespace

}  // namespace arm7tdmi_forms_test
