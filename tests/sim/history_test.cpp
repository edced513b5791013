// Snapshots kept along a run of the image, and going back in it.
#include <gtest/gtest.h>

#include "sim/machine/history.h"
#include "sim/machine/session.h"

namespace history_test {

namespace {

using board::kPicosPerMs;

std::unique_ptr<sim::Session> open_image()
{
    sim::SessionOptions o;
    o.image = FIRMWARE_DIR "/program.elf";
    std::string error;
    auto s = sim::Session::open(o, error);
    EXPECT_TRUE(s) << error;
    return s;
}

sim::RunPoint point_of(sim::Session &s)
{
    return {s.machine.cycles(), s.machine.instructions(), 0, s.board.clock.now()};
}

TEST(Timeline, SharesUnchangedMemoryRestoresExactlyAndThinsAwayFromTheFocus)
{
    auto s = open_image();
    sim::Timeline timeline(size_t{1} << 30);
    std::vector<uint8_t> at_100ms;
    for (int ms = 10; ms <= 300; ms += 10) {
        s->machine.run_until(ms * kPicosPerMs);
        timeline.take(s->machine, point_of(*s));
        if (ms == 100) at_100ms = s->machine.save();
    }
    // A whole snapshot is the memories (RAM, both flashes: over 800 KiB);
    // the thirty together hold little more than one.
    EXPECT_EQ(timeline.count(), 30u);
    EXPECT_LT(timeline.bytes(), at_100ms.size() + 30 * (64u << 10));

    uint64_t end = s->machine.cycles();
    const sim::RunPoint mid = *timeline.latest_at(101 * kPicosPerMs);
    timeline.restore(s->machine, mid);
    EXPECT_EQ(s->machine.save(), at_100ms);

    // Thinned to a third of what the snapshots add to the memories: the
    // first and the last stay, and the snapshots are closer together near
    // the end than near the start.
    sim::Timeline small(at_100ms.size() + (timeline.bytes() - at_100ms.size()) / 3);
    s = open_image();
    for (int ms = 10; ms <= 300; ms += 10) {
        s->machine.run_until(ms * kPicosPerMs);
        small.take(s->machine, point_of(*s));
        small.fit(s->machine.cycles(), s->machine.cycles());
    }
    EXPECT_LE(small.bytes(), small.limit());
    std::vector<board::Picos> kept;
    for (const sim::RunPoint *k = small.latest(end); k; k = small.latest(k->cycle, true)) kept.insert(kept.begin(), k->time);
    ASSERT_EQ(kept.size(), small.count());
    ASSERT_GE(kept.size(), 3u);
    EXPECT_LT(kept.size(), 30u);
    EXPECT_LT(kept.front(), 20 * kPicosPerMs);
    EXPECT_GE(kept.back(), 300 * kPicosPerMs);
    EXPECT_GT(kept[1] - kept[0], kept.back() - kept[kept.size() - 2]);
}

TEST(History, GoingBackAndForwardGivesTheRecordedInputsAgainAndANewInputForks)
{
    auto s = open_image();
    sim::History history(*s, sim::HistoryOptions{10 * kPicosPerMs, size_t{256} << 20});
    history.run_until(400 * kPicosPerMs);
    s->press(0);
    history.run_until(430 * kPicosPerMs);
    s->release(0);
    history.run_until(600 * kPicosPerMs);
    const std::vector<uint8_t> end = s->machine.save();
    const size_t inputs = s->inputs().events().size();

    // Back before the key, then forward to the end: the same board.
    history.go_to(300 * kPicosPerMs);
    EXPECT_TRUE(history.in_past());
    EXPECT_FALSE(s->keys.pressed(0));
    history.run_to_end();
    EXPECT_FALSE(history.in_past());
    EXPECT_EQ(s->machine.save(), end);
    EXPECT_EQ(s->inputs().events().size(), inputs) << "inputs given again are not recorded again";

    // One step back from the end and one forward: the same board again.
    ASSERT_TRUE(history.step_back());
    history.step();
    EXPECT_EQ(s->machine.save(), end);

    // A key pressed in the past starts another future: the release that
    // was recorded after it is gone, the new press is the last input.
    history.go_to(410 * kPicosPerMs);
    s->press(1);
    EXPECT_FALSE(history.in_past());
    ASSERT_FALSE(s->inputs().events().empty());
    EXPECT_EQ(s->inputs().events().back().which, 1u);
    EXPECT_LT(s->inputs().events().size(), inputs + 1);
    history.run_until(600 * kPicosPerMs);
    EXPECT_NE(s->machine.save(), end);
}

}  // namespace

}  // namespace history_test
