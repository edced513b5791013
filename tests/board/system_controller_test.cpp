// The system controller's small peripherals on the board: reset controller,
// interval timer, real-time timer, voltage regulator, the shared system
// interrupt, and the peripheral space around the models.
#include <gtest/gtest.h>

#include "board/board.h"

namespace system_controller_test {

namespace {

using board::Board;
using board::kPicosPerMs;
using board::kPicosPerUs;

constexpr uint32_t RSTC_CR = board::kRstcBase + 0x0, RSTC_SR = board::kRstcBase + 0x4, RSTC_MR = board::kRstcBase + 0x8;
constexpr uint32_t RTT_MR = board::kRttBase + 0x0, RTT_AR = board::kRttBase + 0x4, RTT_VR = board::kRttBase + 0x8,
                   RTT_SR = board::kRttBase + 0xC;
constexpr uint32_t PIT_MR = board::kPitBase + 0x0, PIT_SR = board::kPitBase + 0x4, PIT_PIVR = board::kPitBase + 0x8,
                   PIT_PIIR = board::kPitBase + 0xC;
constexpr uint32_t VREG_MR = board::kVregBase;
constexpr uint32_t AIC_IPR = board::kAicBase + 0x10C;
constexpr uint32_t MC_FMR = board::kMcBase + 0x60;
constexpr uint32_t WDTC_WDMR = board::kWdtcBase + 0x04;
constexpr board::Picos kSlowCycle = board::kSlowClockPeriodFs / 1000;

// ---- reset controller ----

TEST(RstcTest, ModeRegisterNeedsItsKey)
{
    Board b;
    EXPECT_EQ(b.bus.read(RSTC_MR), 0u);
    EXPECT_EQ(b.bus.read(RSTC_SR), 0x00010000u) << "power-up reset, NRST high";
    b.bus.write(RSTC_MR, 0x00000401);
    EXPECT_EQ(b.bus.read(RSTC_MR), 0u) << "no key: ignored";
    b.bus.write(RSTC_MR, 0xA5000401);
    EXPECT_EQ(b.bus.read(RSTC_MR), 0x00000401u) << "URSTEN and ERSTL; the key reads 0";
    EXPECT_FALSE(b.bus.take_fault());
}

TEST(RstcTest, SoftwareResetOrdersTheBoardAndReportsItself)
{
    Board b;
    b.bus.write(RSTC_MR, 0xA5000200);   // ERSTL 2: NRST low for 8 slow-clock cycles
    b.bus.write(RSTC_CR, 0x0000000D);
    EXPECT_FALSE(b.reset_ordered()) << "without the key nothing happens";
    b.bus.write(RSTC_CR, 0xA500000D);
    auto order = b.take_reset_order();
    ASSERT_TRUE(order);
    EXPECT_TRUE(order->processor);
    EXPECT_TRUE(order->peripherals);
    EXPECT_TRUE(order->external);
    EXPECT_EQ(order->hold, 3 * kSlowCycle);
    EXPECT_EQ(b.bus.read(RSTC_SR), 0x00020300u) << "software reset, SRCMP, NRST low";
    b.bus.write(RSTC_CR, 0xA5000001);
    EXPECT_FALSE(b.reset_ordered()) << "ignored while SRCMP is set";
    b.clock.advance_to(8 * kSlowCycle - 1);
    EXPECT_EQ(b.bus.read(RSTC_SR) & 0x30000u, 0x20000u);
    b.clock.advance_to(8 * kSlowCycle);
    EXPECT_EQ(b.bus.read(RSTC_SR), 0x00010300u);

    Board c;
    c.bus.write(RSTC_CR, 0xA5000004);   // peripherals only: not reported in RSTTYP
    auto periph = c.take_reset_order();
    ASSERT_TRUE(periph);
    EXPECT_FALSE(periph->processor);
    EXPECT_EQ(periph->hold, 0u);
    EXPECT_EQ(c.bus.read(RSTC_SR), 0x00030000u);
}

TEST(RstcTest, PeripheralResetKeepsTheResetControllerAndTheFlash)
{
    Board b;
    b.bus.write(RSTC_MR, 0xA5000001);
    b.bus.write(MC_FMR, 0x00480100);
    b.bus.write(board::kMcBase, 1);   // remap
    b.chip_flash.data()[0] = 0x12;
    b.chip_flash.set_lock_bits(0x3);
    b.bus.write(RSTC_CR, 0xA5000005);
    b.perform_reset(*b.take_reset_order());
    EXPECT_EQ(b.bus.read(MC_FMR), 0u);
    EXPECT_FALSE(b.mc.remapped()) << "the peripheral reset cancels the remap";
    EXPECT_EQ(b.bus.read(RSTC_MR), 1u) << "the reset controller keeps its mode";
    EXPECT_EQ(b.bus.read(RSTC_SR) & 0x700u, 0x300u);
    EXPECT_EQ(b.chip_flash.data()[0], 0x12);
    EXPECT_EQ(b.chip_flash.lock_bits(), 0x3u);
}

TEST(RstcTest, WatchdogResetGoesThroughTheResetController)
{
    Board b;
    b.bus.write(WDTC_WDMR, 0x00FF2010);   // WDV 16 ticks, reset enabled, WDD 0xFF
    b.clock.advance_to(17 * board::Wdt::kTick);
    auto order = b.take_reset_order();
    ASSERT_TRUE(order);
    EXPECT_TRUE(order->processor);
    EXPECT_TRUE(order->peripherals);
    EXPECT_EQ(b.bus.read(RSTC_SR) & 0x700u, 0x200u) << "RSTTYP watchdog";
}

// ---- periodic interval timer ----

struct PitTest : ::testing::Test {
    Board b;
    void SetUp() override { b.clock.set_master_period_fs(20000000); }   // 50 MHz: 320 ns a tick
    void cycles(uint64_t n) { b.clock.advance_cycles(n); }
};

TEST_F(PitTest, CountsAtASixteenthOfTheMasterClock)
{
    EXPECT_EQ(b.bus.read(PIT_MR), 0x000FFFFFu);
    EXPECT_EQ(b.bus.read(PIT_PIIR), 0u);
    b.bus.write(PIT_MR, 0x01000009);   // PIV 9: a period of 10 ticks, 160 cycles
    cycles(16 * 3);
    EXPECT_EQ(b.bus.read(PIT_PIIR), 3u);
    cycles(16 * 7 - 1);
    EXPECT_EQ(b.bus.read(PIT_SR), 0u) << "one cycle short of the period";
    cycles(1);
    EXPECT_EQ(b.bus.read(PIT_SR), 1u);
    EXPECT_EQ(b.bus.read(PIT_PIIR), 1u << 20) << "PICNT 1, CPIV 0; PIIR clears nothing";
    cycles(16 * 25);
    EXPECT_EQ(b.bus.read(PIT_PIVR), (3u << 20) | 5u);
    EXPECT_EQ(b.bus.read(PIT_SR), 0u) << "reading PIVR clears PITS";
    EXPECT_EQ(b.bus.read(PIT_PIIR), 5u) << "and PICNT";
}

TEST_F(PitTest, InterruptOnTheSystemLineAndStopAtTheEndOfThePeriod)
{
    b.bus.write(board::kAicBase + 0x120, 1u << 1);   // AIC_IECR: source 1
    b.bus.write(PIT_MR, 0x03000009);
    cycles(159);
    EXPECT_EQ(b.aic.pending() & 2u, 0u);
    cycles(1);
    EXPECT_EQ(b.aic.pending() & 2u, 2u) << "PITS with PITIEN on the system interrupt";
    b.bus.read(PIT_PIVR);
    EXPECT_FALSE(b.aic.nirq());
    cycles(16 * 4);
    b.bus.write(PIT_MR, 0x02000009);   // PITEN off: runs to the end of the period
    cycles(16 * 5);
    EXPECT_EQ(b.bus.read(PIT_PIIR), 9u) << "still counting to the end of the period";
    cycles(16);
    EXPECT_EQ(b.bus.read(PIT_PIIR), 1u << 20) << "wrapped once more, then stopped at 0";
    EXPECT_EQ(b.aic.pending() & 2u, 2u);
    b.bus.read(PIT_PIVR);
    cycles(16 * 100);
    EXPECT_EQ(b.bus.read(PIT_PIIR), 0u);
    EXPECT_FALSE(b.aic.nirq());
}

TEST_F(PitTest, FollowsAChangeOfTheMasterClock)
{
    b.bus.write(PIT_MR, 0x010003E7);   // PIV 999
    cycles(16 * 100);
    b.clock.set_master_period_fs(40000000);   // 25 MHz from here on
    cycles(16 * 50);
    EXPECT_EQ(b.bus.read(PIT_PIIR), 150u) << "ticks at both rates counted";
}

// ---- real-time timer ----

TEST(RttTest, CountsSecondsFromTheSlowClockAndRaisesItsAlarm)
{
    Board b;
    EXPECT_EQ(b.bus.read(RTT_MR), 0x00008000u);
    EXPECT_EQ(b.bus.read(RTT_AR), 0xFFFFFFFFu);
    b.clock.advance_to(2 * board::kPicosPerSecond + kPicosPerMs);
    EXPECT_EQ(b.bus.read(RTT_VR), 2u);
    EXPECT_EQ(b.bus.read(RTT_SR), 2u) << "RTTINC";
    EXPECT_EQ(b.bus.read(RTT_SR), 0u) << "cleared by reading";

    b.bus.write(board::kAicBase + 0x120, 1u << 1);
    b.bus.write(RTT_MR, 0x00050020);   // RTPRES 32 (about 1 ms), ALMIEN, RTTRST
    b.bus.write(RTT_AR, 9);            // alarm when the counter reaches 10
    EXPECT_EQ(b.bus.read(RTT_VR), 0u) << "RTTRST restarts the counter";
    board::Picos start = b.clock.now();
    const board::Picos increment = 32 * board::kSlowClockPeriodFs / 1000;
    b.clock.advance_to(start + 10 * increment - 1);
    EXPECT_EQ(b.aic.pending() & 2u, 0u);
    b.clock.advance_to(start + 10 * increment);
    EXPECT_EQ(b.aic.pending() & 2u, 2u) << "ALMS with ALMIEN";
    EXPECT_EQ(b.bus.read(RTT_SR), 3u);
    EXPECT_FALSE(b.aic.nirq());
}

TEST(RttTest, NewPrescalerWaitsForRestart)
{
    Board b;
    b.bus.write(RTT_MR, 0x00000001);   // RTPRES 1 without RTTRST
    b.clock.advance_to(board::kPicosPerSecond / 2);
    EXPECT_EQ(b.bus.read(RTT_VR), 0u) << "still one increment a second";
    b.bus.write(RTT_MR, 0x00040004);
    b.clock.advance_to(b.clock.now() + 8 * kSlowCycle);
    EXPECT_EQ(b.bus.read(RTT_VR), 2u);
}

// ---- the rest ----

TEST(SystemControllerTest, RegulatorAndIdentity)
{
    Board b;
    EXPECT_EQ(b.bus.read(VREG_MR), 0u);
    b.bus.write(VREG_MR, 1);
    EXPECT_EQ(b.bus.read(VREG_MR), 1u);
    EXPECT_TRUE(b.log.contains("standby"));
    EXPECT_EQ(b.bus.read(board::kDbguBase + 0x40), 0x270B0940u) << "DBGU_CIDR";
    EXPECT_EQ(b.bus.read(board::kDbguBase + 0x44), 0u) << "DBGU_EXID";
    b.reset();
    EXPECT_EQ(b.bus.read(VREG_MR), 0u);
}

TEST(SystemControllerTest, SourceOneIsTheOrOfItsPeripherals)
{
    Board b;
    b.clock.set_master_period_fs(20000000);
    b.bus.write(PIT_MR, 0x03000000);   // PIV 0: a period every tick
    b.bus.write(MC_FMR, 0x1);          // FRDY interrupt: the flash is ready
    b.clock.advance_cycles(16);
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 2u);
    b.bus.read(PIT_PIVR);
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 2u) << "the flash controller still asks";
    b.bus.write(MC_FMR, 0);
    b.bus.write(PIT_MR, 0x01000000);   // PITIEN off
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 0u);
}

TEST(SystemControllerTest, PowerManagerAndWatchdogInterruptsJoinSourceOne)
{
    constexpr uint32_t PMC_MOR = board::kPmcBase + 0x20, PMC_IER = board::kPmcBase + 0x60,
                       PMC_IDR = board::kPmcBase + 0x64, WDTC_WDSR = board::kWdtcBase + 0x08;
    Board b;
    b.bus.write(PMC_IER, 0x1);          // MOSCS
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 0u) << "the oscillator is not started";
    b.bus.write(PMC_MOR, 0x00000101);   // MOSCEN, OSCOUNT 1: stable 8 slow-clock cycles on
    b.clock.advance_to(b.clock.now() + 9 * kSlowCycle);
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 2u) << "PMC_SR.MOSCS & PMC_IMR";
    b.bus.write(PMC_IDR, 0x1);
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 0u);

    // A watchdog of one tick with its fault interrupt and no reset.
    b.bus.write(WDTC_WDMR, 0x00001001);   // WDV 1, WDFIEN, WDRSTEN off
    b.clock.advance_to(b.clock.now() + 2 * board::Wdt::kTick);
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 2u) << "underflow with WDFIEN";
    EXPECT_EQ(b.bus.read(WDTC_WDSR) & 1u, 1u);
    EXPECT_EQ(b.bus.read(AIC_IPR) & 2u, 0u) << "reading WDSR clears the fault";
}

TEST(SystemControllerTest, HolesInThePeripheralSpaceReadZeroAndAreLoggedOnce)
{
    Board b;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(b.bus.read(0xFFFA0000), 0u) << "TC0_CCR: no model";
        b.bus.write(0xFFFF8000, 5);
        EXPECT_EQ(b.bus.read(0xF0000000), 0u);
    }
    EXPECT_FALSE(b.bus.take_fault()) << "no abort inside the peripheral space";
    EXPECT_EQ(b.log.count_from("bus"), 3u);
    EXPECT_TRUE(b.log.contains("TC is not modelled"));
    EXPECT_TRUE(b.log.contains("reserved address"));
    b.bus.read(0x00400000);
    EXPECT_TRUE(b.bus.take_fault()) << "outside it, nothing answers";
}

}  // namespace

}  // namespace system_controller_test
