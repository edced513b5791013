// The virtual clock's event queue: order, cancelling and time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/board.h"
#include "board/clock.h"

namespace clock_test {

namespace {

using board::Clock;

TEST(ClockTest, EventsFireInTimeOrderAndSameTimeInScheduleOrder)
{
    Clock c;
    std::string order;
    c.schedule_at(300, [&] { order += 'c'; });
    c.schedule_at(100, [&] { order += 'a'; });
    c.schedule_at(200, [&] { order += 'b'; });
    c.schedule_at(200, [&] { order += 'B'; });
    c.schedule_at(100, [&] {
        order += 'A';
        // Scheduled from an action, for now: after everything already due now.
        c.schedule_in(0, [&] { order += '!'; });
    });
    c.advance_to(250);
    EXPECT_EQ(order, "aA!bB");
    EXPECT_EQ(c.now(), 250u);
    ASSERT_TRUE(c.next_event());
    EXPECT_EQ(*c.next_event(), 300u);
    c.advance_to(1000);
    EXPECT_EQ(order, "aA!bBc");
    EXPECT_FALSE(c.next_event());
}

TEST(ClockTest, EachActionSeesItsOwnTime)
{
    Clock c;
    std::vector<board::Picos> seen;
    for (board::Picos t : {50u, 10u, 30u})
        c.schedule_at(t, [&] { seen.push_back(c.now()); });
    c.advance_to(100);
    EXPECT_EQ(seen, (std::vector<board::Picos>{10, 30, 50}));
}

TEST(ClockTest, CancelledEventsNeverFireAndIdsAreNotReused)
{
    Clock c;
    int fired = 0;
    auto first = c.schedule_at(100, [&] { fired += 1; });
    auto second = c.schedule_at(200, [&] { fired += 10; });
    EXPECT_TRUE(c.pending(first));
    c.cancel(first);
    EXPECT_FALSE(c.pending(first));
    ASSERT_TRUE(c.next_event());
    EXPECT_EQ(*c.next_event(), 200u) << "a cancelled head is not the next event";
    // Its slot is reused; the old id must not reach the new event.
    auto third = c.schedule_at(150, [&] { fired += 100; });
    EXPECT_NE(third, first);
    c.cancel(first);
    c.cancel(0);
    EXPECT_TRUE(c.pending(third));
    c.advance_to(1000);
    EXPECT_EQ(fired, 110);
    EXPECT_FALSE(c.pending(second));
    c.cancel(second);   // fired already: nothing happens
    EXPECT_FALSE(c.next_event());
}

TEST(ClockTest, ATimeoutReArmedForEverKeepsTheQueueSmall)
{
    // A watchdog restarted in a loop: cancel and schedule far ahead, again
    // and again. The queue must stay as short as what is live.
    Clock c;
    int fired = 0;
    Clock::EventId timeout = 0;
    for (int i = 0; i < 100000; ++i) {
        c.cancel(timeout);
        timeout = c.schedule_in(1'000'000'000, [&] { ++fired; });
        c.advance_to(c.now() + 10);
        ASSERT_LE(c.queue_size(), 100u) << i;
    }
    EXPECT_EQ(fired, 0);
    c.advance_to(c.now() + 1'000'000'000);
    EXPECT_EQ(fired, 1) << "only the last one was live";
    EXPECT_FALSE(c.next_event());
}

TEST(ClockTest, CyclesAddUpToExactTimeAtAnyRate)
{
    Clock c;
    c.set_master_period_fs(20'833'333);   // 48 MHz, rounded to the femtosecond
    for (int i = 0; i < 48'000'000 / 4; ++i)
        c.advance_cycles(4);
    EXPECT_EQ(c.cycles(), 48'000'000u);
    // 48e6 x 20833333 fs = 999999984000000 fs: the remainders carry over.
    EXPECT_EQ(c.now(), 999'999'984'000u);
    // One step large enough that the femtoseconds leave 64 bits.
    Clock slow;
    uint64_t n = (~uint64_t{0} / board::kSlowClockPeriodFs) + 5;
    slow.advance_cycles(n);
    EXPECT_EQ(slow.now(), static_cast<board::Picos>(static_cast<unsigned __int128>(n) * board::kSlowClockPeriodFs / 1000));
    EXPECT_EQ(slow.cycles_to_picos(n), slow.now());
}

TEST(ClockTest, CyclesUntilATimeDoNotDependOnWhereTheClockStopped)
{
    // One second is exactly 32768 slow-clock cycles; after k of them the
    // clock keeps a fraction of a picosecond, which must count.
    for (uint64_t k : {0ull, 1ull, 3ull, 8ull, 1000ull, 32767ull}) {
        Clock c;
        c.advance_cycles(k);
        EXPECT_EQ(c.cycles_until(1'000'000'000'000), 32768 - k) << "after " << k << " cycles";
    }
    Clock c;
    c.advance_cycles(3);
    EXPECT_EQ(c.cycles_until(c.now()), 0u);
    EXPECT_EQ(c.cycles_until(c.now() + 1), 1u);
}

// A quiet advance goes no further than the cycle before an event falls due
// and leaves the clock as it was when it would have to; the time of the next
// event follows the queue through every change of it.
TEST(ClockTest, AQuietAdvanceNeverPassesAnEvent)
{
    Clock c, plain;
    for (Clock *k : {&c, &plain})
        k->set_master_period_fs(20'833'333);
    EXPECT_EQ(c.next_event_time(), Clock::kNever);
    int fired = 0;
    c.schedule_at(1'000'000, [&] { ++fired; });
    const auto early = c.schedule_at(500'000, [&] { ++fired; });
    EXPECT_EQ(c.next_event_time(), 500'000u);
    c.cancel(early);
    EXPECT_EQ(c.next_event_time(), 1'000'000u) << "a cancelled head is not the next event";
    // 48 cycles end 16 fs short of 1 us; the 49th passes it.
    EXPECT_TRUE(c.advance_cycles_quietly(47));
    EXPECT_TRUE(c.advance_cycles_quietly(1));
    plain.advance_cycles(48);
    EXPECT_EQ(c.now(), plain.now());
    EXPECT_FALSE(c.advance_cycles_quietly(1));
    EXPECT_FALSE(c.advance_cycles_quietly(~uint64_t{0})) << "too many femtoseconds for 64 bits";
    EXPECT_EQ(c.cycles(), 48u) << "a refused advance changes nothing";
    EXPECT_EQ(fired, 0);
    c.advance_cycles(1);
    plain.advance_cycles(1);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(c.now(), plain.now()) << "the fraction of a picosecond carried over";
    EXPECT_EQ(c.next_event_time(), Clock::kNever);
    c.schedule_in(5, [] {});
    c.reset();
    EXPECT_EQ(c.next_event_time(), Clock::kNever);
}

// Named events: the pending ones can be listed in firing order, and an
// observer hears each one's owner and name as it fires.
TEST(ClockNamedEvents, PendingOnesAreListedAndFiredOnesNamed)
{
    board::Clock c;
    std::vector<std::string> fired;
    c.add_fire_observer([&](board::Picos when, board::EventName n) {
        fired.push_back(std::string(n.owner) + "/" + n.what + "@" + std::to_string(when));
    });
    c.schedule_at({"B", "late"}, 30, [] {});
    auto dropped = c.schedule_at({"A", "cancelled"}, 10, [] {});
    c.schedule_in({"A", "early"}, 20, [] {});
    c.schedule_at({"C", "same time, later"}, 20, [] {});
    c.cancel(dropped);
    auto pending = c.pending_events();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_STREQ(pending[0].name.what, "early");
    EXPECT_STREQ(pending[1].name.what, "same time, later");
    EXPECT_STREQ(pending[2].name.owner, "B");
    EXPECT_EQ(pending[2].when, 30u);
    c.advance_to(25);
    EXPECT_EQ(fired, (std::vector<std::string>{"A/early@20", "C/same time, later@20"}));
    EXPECT_EQ(c.pending_events().size(), 1u);
}

// Every model names what it schedules.
TEST(ClockNamedEvents, ABusyBoardsEventsAllHaveOwnersAndNames)
{
    board::Board b;
    b.bus.write(board::kPmcBase + 0x10, 1u << board::kIdSpi);
    b.bus.write(board::kPmcBase + 0x20, 0x4001);        // CKGR_MOR: the oscillator starts
    b.bus.write(board::kSpiBase + 0x04, 0x11);
    b.bus.write(board::kSpiBase + 0x30, 0x209);
    b.bus.write(board::kSpiBase + 0x00, 0x01);
    b.bus.write(board::kSpiBase + 0x0C, 0x5A);          // a byte shifting out
    bool spi = false;
    for (const auto &e : b.clock.pending_events()) {
        ASSERT_NE(e.name.owner, nullptr);
        ASSERT_NE(e.name.what, nullptr);
        spi = spi || (std::string(e.name.owner) == "SPI" && std::string(e.name.what) == "SPCK edge");
    }
    EXPECT_TRUE(spi);
    EXPECT_GE(b.clock.pending_events().size(), 3u) << "the watchdog, the oscillator and the SPI at least";
}

}  // namespace

}  // namespace clock_test
