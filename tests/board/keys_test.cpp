// The keys: a press pulls the line low, bounce repeats from its seed and
// always settles on the key's level.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "board/board.h"

namespace keys_test {

namespace {

TEST(Keys, PressPullsTheLineLowAndReleaseLeavesItToThePullup)
{
    board::Board b;
    board::Keys &keys = b.keys;
    EXPECT_TRUE(b.pa.level(6));
    keys.press(1);
    EXPECT_FALSE(b.pa.level(6));
    EXPECT_TRUE(b.pa.level(5));
    keys.release(1);
    EXPECT_TRUE(b.pa.level(6));
    EXPECT_EQ(board::Keys::find("KEY_CLR"), 2);
    EXPECT_FALSE(board::Keys::find("KEY_UP"));
}

std::string bounce_trace(uint64_t seed)
{
    board::Board b;
    board::Keys &keys = b.keys;
    keys.set_bounce(6, 2 * board::kPicosPerMs, seed);
    std::string trace;
    b.pa.add_listener([&](uint32_t changed, uint32_t levels) {
        if (changed & 0x20)
            trace += std::to_string(b.clock.now()) + (levels & 0x20 ? "H " : "L ");
    });
    for (int i = 0; i < 4; ++i) {
        keys.press(0);
        b.clock.advance_to(b.clock.now() + 10 * board::kPicosPerMs);
        EXPECT_FALSE(b.pa.level(5)) << "settles pressed";
        keys.release(0);
        b.clock.advance_to(b.clock.now() + 10 * board::kPicosPerMs);
        EXPECT_TRUE(b.pa.level(5)) << "settles released";
    }
    return trace;
}

TEST(Keys, BounceIsRepeatableAndSettles)
{
    std::string a = bounce_trace(7), b = bounce_trace(7), c = bounce_trace(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_GT(std::count(a.begin(), a.end(), 'L'), 4) << "some edges bounced";
}

}  // namespace

}  // namespace keys_test
