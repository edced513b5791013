// The board's wiring of the chip's models, and its power-on reset.
#include <gtest/gtest.h>

#include "board/board.h"

namespace board_test {

namespace {

using board::Board;

constexpr uint32_t PMC_PCER = board::kPmcBase + 0x10;
constexpr uint32_t PMC_MOR = board::kPmcBase + 0x20;
constexpr uint32_t PMC_SR = board::kPmcBase + 0x68;
constexpr uint32_t PIO_PDSR = board::kPioaBase + 0x3C;
constexpr uint32_t PIO_IER = board::kPioaBase + 0x40;
constexpr uint32_t PIO_ISR = board::kPioaBase + 0x4C;
constexpr uint32_t AIC_SVR2 = board::kAicBase + 0x88;
constexpr uint32_t AIC_IVR = board::kAicBase + 0x100;
constexpr uint32_t AIC_IECR = board::kAicBase + 0x120;
constexpr uint32_t WDTC_WDMR = board::kWdtcBase + 0x04;
constexpr uint32_t MC_FMR = board::kMcBase + 0x60;

TEST(BoardTest, ThePioSeesItsLinesOnlyWithItsPeripheralClock)
{
    Board b;
    auto key = b.pa.add_source("key");
    uint32_t before = b.bus.read(PIO_PDSR);
    b.pa.drive(key, 0x20, 0x20, 0);
    EXPECT_EQ(b.bus.read(PIO_PDSR), before) << "the PIO clock is off after reset";
    b.bus.write(PMC_PCER, 1u << 2);
    EXPECT_EQ(b.bus.read(PIO_PDSR) & 0x20u, 0u);
}

TEST(BoardTest, PioInterruptReachesTheAicAsSourceTwo)
{
    Board b;
    auto key = b.pa.add_source("key");
    b.bus.write(PMC_PCER, 1u << 2);
    b.bus.write(AIC_SVR2, 0x00100123);
    b.bus.write(AIC_IECR, 1u << 2);
    b.bus.write(PIO_IER, 0x20);
    EXPECT_FALSE(b.aic.nirq());
    b.pa.drive(key, 0x20, 0x20, 0);
    b.clock.advance_cycles(1);   // the PIO samples its inputs once per cycle
    EXPECT_EQ(b.aic.pending() & 0x4u, 0x4u);
    b.clock.advance_cycles(4);   // the AIC's synchronisation
    EXPECT_TRUE(b.aic.nirq());
    EXPECT_EQ(b.bus.read(AIC_IVR), 0x00100123u);
    b.bus.read(PIO_ISR);
    EXPECT_FALSE(b.pioa.irq());
    EXPECT_EQ(b.aic.pending() & 0x4u, 0u) << "a level source falls with its line";
}

// Writes of a register the bus has already decoded go straight to it, but
// never past anyone who has come to watch the bus since, nor as a word when
// they are narrower.
TEST(BoardTest, ADecodedRegisterIsStillWatchedAndWrittenLaneByLane)
{
    constexpr uint32_t PIO_SODR = board::kPioaBase + 0x30, PIO_CODR = board::kPioaBase + 0x34;
    Board b;
    b.bus.write(PIO_SODR, 1u << 16);
    b.bus.write(PIO_CODR, 1u << 16);
    std::vector<uint32_t> seen;
    b.bus.add_observer([&](const board::Access &a) { seen.push_back(a.value); });
    b.bus.set_recording(true);
    b.bus.write(PIO_SODR, 0x2);
    b.bus.write(PIO_CODR, 0x2);
    b.bus.set_recording(false);
    b.bus.write(PIO_CODR, 0x2);   // moves no line: still seen
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x2, 0x2, 0x2})) << "the observer stays when recording ends";
    EXPECT_EQ(b.bus.recorded().size(), 2u);

    const size_t warnings = b.log.count_from("bus");
    b.bus.write(PIO_SODR, 0x01, 1);
    EXPECT_EQ(b.pioa.odsr(), 0x01010101u) << "a byte is on every lane of the data bus";
    EXPECT_EQ(b.log.count_from("bus"), warnings + 1);
}

TEST(BoardTest, ResetGivesThePowerOnState)
{
    Board b;
    std::vector<board::Picos> resets;
    b.wdt.set_reset_request([&] { resets.push_back(b.clock.now()); });
    b.bus.write(PMC_PCER, 1u << 2);
    b.bus.write(PMC_MOR, 0x4001);
    b.bus.write(WDTC_WDMR, 0x8000);
    b.bus.write(MC_FMR, 0x00300100);
    b.bus.write(AIC_IECR, 1u << 2);
    b.clock.advance_to(board::kPicosPerSecond);
    ASSERT_EQ(b.bus.read(PMC_SR) & 1u, 1u);

    b.reset();
    EXPECT_EQ(b.clock.now(), 0u);
    EXPECT_FALSE(b.pmc.peripheral_clock(2));
    EXPECT_EQ(b.bus.read(PMC_SR), 0x8u);
    EXPECT_EQ(b.mc.flash_wait_states(), 0u);
    EXPECT_EQ(b.aic.enabled(), 0u);
    EXPECT_DOUBLE_EQ(b.pmc.master_hz(), 32768.0);
    EXPECT_EQ(b.clock.master_period_fs(), board::kSlowClockPeriodFs);
    EXPECT_TRUE(b.wdt.running()) << "the watchdog runs again after reset";
    b.clock.advance_to(16 * board::kPicosPerSecond);
    EXPECT_EQ(resets.size(), 1u);
}

// The bus map follows the chip's table: a modelled block answers at its
// base under its name; an access to an unmodelled one is logged by name.
TEST(BoardTest, EveryBlockIsWhereTheChipTableSays)
{
    Board b;
    for (unsigned i = 0; i < board::kChipBlockCount; ++i) {
        const board::ChipBlock &block = board::kChipBlocks[i];
        SCOPED_TRACE(block.name);
        if (!block.model) {
            b.bus.read(block.base + 4);
            EXPECT_TRUE(b.log.contains(std::string("the ") + block.name + " is not modelled"));
            continue;
        }
        std::string name = block.name;
        EXPECT_EQ(b.bus.describe(block.base).substr(0, name.size() + 1), name + ".");
        EXPECT_TRUE(b.bus.is_mapped(block.base + block.size - 1));
        EXPECT_NE(b.bus.describe(block.base + block.size).substr(0, name.size() + 1), name + ".");
    }
}

}  // namespace

}  // namespace board_test
