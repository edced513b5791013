// What the scenario steps see of the serial line: a bounded window with
// positions from the start of the run, and searches that resume.
#include <gtest/gtest.h>

#include "sim/machine/serial_capture.h"

namespace serial_capture_test {

namespace {

using sim::SerialCapture;

void send(SerialCapture &c, const std::string &text)
{
    for (char ch : text) c.append(ch);
}

TEST(SerialCapture, KeepsABoundedWindowAndFindsAcrossArrivals)
{
    SerialCapture c;
    SerialCapture::Search search("needle", 0);
    send(c, "hay nee");
    EXPECT_FALSE(search.next(c)) << "half the text has come";
    send(c, "dle and more");
    EXPECT_EQ(search.next(c), 10u) << "a match split between arrivals, its end's position";

    // Far more than is kept: memory stays bounded, positions keep counting.
    std::string chunk(1000, 'x');
    for (int i = 0; i < 3 * static_cast<int>(SerialCapture::kKept / 1000); ++i) send(c, chunk);
    EXPECT_GT(c.begin(), 0u);
    EXPECT_LE(c.end() - c.begin(), 2 * SerialCapture::kKept);
    uint64_t before = c.end();
    send(c, "needle");
    EXPECT_EQ(SerialCapture::Search("needle", 10).next(c), before + 6) << "searched from a position dropped since";

    std::string quoted = c.since(0, 10);
    EXPECT_NE(quoted.find(std::to_string(c.end()) + " characters, the last 10: \"xxxxneedle\""), std::string::npos) << quoted;
    EXPECT_EQ(c.since(c.end() - 3, 10), "\"dle\"");
}

}  // namespace

}  // namespace serial_capture_test
