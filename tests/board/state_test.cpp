// A part's declared state: a restored part goes on exactly as the one it was
// saved from, reset gives the power-on state, and a stream of another layout
// or cut short is refused with a message naming what is wrong.
#include <gtest/gtest.h>

#include "board/board.h"
#include "board/state.h"

namespace state_test {

namespace {

using board::Board;
using board::StateReader;
using board::StateWriter;

constexpr uint32_t kPitMr = 0xFFFFFD30, kPitPivr = 0xFFFFFD38, kWdtMr = 0xFFFFFD44;

std::vector<uint8_t> save_pit(Board &b)
{
    StateWriter w;
    b.clock.save(w);
    b.pit.state().save(w);
    return w.take();
}

void restore_pit(Board &b, const std::vector<uint8_t> &data)
{
    StateReader r(data);
    b.clock.restore(r);
    b.pit.state().restore(r);
    b.clock.finish_restore();
    EXPECT_TRUE(r.at_end());
}

TEST(State, RestoredTimerGoesOnAsTheOriginalAndResetIsPowerOn)
{
    Board a, b, fresh;
    a.bus.write(kWdtMr, 1u << 15);   // only the timer's event is pending
    a.bus.write(kPitMr, (1u << 24) | (1u << 25) | 99);
    a.clock.advance_to(a.clock.cycles_to_picos(16 * 250 + 7));
    restore_pit(b, save_pit(a));
    for (int step = 0; step < 5; ++step) {
        a.clock.advance_cycles(16 * 37);
        b.clock.advance_cycles(16 * 37);
        EXPECT_EQ(a.pit.irq(), b.pit.irq()) << step;
        EXPECT_EQ(a.bus.read(kPitPivr), b.bus.read(kPitPivr)) << step;
    }
    EXPECT_EQ(a.clock.pending_events().size(), b.clock.pending_events().size());

    a.clock.reset();
    a.pit.reset();
    StateWriter after_reset, power_on;
    a.pit.state().save(after_reset);
    fresh.pit.state().save(power_on);
    EXPECT_EQ(after_reset.data(), power_on.data());
}

TEST(State, OtherLayoutsAndShortStreamsAreRefused)
{
    Board a, b;
    a.bus.write(kPitMr, (1u << 24) | (1u << 25) | 99);
    auto data = save_pit(a);
    for (size_t cut : {size_t{3}, data.size() / 2, data.size() - 1}) {
        std::vector<uint8_t> shorter(data.begin(), data.begin() + static_cast<long>(cut));
        EXPECT_THROW(restore_pit(b, shorter), board::SnapshotError) << cut;
    }
    StateWriter w;
    a.clock.save(w);
    a.pit.state().save(w);
    auto other = w.take();
    auto at = std::search(other.begin(), other.end(), std::begin("anchor_fs") , std::end("anchor_fs") - 1);
    ASSERT_NE(at, other.end());
    *at = 'X';
    try {
        restore_pit(b, other);
        FAIL() << "a renamed field was restored";
    } catch (const board::SnapshotError &e) {
        EXPECT_NE(std::string(e.what()).find("PIT: expected \"anchor_fs\""), std::string::npos) << e.what();
    }
}

}  // namespace

}  // namespace state_test
