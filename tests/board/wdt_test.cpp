// The watchdog model against the chip's documented behaviour, on the virtual clock.
#include <gtest/gtest.h>

#include "board/clock.h"
#include "board/wdt.h"

namespace wdt_test {

namespace {

enum : uint32_t { WDCR = 0x00, WDMR = 0x04, WDSR = 0x08 };
using board::Picos;
using board::Wdt;

struct WdtTest : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    Wdt wdt{clock, log};
    std::vector<Picos> resets;
    void SetUp() override { wdt.set_reset_request([this] { resets.push_back(clock.now()); }); }
};

TEST_F(WdtTest, RunsFromResetAndRequestsAResetAfterSixteenSeconds)
{
    EXPECT_EQ(wdt.read(WDMR), 0x3FFF2FFFu);
    EXPECT_TRUE(wdt.running());
    Picos expiry = 0xFFF * Wdt::kTick;
    EXPECT_EQ(expiry, 15996093750000ull) << "4095 ticks of 128 slow-clock periods";
    clock.advance_to(expiry - 1);
    EXPECT_TRUE(resets.empty());
    EXPECT_EQ(wdt.counter(), 1u);
    clock.advance_to(expiry);
    ASSERT_EQ(resets.size(), 1u);
    EXPECT_EQ(resets[0], expiry);
    EXPECT_TRUE(log.contains("watchdog underflow: chip reset"));
    EXPECT_EQ(wdt.read(WDSR), 1u);
    EXPECT_EQ(wdt.read(WDSR), 0u) << "reading WDSR clears it";
}

TEST_F(WdtTest, RestartWithTheKeyReloadsTheCounter)
{
    clock.advance_to(10 * board::kPicosPerSecond);
    wdt.write(WDCR, 0x00000001);   // no key
    EXPECT_TRUE(log.contains("without key"));
    wdt.write(WDCR, 0xA5000001);
    EXPECT_EQ(wdt.counter(), 0xFFFu);
    clock.advance_to(20 * board::kPicosPerSecond);
    EXPECT_TRUE(resets.empty());
    clock.advance_to(10 * board::kPicosPerSecond + 0xFFF * Wdt::kTick);
    EXPECT_EQ(resets.size(), 1u);
}

TEST_F(WdtTest, ModeIsWriteOnceAndADisabledWatchdogNeverFires)
{
    wdt.write(WDMR, 0x00008000);
    EXPECT_FALSE(wdt.running());
    wdt.write(WDMR, 0x3FFF2FFF);
    EXPECT_TRUE(log.contains("written again"));
    EXPECT_EQ(wdt.read(WDMR), 0x00008000u);
    EXPECT_FALSE(wdt.running());
    clock.advance_to(1000 * board::kPicosPerSecond);
    EXPECT_TRUE(resets.empty());
    EXPECT_FALSE(clock.next_event().has_value()) << "nothing scheduled while disabled";

    wdt.reset();
    EXPECT_TRUE(wdt.running()) << "reset makes the mode writable and running again";
    wdt.write(WDMR, 0x00002010);   // WDRSTEN, WDV = 16
    clock.advance_to(clock.now() + 16 * Wdt::kTick);
    EXPECT_EQ(resets.size(), 1u) << "the new WDV applies from the write";
}

TEST_F(WdtTest, UnderflowWithoutResetEnableOnlyFlagsAndGoesRound)
{
    wdt.write(WDMR, 0x00000008);   // WDV = 8, no WDRSTEN
    clock.advance_to(8 * Wdt::kTick);
    EXPECT_TRUE(resets.empty());
    EXPECT_EQ(wdt.peek(WDSR), 1u);
    clock.advance_to(16 * Wdt::kTick);
    EXPECT_EQ(log.count_from("WDTC"), 2u);
}

TEST_F(WdtTest, RestartAboveTheWindowIsAnError)
{
    wdt.write(WDMR, 0x00802100);   // WDD = 0x080, WDRSTEN, WDV = 0x100
    wdt.write(WDCR, 0xA5000001);
    EXPECT_EQ(resets.size(), 1u) << "counter 0x100 is above WDD";
    EXPECT_EQ(wdt.read(WDSR), 2u);
    clock.advance_to(0x81 * Wdt::kTick);
    wdt.write(WDCR, 0xA5000001);
    EXPECT_EQ(resets.size(), 1u) << "inside the window the restart is allowed";
    wdt.read(WDCR);
    wdt.write(WDSR, 0);
    EXPECT_TRUE(log.contains("read of write-only WDTC_WDCR"));
    EXPECT_TRUE(log.contains("read-only WDTC_WDSR"));
}

}  // namespace

}  // namespace wdt_test
