// Both instruction sets run programs to the right result: arithmetic, loads
// and stores of every size, block transfers, calls between ARM and Thumb.
#include <gtest/gtest.h>

#include "tests/core/core_harness.h"

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
