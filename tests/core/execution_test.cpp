// Both instruction sets run programs to the right result: arithmetic, loads
// and stores of every size, block transfers, calls between ARM and Thumb.
#include <gtest/gtest.h>

#include "tests/core/core_harness.h"

namespace execution_test {

using coretest::Board;
using coretest::kRam;

TEST(CoreExecution, ArmAndThumbCallEachOther)
{
    Board b(R"(
        ldr sp, =0x00210000
        mov r0, #0
        mov r1, #10
    1:  add r0, r0, r1
        subs r1, r1, #1
        bne 1b
        adr r2, thumb_code + 1
        mov lr, pc
        bx r2
        mov r5, r0
    done: b done
        .thumb
        .thumb_func
    thumb_code:
        push {r4, lr}
        movs r4, #3
        muls r0, r4
        bl twice
        pop {r4}
        pop {r3}
        bx r3
        .thumb_func
    twice:
        lsls r0, r0, #1
        bx lr
    )");
    b.run_to("done");
    EXPECT_EQ(b.core.reg(5), 55u * 3 * 2);
    EXPECT_FALSE(b.core.thumb());
    EXPECT_EQ(b.core.reg(13), 0x00210000u);
}

TEST(CoreExecution, LoadsAndStoresOfEverySize)
{
    Board b(R"(
        ldr r0, =0x00200100
        ldr r1, =0x8081fe7f
        str r1, [r0]
        ldrb r2, [r0, #1]
        ldrsb r3, [r0, #1]
        ldrh r4, [r0, #2]
        ldrsh r5, [r0, #2]
        strh r1, [r0, #4]!
        strb r1, [r0, #2]
        ldr r6, [r0], #-4
        ldr r7, [r0, #4]
    done: b done
    )");
    b.run_to("done");
    EXPECT_EQ(b.core.reg(2), 0xFEu);
    EXPECT_EQ(b.core.reg(3), 0xFFFFFFFEu);
    EXPECT_EQ(b.core.reg(4), 0x8081u);
    EXPECT_EQ(b.core.reg(5), 0xFFFF8081u);
    EXPECT_EQ(b.core.reg(6), 0x007FFE7Fu);
    EXPECT_EQ(b.core.reg(0), 0x00200100u);
    EXPECT_EQ(b.core.reg(7), 0x007FFE7Fu);
}

TEST(CoreExecution, TheNeverConditionIsNotExecutedAsTheArm7tdmiDocumentsIt)
{
    // Condition 1111 is "never" on this core: whatever the rest of the
    // word (ARMv5 gives it other meanings), nothing happens but one S cycle,
    // and erased flash (all ones) runs through as such.
    Board b(R"(
        mov r0, #1
    from:
        .word 0xF3A00002            @ mov r0, #2 with NV
        .word 0xFFFFFFFF            @ erased flash
        .word 0xFAFFFFFE            @ a branch with link with NV (BLX on ARMv5)
    to:
        add r0, r0, #1
    done: b done
    )");
    b.run_to("from");
    const uint64_t start = b.core.cycles();
    b.run_to("to");
    EXPECT_EQ(b.core.cycles() - start, 3u);
    b.run_to("done");
    EXPECT_EQ(b.core.reg(0), 2u);
    EXPECT_EQ(b.core.reg(14), 0u);
    EXPECT_EQ(b.core.exceptions_taken(sim::Exception::Undefined), 0u);
}

}  // namespace execution_test
