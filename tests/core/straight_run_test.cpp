// Code runs a straight run of decoded instructions at a time, with the
// window and the limit looked at once a run where that is safe. Whatever
// happens inside a run must end it at the same instruction boundary, with
// the same cycles, as running one instruction at a time (which a
// watchpoint nowhere near the program forces): a store that raises an
// interrupt or asks for a stop, a peripheral access, a store rewriting an
// instruction later in the same run, and a run's limit anywhere inside it;
// interpreted, and as host code made at each run's first start (which
// chains runs as the run loop would go from one to the next).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/core/core_harness.h"

namespace straight_run_test {

using coretest::Board;
using coretest::kRam;

namespace {

struct Outcome {
    std::vector<std::tuple<sim::Arm7tdmi::Stop, uint64_t, uint64_t, uint32_t>> stops;   // with cycles, count, pc
    std::vector<uint32_t> regs;   // r0..r15, cpsr
    std::vector<uint8_t> ram;
    std::vector<std::tuple<uint32_t, uint32_t, uint64_t>> log;   // address, value, cycle
};

// Runs to the store to kHalt, in runs of at most `step` cycles (0: one run).
// Peripheral accesses cost more than a run allows for its memory accesses,
// or (`io_wait` 0) no more.
Outcome run(const std::string &source, bool wait_states, bool in_ram, bool one_at_a_time, uint64_t step,
            unsigned io_wait = 200, bool host_code = false)
{
    Board b(source, wait_states ? 2 : 0, wait_states ? 1 : 0);
    b.core.set_host_code(host_code, 1);
    if (in_ram) b.code_in_ram();
    b.bus.raise_irq_at = coretest::kIo + 0x300;
    b.bus.io_wait = io_wait;
    b.bus.ports = true;
    if (one_at_a_time) b.core.set_watchpoints({{kRam + 0xF000, 4, true, true}});
    Outcome o;
    for (int runs = 0; runs < 100000; ++runs) {
        const sim::Arm7tdmi::Stop s = b.core.run(b.core.cycles() + (step ? step : 1'000'000));
        o.stops.emplace_back(s, b.core.cycles(), b.core.instructions(), b.core.pc());
        if (s != sim::Arm7tdmi::Stop::Limit || !step) break;
    }
    for (int r = 0; r <= sim::Arm7tdmi::kCpsr; ++r) o.regs.push_back(b.core.reg(r));
    o.ram = b.ram;
    for (const coretest::BusAccess &a : b.bus.log) o.log.emplace_back(a.address, a.value, a.cycle);
    return o;
}

// Vectors and an IRQ handler that counts at 0x00200000, acknowledges, and
// records the r4 it interrupted at 0x00200004.
const std::string kPrologue = coretest::irq_counting_start("str r4, [r12, #4]") + R"(
        ldr r10, =0x00200100
        ldr r9, =0xFFF00100
)";
const std::string kEpilogue = R"(
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
        b .
        .ltorg
)";

struct Case {
    const char *name;
    bool in_ram;
    std::string body;
};

const std::vector<Case> kCases = {
    {"a store raising an interrupt inside a run", false, R"(
        mov r4, #1
        ldr r1, =0xFFF00300
        mov r0, #5
        str r0, [r10]
        mov r4, #2
        str r0, [r1]                @ nIRQ: the handler sees r4 = 2
        mov r4, #3
        add r0, r0, r4
        str r0, [r10, #4]
        mov r4, #4
    )"},
    {"peripheral reads inside runs, a loop of them", false, R"(
        mov r0, #0
        mov r2, #20
    1:  ldr r1, [r9]                @ the timer: its value is the cycle of the read
        add r0, r0, r1
        str r0, [r9, #8]            @ to a port from the second time round
        str r0, [r10, r2, lsl #2]
        ldmia r10, {r5-r7}
        stmdb sp!, {r0-r2, r5}
        ldrh r3, [r10, #2]
        strh r3, [r10, #14]
        mul r6, r3, r2
        ldmia sp!, {r0-r2, r5}
        subs r2, r2, #1
        bne 1b
    )"},
    {"the short forms of halfword, multiple and multiply", false, R"(
        mov r0, #0x81
        orr r0, r0, #0x7F00
        add r1, r10, #0x40
        strh r0, [r1, #2]!
        strh r0, [r1], #4
        mov r2, #6
        ldrh r3, [r1, -r2]
        ldrsh r4, [r1, #-2]
        ldrsb r5, [r1, -r2]!
        ldrh r6, [r1, #1]           @ misaligned: rotated
        mov r7, r10
        stmia r7!, {r0-r3}
        stmdb r7, {r1, r7, r8}      @ base in the list, no write-back
        mov r8, r7
        stmib r8!, {r2, r8, r9}     @ base not the lowest: stored as written back
        ldmda r8!, {r3-r5}
        ldr r7, =0x00200FF8
        stmia r7, {r0-r3}           @ across a page
        ldmia r7!, {r4-r6}
        muls r6, r3, r4
        mlas r7, r5, r6, r3
        mul r8, r7, r7
        adr r12, 1f
        stmfd sp!, {r4, r12}
        ldmfd sp!, {r4, pc}         @ pc loaded: a branch
        mov r9, #0
    1:  ldmia r10, {r0, r10}        @ base loaded: it wins
    )"},
    {"thumb: peripheral reads, an interrupt and a loop inside runs", false, R"(
        adr r0, 1f + 1
        bx r0
        .thumb
    1:  movs r6, #3
    5:  .rept 300                   @ whole granules of straight code, run again
        adds r7, #1
        .endr
        subs r6, #1
        beq 6f
        b 5b
    6:  movs r4, #0
        ldr r5, =0x00200100
        ldr r6, =0xFFF00100
        movs r2, #12
    2:  ldr r1, [r6]                @ the timer
        adds r4, r4, r1
        str r4, [r5, #4]
        str r4, [r6, #8]            @ to a port from the second time round
        push {r1, r4}
        ldmia r5!, {r0, r1}
        subs r5, #8
        strh r4, [r5, #10]
        ldrsh r3, [r5, r2]
        muls r3, r4, r3
        pop {r1, r4}
        bl 4f                       @ both halves in one go
        cmp r2, #6
        bne 3f
        ldr r1, =0xFFF00300
        str r2, [r1]                @ nIRQ inside a run
        movs r7, #9
    3:  subs r2, #1
        bne 2b
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
    4:  adds r7, #1
        bx lr
        .ltorg
        .arm
    )"},
    {"a stop asked for inside a run", false, R"(
        mov r4, #1
        ldr r0, =0xFFF0FFF0
        str r0, [r0]                @ the run ends right after this store
        mov r4, #2
        mov r5, #2
        b .
    )"},
    {"code rewriting a later instruction of its own run", true, R"(
        adr r0, 1f
        ldr r1, =0xE3A05007         @ mov r5, #7
        ldr r2, =0xE1A0F008         @ mov pc, r8
        adr r8, 2f
        mov r5, #0
        mov r6, #0
        str r1, [r0]                @ four ahead: runs as rewritten
        str r2, [r0, #4]            @ three ahead: a branch in the middle of the run
        mov r3, #1
        mov r3, #2
    1:  mov r5, #1
        mov r6, #1                  @ skipped by the rewritten branch
    2:  adr r0, 3f
        ldr r1, =0xE3A03009         @ mov r3, #9
        str r1, [r0]                @ the next instruction, fetched before: runs as it was
    3:  mov r3, #3
    )"},
    {"thumb: block transfers across a page, through the bus and into pc", false, R"(
        adr r0, 1f + 1
        bx r0
        .thumb
    1:  ldr r5, =0xFFF00100
        ldmia r5!, {r0-r2}          @ the timer, thrice
        ldr r5, =0x00201004
        mov sp, r5
        push {r0-r2, lr}            @ across a page
        pop {r3-r5}
        ldr r3, =2f
        push {r1, r3}
        pop {r1, pc}                @ a branch, the refill through the read buffers
        movs r4, #0
    2:  ldr r0, =0xFFF0FFF0
        str r0, [r0]
        .ltorg
        .arm
    )"},
    // A compare runs the conditional branch after it too, within a granule
    // of decoded code (256 bytes): pairs of each kind; a store into the
    // next granule, which forgets this one's last instructions, the branch
    // of a pair among them; branches of pairs rewritten, in their own
    // granule and across two.
    {"compare-and-branch pairs, their branches rewritten", true, R"(
        ldr r5, =0x00204000         @ past the program's copy in RAM
        mov r3, #3
        mov r4, #0
    1:  str r4, [r5]
        add r4, r4, #1
        tst r4, #1
        cmpeq r4, #4                @ its own condition, then the branch
        beq 2f
        cmn r4, r3, lsl #28
        bmi 2f
        teq r4, r9
        bne 1b
    2:  bl 10f
        ldr r0, =11f; str r0, [r0, #8]; bl 10f
        ldr r1, [r0]; eor r1, r1, #0x90000000; str r1, [r0]; bl 10f   @ bne: bhi
        mov r6, r4
        ldr r0, =20f + 1; bx r0
        .ltorg
        .balign 256
        .space 256 - 20
    10: mov r4, #0
    12: add r4, r4, #1
        cmp r4, r3                  @ 12 bytes before the next granule
    11: bne 12b
        bx lr
        .word 0
        .thumb
    20: adds r4, #1
        tst r4, r5
        bne 22f
        cmn r4, r3
        bmi 22f
        mov r8, r4
        cmp r8, r3
        blo 20b
    22: bl 30f
        ldr r0, =31f; ldrh r1, [r0]; movs r2, #9; lsls r2, #8; eors r1, r2; strh r1, [r0]; bl 30f
        ldr r0, =40f; bx r0
        .ltorg
        .balign 256
        .space 256 - 6
    30: movs r4, #0
    32: adds r4, #1
        cmp r4, r3                  @ the last of its granule
    31: bne 32b
        bx lr
        .balign 4
        .arm
    40:
    )"},
    {"loops of short runs that chain, a BL and a paired compare, ARM and thumb", false, R"(
        mov r0, #40
        mov r1, #0
    1:  add r1, r1, r0
        eor r2, r1, r0, lsl #3
        subs r0, r0, #1
        bne 1b
        adr r0, 2f + 1
        bx r0
        .thumb
    2:  movs r0, #40
    3:  adds r1, r1, r0
        subs r0, #1
        bne 3b
        movs r0, #8
    7:  adds r1, r1, r0
        bl 4f
        cmp r0, #0
        bne 7b
        b 5f
    4:  lsls r2, r1, #2
        subs r0, #1
        mov pc, lr
    5:  adr r0, 6f
        bx r0
        .arm
    6:
    )"},
    {"a loop rewriting code it then runs, in another granule", true, R"(
        mov r6, #0
        adr r0, 2f
        ldr r1, =0xE2866001         @ add r6, r6, #1
        mov r2, #6
    1:  str r1, [r0]                @ add r6, r6, #1, then #2, #3, ...
        add r1, r1, #1
        b 2f
        .balign 256
    2:  mov r6, #100
        subs r2, r2, #1
        bne 1b
        mov r4, r6
    )"},
    {"thumb: a BX to each halfword a little ahead, at both alignments", false, R"(
        adr r0, 1f + 1
        bx r0
        .thumb
    1:  movs r6, #3
    2:  .rept 2
        .irp k, 3, 5, 7, 9
        mov r0, pc
        adds r0, #\k
        bx r0
        .rept 4
        adds r7, #1
        .endr
        .endr
        adds r7, #1
        .endr
        subs r6, #1
        bne 2b
        adr r0, 3f
        bx r0
        .balign 4
        .arm
    3:
    )"},
};

TEST(CoreStraightRuns, EndAtTheBoundaryOneInstructionAtATimeWould)
{
    for (const Case &c : kCases) {
        const std::string source = kPrologue + c.body + kEpilogue;
        for (bool wait : {false, true}) {
            for (const auto &[step, io_wait] : {std::pair<uint64_t, unsigned>{0, 200}, {0, 0}, {1, 200}, {7, 0},
                                                {150, 200}, {230, 0}, {370, 200}}) {
                SCOPED_TRACE(std::string(c.name) + (wait ? ", flash wait states" : "") + ", runs of " +
                             std::to_string(step) + " cycles, peripheral wait " + std::to_string(io_wait));
                const Outcome single = run(source, wait, c.in_ram, true, step, io_wait);
                for (bool host_code : {false, true}) {
                    SCOPED_TRACE(host_code ? "host code" : "interpreted");
                    const Outcome runs = run(source, wait, c.in_ram, false, step, io_wait, host_code);
                    ASSERT_EQ(std::get<0>(runs.stops.back()), sim::Arm7tdmi::Stop::Requested);
                    EXPECT_EQ(runs.stops, single.stops);
                    EXPECT_EQ(runs.regs, single.regs);
                    EXPECT_EQ(runs.ram, single.ram);
                    EXPECT_EQ(runs.log, single.log);
                }
            }
        }
    }
}

// What the programs above must do, whichever way they run.
TEST(CoreStraightRuns, StopAtTheInstructionThatAskedForIt)
{
    const Outcome irq = run(kPrologue + kCases[0].body + kEpilogue, true, false, false, 0);
    uint32_t count, seen;
    std::memcpy(&count, irq.ram.data(), 4);
    std::memcpy(&seen, irq.ram.data() + 4, 4);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(seen, 2u);

    const Outcome stop = run(kPrologue + kCases[4].body + kEpilogue, false, false, false, 0);
    EXPECT_EQ(stop.regs[4], 1u);
    EXPECT_EQ(stop.regs[5], 0u);

    const Outcome rewritten = run(kPrologue + kCases[5].body + kEpilogue, false, true, false, 0);
    EXPECT_EQ(rewritten.regs[5], 7u);
    EXPECT_EQ(rewritten.regs[6], 0u);
    EXPECT_EQ(rewritten.regs[3], 3u);

    const Outcome pairs = run(kPrologue + kCases[7].body + kEpilogue, false, true, false, 0);
    EXPECT_EQ(pairs.regs[6], 1u);   // the ARM pair's branch as rewritten
    EXPECT_EQ(pairs.regs[4], 1u);   // and the Thumb one's across granules
}

}  // namespace

// Wherever the run loop would stop between a compare and its branch, the
// two stay two instructions: a counting loop called twice, the first call
// pairing them.
TEST(CoreStraightRuns, StopBetweenACompareAndItsBranch)
{
    const std::string loop = R"(
        movs r4, #0; bl count; ldr r1, =0xFFF0FFF0; str r1, [r1]
        movs r4, #0; bl count; b .
    count: adds r4, #1
    compare: cmp r4, #3
    branch: bne count
        bx lr
    )";
    enum Way { kStep, kLimit, kInterrupt, kBreakpoint };
    for (bool thumb : {true, false}) {
        for (Way way : {kStep, kLimit, kInterrupt, kBreakpoint}) {
            SCOPED_TRACE(std::string(thumb ? "thumb" : "arm") + ", way " + std::to_string(way));
            Board b(coretest::irq_counting_start() + (thumb ? "adr r0, 1f + 1; bx r0; .thumb; 1:" : "") + loop);
            ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
            b.run_to("compare");
            const uint64_t count = b.core.instructions();
            if (way == kStep) {
                b.core.step();
            } else if (way == kBreakpoint) {
                b.core.set_breakpoints({b.at("branch")});
                EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Breakpoint);
            } else {
                EXPECT_EQ(b.run(1), sim::Arm7tdmi::Stop::Limit);   // where an event may raise nIRQ
            }
            EXPECT_EQ(b.core.pc(), b.at("branch"));
            EXPECT_EQ(b.core.instructions(), count + 1);
            if (way != kInterrupt) continue;
            b.core.set_interrupt_lines(true, false);
            b.run(1);
            EXPECT_EQ(b.core.reg(14), b.at("branch") + 4);   // taken before the branch
        }
    }
}

}  // namespace straight_run_test

// Once both are decoded, a BL's first half runs the second from its own
// entry: a store rewriting the second half must still take effect, and a
// BL whose halves lie in two granules still calls. Each call adds to r4.
namespace straight_run_test {

TEST(CoreStraightRuns, ABlRewrittenAfterItsHalvesWerePaired)
{
    Board b(coretest::irq_counting_start() + R"(
        adr r0, 1f + 1; bx r0; .thumb
    1:  movs r4, #0
        movs r5, #3
        movs r6, #0
    site: bl call                   @ paired from the second time round
        subs r5, #1
        bne site
        cmp r6, #0
        bne 2f
        movs r6, #1
        ldr r1, =site + 2
        ldrh r2, [r1]
        adds r2, #2                 @ the second half now reaches `other`
        strh r2, [r1]
        movs r5, #2
        b site
    2:  bl across
        ldr r0, =0xFFF0FFF0
        str r0, [r0]
    call: adds r4, #1
        bx lr
    other: adds r4, #16
        bx lr
        .ltorg
        .balign 256
        .space 256 - 6
    across: push {lr}
        nop
        bl call                     @ its halves in two granules
        pop {pc}
    )");
    b.code_in_ram();
    ASSERT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(4), 3u + 2 * 16 + 1);
}

}  // namespace straight_run_test
