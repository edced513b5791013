// Cycles, hand-counted from the ARM7TDMI's S/N/I table, with code in
// memory of 2 wait states for a non-sequential and 1 for a sequential access
// (a fetch costs N = 3, S = 2 cycles there), data in zero-wait RAM (1 cycle)
// and a peripheral with its own wait states; and the cycle each peripheral
// access is made at.
#include <gtest/gtest.h>

#include <utility>

#include "board/state.h"
#include "tests/core/core_harness.h"

namespace timing_test {

using coretest::Board;

namespace {

constexpr uint8_t kWaitN = 2, kWaitS = 1;

// Steps to `from`, then one instruction at a time to `to`, returning the
// cycles of each.
std::vector<uint64_t> cycles_between(Board &b, const std::string &from, const std::string &to)
{
    b.run_to(from);
    std::vector<uint64_t> each;
    for (int i = 0; i < 64 && b.core.pc() != b.at(to); ++i) {
        uint64_t before = b.core.cycles();
        b.core.step();
        each.push_back(b.core.cycles() - before);
    }
    return each;
}

const char *kSetup = R"(
        ldr r4, =0x00200100
        ldr r5, =0xFFF00000
        mov r1, #1
        mov r2, #0x100
        mov r3, #0
        adr r6, target
        str r6, [r4, #16]
)";

// A stack, then Thumb code from the label `from`.
const std::string kThumbFromHere = R"(
        ldr sp, =0x00210000
        adr r0, from + 1
        bx r0
        .thumb
)";

}  // namespace

TEST(CoreTiming, ArmInstructionsFromWaitStateMemory)
{
    Board b(std::string(kSetup) + R"(
    from:
        mov r0, #1                  @ 1S                 2
        add r0, r0, r1, lsl r2      @ 1S+1I              3
        ldr r3, [r4]                @ 1S+1N+1I           2+1+1
        str r3, [r4]                @ 2N                 3+1
        ldmia r4, {r0-r2}           @ 3S+1N+1I           2+1+1+1+1
        stmia r4, {r0-r2}           @ 2S+2N              3+1+1+1
        mov r2, #0x100
        mul r0, r1, r2              @ 1S+2I (m = 2)      2+2
        mov r2, #0x80000000
        mul r0, r1, r2              @ 1S+4I              2+4
        mvn r2, #0
        mul r0, r1, r2              @ 1S+1I (all ones)   2+1
        umull r0, r3, r1, r2        @ 1S+5I (unsigned)   2+5
        smlal r0, r3, r1, r2        @ 1S+3I              2+3
        swp r0, r1, [r4]            @ 1S+2N+1I           2+1+1+1
        movs r0, #0
        movne r0, #1                @ not executed: 1S   2
        b 1f                        @ 2S+1N              2+3+2
    1:  ldr pc, [r4, #16]           @ 2S+2N+1I           2+1+1+3+2
    target:
        add pc, pc, #0              @ 2S+1N              2+3+2
        nop
    to:
    )",
            kWaitN, kWaitS);
    std::vector<uint64_t> expected = {2, 3, 4, 4, 6, 6, 2, 4, 2, 6, 2, 3, 7, 5, 5, 2, 2, 7, 9, 7};
    EXPECT_EQ(cycles_between(b, "from", "to"), expected);
}

TEST(CoreTiming, DebugChannelTransfers)
{
    Board b(std::string(kSetup) + R"(
    from:
        mrc p14, 0, r0, c0, c0      @ 1S+1I+1C           2+1+1
        mcr p14, 0, r0, c1, c0      @ 1N+1C              3+1
        mrc p14, 0, r15, c0, c0     @ 1S+1I+1C           2+1+1
        movs r0, #0
        mrcne p14, 0, r0, c1, c0    @ not executed: 1S   2
    target:
    to:
    )",
            kWaitN, kWaitS);
    std::vector<uint64_t> expected = {4, 4, 4, 2, 2};
    EXPECT_EQ(cycles_between(b, "from", "to"), expected);
}

TEST(CoreTiming, ThumbFetchesGoThroughTheReadBuffers)
{
    // A read of the memory takes 3 cycles (2 wait states). The word held
    // costs 1; fetching a word's second half starts reading the next word,
    // whose fetch then costs what is left of that read (at least 1); a data
    // read takes the buffers.
    const std::string program = kThumbFromHere + R"(
        .balign 4
    from:
        movs r0, #1                 @ read ahead by the refill: 2 of 3 left  2
        movs r0, #2                 @ held; starts the next read             1
        movs r0, #3                 @ what is left of it                     2
        b 1f                        @ held, held target, held                1+1+1
        .balign 4
    1:  b 2f                        @ read ahead, done; target held; next    1+1+2
        nop
        .balign 4
        nop
    2:  ldr r1, =0x00200000         @ held + literal read (3) + 1I           1+3+1
        ldr r2, [r1]                @ buffers taken: whole read + RAM + 1I   3+1+1
        str r2, [r1]                @ held, starts the next read; RAM        1+1
        bl 3f                       @ read ahead; then held, held, held      1, 1+1+1
        .balign 4
    3:  push {r0-r2, lr}            @ read ahead, done; four RAM stores      1+4
        pop {r0-r2}                 @ held; three RAM loads, 1I              1+3+1
    to:
        .ltorg
    )";
    Board b(program, kWaitN, kWaitS);
    std::vector<uint64_t> expected = {2, 1, 2, 3, 4, 5, 5, 2, 1, 3, 5, 5};
    EXPECT_EQ(cycles_between(b, "from", "to"), expected);

    // Without the buffers every fetch pays.
    Board narrow(program, kWaitN, kWaitS);
    narrow.map(kWaitN, kWaitS, false);
    std::vector<uint64_t> each = cycles_between(narrow, "from", "to");
    ASSERT_EQ(each.size(), 12u);
    EXPECT_EQ(each[1], 2u);
    EXPECT_EQ(each[3], 7u);
}

TEST(CoreTiming, ReadBuffersAcrossWhatElseTouchesThem)
{
    // Each body starts at `from`, reached by a branch: the word of `from`
    // held, the next one being read ahead (2 of its 3 cycles left). At `cut`
    // the wait states change or the core goes on restored from a snapshot.
    // r3 calls a `mov pc, lr` in RAM, r6 points into the flash.
    enum class Cut { None, WaitStates, Snapshot };
    const struct {
        const char *body;
        Cut cut;
        std::vector<uint64_t> expected;
    } cases[] = {
        {R"(
            bx r3                   @ read ahead (2 left); RAM refill          2+2
            b .                     @ (the RAM code: 1; return held, read ahead: 1+2)
            b .
            ldr r2, [r6]            @ held; a data read (3) takes them; 1I    1+3+1
            movs r0, #1             @ whole read                              3
            movs r0, #2             @ held; starts the next read              1
            movs r0, #3             @ what is left of it                      2
        )", Cut::None, {4, 4, 5, 3, 1, 2}},
        {R"(
            movs r0, #1             @ read ahead (2 left)                     2
        cut:
            movs r0, #2             @ whole read at 1 wait state              2
            movs r0, #3             @ read ahead, 2 cycles after its start     2
            movs r0, #4             @ held                                    1
            movs r0, #5             @ read ahead, done                        1
        )", Cut::WaitStates, {2, 2, 2, 1, 1}},
        {R"(
            movs r0, #1             @ read ahead (2 left)                     2
            movs r0, #2             @ held; starts the next read              1
        cut:
            movs r0, #3             @ what is left of it                      2
            movs r0, #4             @ held                                    1
        )", Cut::Snapshot, {2, 1, 2, 1}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.body);
        const std::string program = std::string(R"(
            adr r0, setup + 1
            bx r0
            .thumb
        setup:
            ldr r3, =0x00200001
            subs r1, r3, #1
            ldr r2, =0x46F7             @ mov pc, lr
            strh r2, [r1]
            ldr r4, =from + 6
            mov lr, r4
            ldr r6, =0x100
            .balign 4
            b from                      @ its fetch of `from`, then the refill
            .balign 4
        from:
        )") + k.body + "to: b .\n .ltorg\n";
        auto b = std::make_unique<Board>(program, kWaitN, kWaitS);
        b->run_to("from");
        const uint32_t cut = k.cut == Cut::None ? 0xFFFFFFFF : b->at("cut");
        std::vector<uint64_t> each;
        for (int i = 0; i < 16 && b->core.pc() != b->at("to"); ++i) {
            if (b->core.pc() == cut && k.cut == Cut::WaitStates) b->map(1, 1);
            if (b->core.pc() == cut && k.cut == Cut::Snapshot) {
                board::StateWriter w;
                b->core.state().save(w);
                auto restored = std::make_unique<Board>(program, kWaitN, kWaitS);
                board::StateReader r(w.data());
                restored->core.state().restore(r);
                b = std::move(restored);
            }
            const uint64_t before = b->core.cycles();
            b->core.step();
            each.push_back(b->core.cycles() - before);
        }
        EXPECT_EQ(each, k.expected);
    }
}

TEST(CoreTiming, PeripheralAccessesHappenAtTheirOwnCycle)
{
    Board b(std::string(kSetup) + R"(
    from:
        str r1, [r5]                @ fetch N (3), then the store
        str r2, [r5, #4]            @ fetch N (3), then the store
        ldr r0, [r5, #4]            @ fetch S (2), then the load, 1I
        ldmia r5, {r0, r1}          @ fetch S (2), then two loads
    to:
    target:
    )",
            kWaitN, kWaitS);
    b.bus.io_wait = 4;
    b.run_to("from");
    const uint64_t start = b.core.cycles();
    for (int i = 0; i < 10 && b.core.pc() != b.at("to"); ++i) b.core.step();
    ASSERT_EQ(b.bus.log.size(), 5u);
    // Each peripheral access costs 1 + 4 cycles.
    EXPECT_EQ(b.bus.log[0].cycle, start + 3);
    EXPECT_EQ(b.bus.log[1].cycle, start + 3 + 5 + 3);
    EXPECT_EQ(b.bus.log[2].cycle, start + 3 + 5 + 3 + 5 + 2);
    EXPECT_EQ(b.bus.log[3].cycle, start + 3 + 5 + 3 + 5 + 2 + 5 + 1 + 2);
    EXPECT_EQ(b.bus.log[4].cycle, b.bus.log[3].cycle + 5);
    EXPECT_EQ(b.core.cycles(), b.bus.log[4].cycle + 5 + 1);
}

TEST(CoreTiming, InterruptEntryAndTheBoundaryItIsTakenAt)
{
    // A store that raises nIRQ is followed by the entry at once: the next
    // instruction runs only after the handler.
    Board b(R"(
        b reset
        .rept 5
        b .
        .endr
        b irq
        b .
    irq:
        mov r7, lr                  @ the link: the next instruction + 4
        mov r8, r6                  @ r6 as the handler found it
        ldr r12, =0xFFF00200
        str r12, [r12]
        subs pc, lr, #4
    reset:
        msr cpsr_c, #0x53           @ SVC, IRQ enabled
        ldr r5, =0xFFF00204
        mov r6, #0
    raise:
        str r5, [r5]
    next:
        mov r6, #1
        ldr r1, =0xFFF0FFF0
        str r1, [r1]
        .ltorg
    )",
            kWaitN, kWaitS);
    b.bus.raise_irq_at = 0xFFF00204;
    b.run_to("raise");
    b.core.step();
    ASSERT_EQ(b.core.pc(), b.at("next"));
    EXPECT_EQ(b.core.cpsr() & 0x1F, 0x13u) << "nothing taken inside the store";
    const uint64_t before = b.core.cycles();
    b.core.step();   // the entry
    EXPECT_EQ(b.core.cycles() - before, 7u) << "2S+1N: S in the interrupted code, N and S at the vector";
    EXPECT_EQ(b.core.cpsr() & 0x1F, 0x12u);
    EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    EXPECT_EQ(b.core.reg(7), b.at("next") + 4);
    EXPECT_EQ(b.core.reg(8), 0u);
    EXPECT_EQ(b.core.reg(6), 1u);
}

// A run ends at the first instruction boundary at or past its cycle limit,
// where an interrupt due by then is taken: between the two halves of a BL
// too, which otherwise run back to back once decoded, and after a
// peripheral access in the middle of straight code, which the run goes on
// past only while it costs no more than a memory cycle can. Every limit
// across a few calls stops where stepping reaches it, in memory with and
// without wait states.
TEST(CoreTiming, ARunStopsWhereStepsReachItsLimitAlsoInsideABl)
{
    const std::string program = kThumbFromHere + R"(
    from:
        ldr r6, =0xFFF00100
        movs r5, #3
    1:  bl 2f
        subs r5, #1
        bne 1b
    to: b to
        .thumb_func
    2:  ldr r1, [r6]
        adds r0, #1
        str r1, [r6, #4]
        adds r0, #1
        bx lr
        .ltorg
    )";
    for (auto [wait, io_wait] : {std::pair<uint8_t, unsigned>{0, 0}, {2, 0}, {2, 200}}) {
        SCOPED_TRACE(testing::Message() << "wait states " << int(wait) << ", peripheral " << io_wait);
        struct Boundary {
            uint64_t cycles, instructions;
            uint32_t pc;
        };
        Board stepped(program, wait, wait);
        stepped.bus.io_wait = io_wait;
        stepped.run_to("from");
        const uint64_t start = stepped.core.cycles(), counted = stepped.core.instructions();
        std::vector<Boundary> boundaries;
        while (stepped.core.pc() != stepped.at("to")) {
            stepped.core.step();
            boundaries.push_back({stepped.core.cycles() - start, stepped.core.instructions() - counted, stepped.core.pc()});
        }
        ASSERT_EQ(boundaries.size(), 29u);
        for (uint64_t limit = 1; limit <= boundaries.back().cycles; ++limit) {
            Board ran(program, wait, wait);
            ran.bus.io_wait = io_wait;
            ran.run_to("from");
            ran.core.run(ran.core.cycles() + limit);
            const Boundary &want = *std::find_if(boundaries.begin(), boundaries.end(),
                                                 [&](const Boundary &b) { return b.cycles >= limit; });
            EXPECT_EQ(ran.core.pc(), want.pc) << "limit " << limit;
            EXPECT_EQ(ran.core.cycles() - start, want.cycles) << "limit " << limit;
            EXPECT_EQ(ran.core.instructions() - counted, want.instructions) << "limit " << limit;
        }
    }
}

}  // namespace timing_test
