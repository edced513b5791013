// Delay-loop fast-forward changes nothing but the host time: the same
// cycles, instruction counts, registers and memory at every run() return,
// with and without it, with interrupts arriving in the middle; and it
// leaves alone the loops that are not pure counting.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/core/core_harness.h"

namespace fast_forward_test {

using coretest::Board;
using coretest::irq_counting_program;
using coretest::kFirmwareDelays;

namespace {


struct Snapshot {
    uint64_t cycles, instructions;
    sim::Registers regs;
    bool operator==(const Snapshot &o) const
    {
        return cycles == o.cycles && instructions == o.instructions &&
               std::memcmp(&regs, &o.regs, sizeof regs) == 0;
    }
};

class Repeats : public sim::ExecutionObserver {
public:
    void executed(uint32_t pc, bool, uint32_t, bool, uint32_t cycles, uint32_t) override
    {
        ++executed_count;
        told_cycles += cycles;
        last_pc = pc;
    }
    void exception(sim::Exception, uint32_t, uint32_t) override {}
    void repeated(uint32_t first, uint32_t last, bool thumb, uint64_t iterations, uint64_t cycles) override
    {
        skipped += iterations;
        skipped_instructions += iterations * ((last - first) / (thumb ? 2 : 4) + 1);
        told_cycles += cycles;
        // The stretch carrying the cycles ends with the closing branch just told.
        if (cycles) {
            EXPECT_EQ(last, last_pc);
        }
    }
    void accessed(uint32_t, uint32_t, unsigned, bool, uint32_t) override {}
    uint64_t executed_count = 0, skipped = 0, skipped_instructions = 0, told_cycles = 0;
    uint32_t last_pc = 0;
};

struct Outcome {
    std::vector<Snapshot> stops;   // at every run() return
    std::vector<uint8_t> ram;
    uint64_t skipped = 0;
};

// Runs to the halt in slices of `slice` cycles, raising nIRQ at the cycles
// in `irqs`, as the simulator's run loop does at device events.
// Host code for a run from its `host_after`th start (0: none; -1: as the
// core has it by default).
Outcome run(const std::string &main, bool fast_forward, uint64_t slice, std::vector<uint64_t> irqs = {},
            bool observed = false, bool code_in_ram = false, int host_after = -1)
{
    Board b(irq_counting_program(main), 1, 1);
    if (code_in_ram) b.code_in_ram();
    b.core.set_fast_forward(fast_forward);
    if (host_after >= 0) b.core.set_host_code(host_after > 0, static_cast<unsigned>(host_after));
    Repeats repeats;
    if (observed) b.core.set_observer(&repeats);
    Outcome out;
    std::vector<bool> fired(irqs.size());
    for (int i = 0; i < 100000; ++i) {
        uint64_t limit = b.core.cycles() + slice;
        for (uint64_t at : irqs)
            if (at > b.core.cycles() && at < limit) limit = at;
        sim::Arm7tdmi::Stop stop = b.core.run(limit);
        out.stops.push_back({b.core.cycles(), b.core.instructions(), b.core.registers()});
        if (stop == sim::Arm7tdmi::Stop::Requested) break;
        for (size_t k = 0; k < irqs.size(); ++k) {
            if (!fired[k] && b.core.cycles() >= irqs[k]) {
                fired[k] = true;
                b.core.set_interrupt_lines(true, false);
            }
        }
    }
    EXPECT_EQ(b.core.exceptions_taken(sim::Exception::DataAbort), 0u) << "the program itself is wrong";
    out.ram = b.ram;
    out.skipped = repeats.skipped;
    if (observed) {
        EXPECT_EQ(repeats.executed_count + repeats.skipped_instructions, b.core.instructions())
            << "executed() and repeated() together tell every instruction";
        if (irqs.empty()) {
            EXPECT_EQ(repeats.told_cycles, b.core.cycles()) << "and every cycle";
        }
    }
    return out;
}

void expect_same(const Outcome &a, const Outcome &b)
{
    ASSERT_EQ(a.stops.size(), b.stops.size());
    for (size_t i = 0; i < a.stops.size(); ++i) {
        ASSERT_EQ(a.stops[i].cycles, b.stops[i].cycles) << "run() return " << i;
        ASSERT_EQ(a.stops[i].instructions, b.stops[i].instructions) << "run() return " << i;
        ASSERT_TRUE(a.stops[i] == b.stops[i]) << "registers at run() return " << i << "\n"
                                               << sim::format_registers(a.stops[i].regs) << "\n"
                                               << sim::format_registers(b.stops[i].regs);
    }
    EXPECT_TRUE(a.ram == b.ram);
}

const std::string kFirmwareMain = std::string(R"(
        ldr r0, =2000
        bl pauze
        bl lcd_e_delay
        ldr r0, =1500
        bl lcd_ms_delay
        movs r0, #0
        bl pauze
        b finish
    )") + kFirmwareDelays + "finish:\n";

// Calls pauze with each of `counts` in r0 and then runs `more_calls`
// (r4 points at the count), until a count of 0; `routines` go with the
// firmware's delay routines.
std::string calls_with_counts(const std::string &more_calls, const std::string &counts, const std::string &routines = "")
{
    return R"(
        ldr r4, =counts
    1:  ldr r0, [r4]
        cmp r0, #0
        beq finish
        bl pauze
    )" + more_calls + R"(
        adds r4, #4
        b 1b
        .align 2
    counts:
        .word )" + counts + ", 0\n" + routines + kFirmwareDelays + "finish:\n";
}

}  // namespace

TEST(CoreFastForward, FirmwareDelayLoopsGiveTheSameRunsWithAndWithout)
{
    for (uint64_t slice : {100000ull, 997ull, 64ull}) {
        SCOPED_TRACE("slice " + std::to_string(slice));
        Outcome fast = run(kFirmwareMain, true, slice), exact = run(kFirmwareMain, false, slice);
        expect_same(fast, exact);
        EXPECT_GT(exact.stops.back().instructions, 20000u);
    }
    // Interrupts arriving inside the loops.
    std::vector<uint64_t> irqs = {5003, 20011, 20400, 40009};
    Outcome fast = run(kFirmwareMain, true, 100000, irqs), exact = run(kFirmwareMain, false, 100000, irqs);
    expect_same(fast, exact);
    EXPECT_EQ(fast.ram[0], 4) << "every interrupt taken";
}

// The same routine called again and again, with the same count and with
// others, cut by run limits at different points of it each time: what one
// call learnt must not leak into the next.
TEST(CoreFastForward, ARoutineCalledAgainAndAgainWithSameAndOtherCounts)
{
    const std::string main = calls_with_counts("", "300, 300, 301, 300, 1, 300, 7000, 300, 300, 2");
    for (uint64_t slice : {1'000'000ull, 9001ull, 4999ull, 997ull, 61ull}) {
        SCOPED_TRACE("slice " + std::to_string(slice));
        Outcome fast = run(main, true, slice, {}, true), exact = run(main, false, slice);
        expect_same(fast, exact);
        if (slice == 1'000'000) {
            EXPECT_GT(fast.skipped, 9000u);
        }
    }
}

// A count met again after four others made it forgotten is found again
// without the search, and a run limit inside that call still cuts it.
TEST(CoreFastForward, ACountForgottenAndMetAgainStopsAtTheLimit)
{
    const std::string main = std::string(R"(
        ldr r4, =counts
    1:  ldr r0, [r4]
        cmp r0, #0
        beq finish
        bl pauze
        adds r4, #4
        b 1b
        .align 2
    counts:
        .word 500, 1, 2, 3, 4, 500, 5, 6, 7, 8, 500, 0
    )") + kFirmwareDelays + "finish:\n";
    // One limit in each run, by an interrupt, at points all through it.
    const uint64_t total = run(main, false, 1'000'000).stops.back().cycles;
    for (uint64_t at = 1000; at < total; at += 1500) {
        SCOPED_TRACE("interrupt at cycle " + std::to_string(at));
        expect_same(run(main, true, 1'000'000, {at}), run(main, false, 1'000'000, {at}));
    }
}

// Host code replays a skip at a loop's first instruction inside a run and
// then does the instruction itself, in Thumb and ARM code, where the run
// goes on after the skip and where a run limit or an interrupt cuts it.
TEST(CoreFastForward, HostCodeSkipsFromALoopsFirstInstructionAsTheInterpreterDoes)
{
    const std::string main = calls_with_counts(R"(
        ldr r0, [r4]
        ldr r1, =arm_pause
        bl call_r1
    )", "300, 300, 301, 300, 1, 300, 2000, 300, 300, 2, 300, 300, 300", R"(
    call_r1:
        bx r1
        .arm
    arm_pause:
        sub sp, sp, #8
        mov r3, #0
    2:  str r3, [sp, #4]
        ldr r3, [sp, #4]
        cmp r3, r0
        bcs 3f
        add r3, r3, #1
        b 2b
    3:  add sp, sp, #8
        bx lr
        .thumb
    )");
    const Outcome exact = run(main, false, 1'000'000, {}, false, false, 0);
    for (uint64_t slice : {1'000'000ull, 4999ull, 997ull}) {
        SCOPED_TRACE("slice " + std::to_string(slice));
        const Outcome fast = run(main, true, slice, {}, false, false, 1);
        expect_same(fast, run(main, false, slice, {}, false, false, 0));
        EXPECT_EQ(fast.stops.back().instructions, exact.stops.back().instructions);
    }
    const uint64_t total = exact.stops.back().cycles;
    for (uint64_t at = total / 2; at < total / 2 + 24; ++at) {
        SCOPED_TRACE("interrupt at cycle " + std::to_string(at));
        expect_same(run(main, true, 1'000'000, {at}, false, false, 1), run(main, false, 1'000'000, {at}, false, false, 0));
    }
}

// A later call of a measured loop skips from its first instruction. An
// interrupt due at any cycle around there, the exact ends of whole
// iterations included, must find the same state as without the skip.
TEST(CoreFastForward, InterruptAtEveryCycleAroundALaterCallOfTheLoop)
{
    const std::string main = std::string(R"(
        ldr r0, =40
        bl pauze
        ldr r0, =40
        bl pauze
        ldr r0, =40
        bl pauze
        b finish
    )") + kFirmwareDelays + "finish:\n";
    const uint64_t total = run(main, false, 1'000'000).stops.back().cycles;
    // The second call starts about a third of the way in and takes some
    // thousand cycles; any stretch of one iteration's cycles inside it
    // holds an end of whole iterations counted from its first instruction.
    for (uint64_t at = total / 3 + 200; at < total / 3 + 240; ++at) {
        SCOPED_TRACE("interrupt at cycle " + std::to_string(at));
        expect_same(run(main, true, 1'000'000, {at}), run(main, false, 1'000'000, {at}));
    }
}

TEST(CoreFastForward, SkipsAlmostAllOfTheFirmwareLoopsAndTellsTheObserver)
{
    Outcome seen = run(kFirmwareMain, true, 1'000'000, {}, true);
    // pauze(2000) and lcd_ms_delay(1500): all but a couple of iterations each.
    EXPECT_GT(seen.skipped, 3400u);
    expect_same(seen, run(kFirmwareMain, false, 1'000'000, {}, true));
}

TEST(CoreFastForward, CountersInRegistersAndArmLoops)
{
    const std::string main = R"(
        ldr r0, =3000
        movs r3, #0
    1:  adds r3, #1
        cmp r3, r0
        bne 1b
        ldr r2, =0x00200010
        ldr r0, =1234
        str r0, [r2]
        ldr r3, =3000
    2:  subs r3, r3, #1
        ldr r4, [r2]
        cmp r4, r3
        bne 2b
        adr r0, arm_part
        bx r0
        .arm
    arm_part:
        mov r5, #0x100000
    3:  subs r5, r5, #1
        bne 3b
        ldr r1, =0xFFF0FFF0
        str r1, [r1]
    )";
    Outcome fast = run(main, true, 5000, {}, true), exact = run(main, false, 5000);
    expect_same(fast, exact);
    EXPECT_GT(fast.skipped, 0x100000u);
}

// A later call from the same start writes what the last one wrote, but
// only while everything the loop reads, where its words are and its code
// are as they were: each program calls a routine with the same count again
// and again and changes one of those in between. Each loop leaves what the
// skip wrote where its last iteration does not write it again.
TEST(CoreFastForward, ARepeatedCallIsReplayedOnlyFromTheSameStart)
{
    struct Case {
        const char *what;
        std::string main;
        bool in_ram;
    };
    const std::string copy_delay = R"(
        b finish
    copy_delay:
        ldr r0, =300
        movs r3, #0
    1:  cmp r3, r0
        beq 2f
        adds r4, r5, #0
        adds r3, #1
        b 1b
    2:  bx lr
    finish:
        )";
    const Case cases[] = {
        {"a value the loop copies", R"(
        ldr r5, =111
        bl copy_delay
        bl copy_delay
        ldr r5, =222
        bl copy_delay
        )" + copy_delay, false},
        // More starts than a replay's set holds, the same but for the value
        // copied: a start must compare every input, not just the count.
        {"many values the loop copies", R"(
        movs r6, #8
    3:  adds r5, r6, #0
        bl copy_delay
        bl copy_delay
        subs r6, #1
        bne 3b
        )" + copy_delay, false},
        {"the stack the count lives on", std::string(R"(
        ldr r0, =300
        bl pauze
        ldr r0, =300
        bl pauze
        movs r0, #0
        sub sp, #4
        str r0, [sp]
        sub sp, #12
        ldr r0, =300
        bl pauze
        add sp, #16
        b finish
    )") + kFirmwareDelays + "finish:\n", false},
        {"three stack depths in turn", std::string(R"(
        movs r6, #3
    1:  ldr r0, =300
        bl pauze
        sub sp, #16
        ldr r0, =250
        bl pauze
        sub sp, #16
        ldr r0, =200
        bl pauze
        add sp, #32
        subs r6, #1
        bne 1b
        b finish
    )") + kFirmwareDelays + "finish:\n", false},
        {"the loop's own code", std::string(R"(
        bl lcd_e_delay
        bl lcd_e_delay
        ldr r1, =bound
        ldr r2, =0x2B02
        strh r2, [r1]
        bl lcd_e_delay
        bl lcd_e_delay
        b finish
    lcd_e_delay:
        movs r3, #0
        sub sp, #8
    1:  str r3, [sp, #4]
        ldr r3, [sp, #4]
    bound:
        cmp r3, #5
        bls 2f
        add sp, #8
        bx lr
    2:  nop
        ldr r3, [sp, #4]
        adds r3, #1
        b 1b
    finish:
    )"), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Outcome fast = run(c.main, true, 1'000'000, {}, false, c.in_ram);
        expect_same(fast, run(c.main, false, 1'000'000, {}, false, c.in_ram));
    }
}

// Loops that look like delay loops but are not pure counting.
TEST(CoreFastForward, LeavesOtherLoopsAlone)
{
    const std::string near_misses[] = {
        // The counter lives in a peripheral register.
        R"(
        ldr r1, =0xFFF00300
        movs r3, #0
        str r3, [r1]
        ldr r0, =500
    1:  ldr r3, [r1]
        adds r3, #1
        str r3, [r1]
        cmp r3, r0
        bne 1b
        )",
        // The counter's word is also written through another pointer.
        R"(
        sub sp, #8
        mov r5, sp
        adds r5, #4
        movs r3, #0
        ldr r0, =500
    1:  ldr r3, [sp, #4]
        adds r3, #1
        str r3, [sp, #4]
        str r3, [r5]
        cmp r3, r0
        bne 1b
        )",
        // Two things change each time round.
        R"(
        movs r3, #0
        movs r4, #0
        ldr r0, =500
    1:  adds r3, #1
        adds r4, #2
        cmp r3, r0
        bne 1b
        )",
        // The way out depends on a timer, not on the counter.
        R"(
        ldr r1, =0xFFF00100
        movs r3, #0
    1:  adds r3, #1
        ldr r2, [r1]
        cmp r2, #200
        bcc 1b
        )",
    };
    for (const std::string &main : near_misses) {
        SCOPED_TRACE(main);
        Outcome fast = run(main, true, 1000, {}, true), exact = run(main, false, 1000);
        expect_same(fast, exact);
        EXPECT_EQ(fast.skipped, 0u);
    }
}

}  // namespace fast_forward_test
