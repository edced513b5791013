// The port's nets alone: whatever way a change of a driver takes (a source
// changing only its levels, another source's turn, the pull-ups, levels
// forced at power-on), every line ends where its drivers and pull-up put it,
// and the controller hears exactly the lines that moved.
#include <gtest/gtest.h>

#include <iterator>

#include "board/pins.h"

namespace pins_test {

namespace {

struct Heard : board::LineController {
    uint32_t changed = 0;
    void lines_changed(uint32_t c, uint32_t) override { changed |= c; }
};

// The levels by the rule: low wins a fight, a driven line is at its
// driver's level, an undriven one at its pull-up or where it was.
struct Reference {
    uint32_t driven[2] = {0, 0}, levels[2] = {0, 0}, pullups = 0, lines = 0, fight = 0;
    void resolve()
    {
        uint32_t any = driven[0] | driven[1];
        uint32_t high = (driven[0] & levels[0]) | (driven[1] & levels[1]);
        uint32_t low = (driven[0] & ~levels[0]) | (driven[1] & ~levels[1]);
        fight = high & low;
        lines = (high & ~low) | (~any & pullups) | (~any & ~pullups & lines);
    }
};

TEST(Pins, EveryWayOfChangingADriverEndsWithTheLinesTheRuleGives)
{
    board::Clock clock;
    board::Log log{clock};
    board::Pins pins{log, "PA"};
    Heard heard;
    pins.set_controller(&heard);
    const board::Pins::SourceId a = pins.add_source("a"), b = pins.add_source("b");
    enum Kind { Drive, Levels, Pullups, ForceLevels };
    struct Op {
        Kind kind;
        int source;
        uint32_t mask, driven, levels;
    };
    const Op ops[] = {
        {Drive, a, 0xFFFFFFFF, 0x0F, 0x05},
        {Levels, a, 0x0F, 0, 0x0A},     // lines only a drives
        {Levels, a, 0x0F, 0, 0x0A},     // nothing moves
        {Drive, b, 0x30, 0x30, 0x30},   // the other source's turn
        {Levels, a, 0x0F, 0, 0x05},
        {Levels, a, 0x0F, 0, 0x0A},
        {Drive, b, 0x03, 0x03, 0x03},   // b on two of a's lines: a fight on line 0
        {Levels, a, 0x0F, 0, 0x05},     // the fight moves to line 1, line 0 goes high
        {Levels, a, 0x30, 0, 0x30},     // lines a does not drive: nothing
        {ForceLevels, 0, 0, 0, 0},      // power-on: every line low until resolved
        {Levels, a, 0x0F, 0, 0x0D},     // one line of a's moves, every driven one comes back
        {Pullups, 0, 0xC0, 0, 0},
        {Drive, b, 0x33, 0, 0},         // b lets go: its lines hold their levels
        {Levels, a, 0x0F, 0, 0x03},
        {Drive, a, 0x0C, 0, 0},
        {Levels, a, 0x0F, 0, 0x0F},
    };
    Reference ref;
    size_t fights = 0;
    for (size_t i = 0; i < std::size(ops); ++i) {
        const Op &op = ops[i];
        const uint32_t before = pins.levels();
        const uint32_t fight_before = ref.fight;
        heard.changed = 0;
        switch (op.kind) {
        case Drive:
            pins.drive(op.source, op.mask, op.driven, op.levels);
            ref.driven[op.source] = (ref.driven[op.source] & ~op.mask) | (op.driven & op.mask);
            ref.levels[op.source] = (ref.levels[op.source] & ~op.mask) | (op.levels & op.driven & op.mask);
            break;
        case Levels:
            pins.drive_levels(op.source, op.mask, op.levels);
            ref.levels[op.source] = (ref.levels[op.source] & ~(op.mask & ref.driven[op.source])) |
                                    (op.levels & op.mask & ref.driven[op.source]);
            break;
        case Pullups:
            pins.set_pullups(op.mask);
            ref.pullups = op.mask;
            break;
        case ForceLevels:
            pins.reset_levels(0);
            ref.lines = 0;
            continue;
        }
        ref.resolve();
        fights += (ref.fight & ~fight_before) != 0;
        EXPECT_EQ(pins.levels(), ref.lines) << "op " << i;
        EXPECT_EQ(heard.changed, before ^ pins.levels()) << "op " << i;
        EXPECT_EQ(pins.driven_by(op.source), ref.driven[op.source]) << "op " << i;
        EXPECT_EQ(log.count_from("PA"), fights) << "op " << i << ": each new fight logged once";
    }
    EXPECT_EQ(fights, 2u);
    pins.set_controller(nullptr);
}

}  // namespace

}  // namespace pins_test
