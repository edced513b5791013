// The firmware's main loop compiled for the host and run against the board
// models for its first passes. The loop never returns: a bus observer stops
// it by throwing once the sixth LED burst is under way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board.h"
#include "board/host_port.h"
#include "firmware/main.h"

int firmware_main(void);

namespace status_loop_test {

namespace {

constexpr uint32_t PIO_ODSR = 0xFFFFF438;
constexpr uint32_t LED = 1u << 16;
// A burst writes only PIO_ODSR; the display driver's ODSR writes come a few at a time.
constexpr size_t kInBurst = 1000;

struct Stop {};

struct Burst {
    size_t writes = 0;
    uint32_t last = 0;
};

std::string padded(const std::string &s) { return s + std::string(20 - s.size(), ' '); }

TEST(StatusLoop, FirstPassesShowTheCounterHeartPinsAndAdvancingFlashBytes)
{
    board::Board b;
    board::HostPort port{b.bus};
    b.flash.preload(0, {0x00, 0x5A, 0xC3});
    demo_bukle = 0x2A;

    std::vector<Burst> bursts;
    std::vector<std::vector<std::string>> screens;   // as each burst gets going
    Burst run;
    b.bus.add_observer([&](const board::Access &a) {
        if (a.write && a.address == PIO_ODSR) {
            ++run.writes;
            run.last = a.value;
            if (run.writes == kInBurst) {
                screens.push_back({b.lcd.row(0), b.lcd.row(1), b.lcd.row(2), b.lcd.row(3)});
                if (screens.size() == 2)
                    demo_bukle = -1;   // a key event during the second pass's burst
                if (screens.size() == 6)
                    throw Stop{};
            }
            return;
        }
        if (run.writes >= kInBurst)
            bursts.push_back(run);
        run = Burst{};
    });
    EXPECT_THROW(firmware_main(), Stop);

    ASSERT_EQ(screens.size(), 6u);
    EXPECT_EQ(screens[0][0], padded("ARM direct SPI"));
    EXPECT_EQ(screens[0][1], padded(""));

    // Pass 1: j = 1, the small heart, flash address 1.
    EXPECT_EQ(screens[1][0], padded("ARM direct SPI \x02"));
    EXPECT_EQ(screens[1][1], padded("STATUS:0000002A"));
    EXPECT_EQ(screens[1][2], padded("ADR:01=5A"));
    const std::string info = screens[1][3];
    EXPECT_EQ(info.substr(0, 5), "INFO:");
    EXPECT_EQ(info.find_first_not_of("0123456789ABCDEF", 5), 13u) << info;
    EXPECT_EQ(info.substr(13), padded(".").substr(0, 7));

    // Pass 2: the counter read once at its start, the next flash address.
    EXPECT_EQ(screens[2][1], padded("STATUS:FFFFFFFF"));
    EXPECT_EQ(screens[2][2], padded("ADR:02=C3"));

    // The heart grows for the passes where bit 2 of j is set.
    EXPECT_EQ(screens[3][0], padded("ARM direct SPI \x02"));
    EXPECT_EQ(screens[4][0], padded("ARM direct SPI \x01"));
    EXPECT_EQ(screens[5][2], padded("ADR:05=FF")) << "erased flash reads 0xFF";

    ASSERT_EQ(bursts.size(), 5u);
    for (const Burst &burst : bursts) {
        EXPECT_EQ(burst.writes, 2u * 30001u) << "LED high and low, 30,001 times";
        EXPECT_EQ(burst.last & LED, 0u) << "the burst ends with the LED low";
    }
    for (const auto &e : b.log.entries())
        ADD_FAILURE() << "a model reported: " << e.source << ": " << e.message;
}

}  // namespace

}  // namespace status_loop_test
