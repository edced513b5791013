// The core's saved state carries everything its future depends on: a core
// restored into a fresh board (RAM copied, decoded code not) at any run()
// boundary goes on exactly as the one that was not stopped, through delay
// loops it had measured (skipping where it would have), an interrupt
// raised and taken, and Thumb fetches through the flash's read buffers.
#include <gtest/gtest.h>

#include "board/state.h"
#include "tests/core/core_harness.h"

namespace snapshot_test {

using coretest::Board;

namespace {

// Delay routines called again and again (measured once, then skipped), an
// IRQ raised by a store and taken mid-loop, and the flash at one wait state
// with its read buffers.
const std::string kProgram = coretest::irq_counting_program(R"(
        movs r5, #20
    again:
        ldr r0, =3000
        bl pauze
        bl lcd_e_delay
        ldr r1, =0xFFF00300
        str r1, [r1]                @ nIRQ asserted: taken in the next pause
        subs r5, #1
        bne again
)") + coretest::kFirmwareDelays;

struct Told : sim::ExecutionObserver {
    void executed(uint32_t, bool, uint32_t, bool, uint32_t, uint32_t) override { ++executed_count; }
    void exception(sim::Exception, uint32_t, uint32_t) override {}
    void repeated(uint32_t, uint32_t, bool, uint64_t n, uint64_t) override { skipped += n; }
    void accessed(uint32_t, uint32_t, unsigned, bool, uint32_t) override {}
    uint64_t executed_count = 0, skipped = 0;
};

struct Stop {
    uint64_t cycles, instructions;
    sim::Registers regs;
    uint64_t executed, skipped;   // told by the observer so far
    bool operator==(const Stop &o) const
    {
        return cycles == o.cycles && instructions == o.instructions && std::memcmp(&regs, &o.regs, sizeof regs) == 0;
    }
};

struct Outcome {
    std::vector<Stop> stops;
    std::vector<uint8_t> ram;
    Told told;   // from the cut on
    std::vector<std::vector<uint8_t>> saved;   // the core's state at every stop, when asked for
};

std::unique_ptr<Board> make_board(const std::string &program, bool observed, Told &told)
{
    auto b = std::make_unique<Board>(program, 1, 1);
    b->bus.raise_irq_at = 0xFFF00300;
    if (observed) b->core.set_observer(&told);
    return b;
}

// In slices (of 700 cycles unless told) to the halt; at slice `cut` the core and RAM are
// saved and the run goes on in a fresh board restored from them.
Outcome run(bool observed, int cut, const std::string &program = kProgram, uint64_t slice_cycles = 700,
            bool save_states = false)
{
    Outcome out;
    Told before;
    auto b = make_board(program, observed, cut < 0 ? out.told : before);
    for (int slice = 0; slice < 200000; ++slice) {
        if (slice == cut) {
            board::StateWriter w;
            b->core.state().save(w);
            auto next = make_board(program, observed, out.told);
            next->ram = b->ram;
            next->bus.io = b->bus.io;
            board::StateReader r(w.data());
            next->core.state().restore(r);
            EXPECT_TRUE(r.at_end());
            b = std::move(next);
        }
        auto stop = b->core.run(b->core.cycles() + slice_cycles);
        out.stops.push_back({b->core.cycles(), b->core.instructions(), b->core.registers(), out.told.executed_count,
                             out.told.skipped});
        if (save_states) {
            board::StateWriter w;
            b->core.state().save(w);
            out.saved.push_back(w.take());
        }
        if (stop == sim::Arm7tdmi::Stop::Requested) break;
    }
    out.ram = b->ram;
    return out;
}

TEST(CoreSnapshot, RestoredCoreGoesOnAsTheUninterruptedOne)
{
    for (bool observed : {false, true}) {
        Outcome whole = run(observed, -1);
        ASSERT_GT(whole.stops.size(), 40u);
        EXPECT_EQ(whole.ram[0], 20) << "every interrupt was taken";
        if (observed) {
            EXPECT_GT(whole.told.skipped, 0u) << "delay loops were skipped";
        }
        for (int cut : {1, 3, 8, 21, 34}) {
            SCOPED_TRACE("observed " + std::to_string(observed) + ", cut at slice " + std::to_string(cut));
            Outcome restored = run(observed, cut);
            ASSERT_EQ(restored.stops.size(), whole.stops.size());
            for (size_t i = 0; i < whole.stops.size(); ++i) ASSERT_EQ(restored.stops[i], whole.stops[i]) << "stop " << i;
            EXPECT_EQ(restored.ram, whole.ram);
            // Loops measured before the cut skip after it as they would
            // have: the same instructions told one by one, the same skipped.
            const Stop &at_cut = whole.stops[cut - 1], &end = whole.stops.back();
            EXPECT_EQ(restored.told.executed_count, end.executed - at_cut.executed);
            EXPECT_EQ(restored.told.skipped, end.skipped - at_cut.skipped);
        }
    }
}

// What a loop remembers of its leaving iterations is state; the replays
// of whole skips made to those answers are not, and a restore starts
// without them. A routine called with more counts than a loop keeps answers
// for, in slices that cut its calls anywhere: from the cut on, the restored
// core saves what the uninterrupted one saves, byte for byte.
TEST(CoreSnapshot, SavedLoopsDoNotDependOnWhatWasReplayed)
{
    const std::string program = coretest::irq_counting_program(std::string(R"(
        movs r5, #12
    again:
        ldr r4, =counts
    1:  ldr r0, [r4]
        cmp r0, #0
        beq 2f
        bl pauze
        adds r4, #4
        b 1b
    2:  subs r5, #1
        bne again
        b finish
        .align 2
    counts:
        .word 10, 11, 12, 13, 14, 10, 11, 12, 0
    )") + coretest::kFirmwareDelays + "finish:\n");
    const Outcome whole = run(false, -1, program, 997, true);
    ASSERT_GT(whole.stops.size(), 20u);
    for (int cut : {2, 5, 9, 14}) {
        SCOPED_TRACE("cut at slice " + std::to_string(cut));
        const Outcome restored = run(false, cut, program, 997, true);
        ASSERT_EQ(restored.saved.size(), whole.saved.size());
        for (size_t i = cut; i < whole.saved.size(); ++i) ASSERT_EQ(restored.saved[i], whole.saved[i]) << "stop " << i;
    }
}

}  // namespace

}  // namespace snapshot_test
