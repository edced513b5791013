// The chip's clock limits as the board checks them: flash wait states against
// the master clock, the PLL's input and output ranges, the master clock's
// maximum. Programmed through the bus as firmware would.
#include <gtest/gtest.h>

#include "board/board.h"

namespace limits_test {

namespace {

constexpr uint32_t MC_FMR = board::kMcBase + 0x60;
constexpr uint32_t PMC_MOR = board::kPmcBase + 0x20, PMC_PLLR = board::kPmcBase + 0x2C,
                   PMC_MCKR = board::kPmcBase + 0x30, PMC_SR = board::kPmcBase + 0x68;
enum : uint32_t { MOSCS = 0x1, LOCK = 0x4, MCKRDY = 0x8 };

// DIV, MUL and OUT of CKGR_PLLR, 40 slow-clock cycles to lock.
constexpr uint32_t pllr(uint32_t div, uint32_t mul, uint32_t out = 0)
{
    return (out << 14) | (mul << 16) | (40u << 8) | div;
}

struct LimitsTest : ::testing::Test {
    board::Board b;
    const board::Rules &rules = b.log.rules;

    void wait_for(uint32_t bit)
    {
        while (!(b.bus.read(PMC_SR) & bit) && b.clock.next_event())
            b.clock.advance_to(*b.clock.next_event());
    }
    // The start-up of the board's firmware, with the values given.
    void start(uint32_t fmr, uint32_t pll, uint32_t prescaler = 1)
    {
        b.bus.write(MC_FMR, fmr);
        b.bus.write(PMC_MOR, 0x4001);
        wait_for(MOSCS);
        b.bus.write(PMC_PLLR, pll);
        wait_for(LOCK);
        b.bus.write(PMC_MCKR, prescaler << 2);
        wait_for(MCKRDY);
        b.bus.write(PMC_MCKR, (prescaler << 2) | 3);
        wait_for(MCKRDY);
    }
};

TEST_F(LimitsTest, TheBoardsClockSetUpKeepsEveryLimit)
{
    start(0x00300100, pllr(14, 72));
    EXPECT_NEAR(b.pmc.master_hz(), 48054857, 1);
    EXPECT_EQ(rules.total(), 0u);
}

TEST_F(LimitsTest, SingleCycleFlashAbove30MHz)
{
    start(0x00300000, pllr(14, 72));
    ASSERT_EQ(rules.violations().size(), 1u);
    const auto &v = rules.violations()[0];
    EXPECT_EQ(v.rule.name, "master clock with flash reads single-cycle (FWS = 0)");
    EXPECT_NEAR(v.measured, 48.054857, 1e-6);
    EXPECT_EQ(v.rule.limit, 30);
    EXPECT_EQ(v.time, b.clock.now()) << "found when the master clock switched to the PLL";
    b.bus.write(MC_FMR, 0x00300100);
    b.bus.write(MC_FMR, 0x00300000);
    EXPECT_EQ(rules.violations()[0].count, 2u) << "each FWS = 0 at that clock counts";
    EXPECT_EQ(rules.violations().size(), 1u);
}

TEST_F(LimitsTest, PllInputAndOutputRanges)
{
    // 18.432 MHz / 28 = 0.658 MHz in: below 1 MHz; its output (x146, 96 MHz) is fine.
    b.bus.write(PMC_PLLR, pllr(28, 145));
    ASSERT_EQ(rules.violations().size(), 1u);
    EXPECT_EQ(rules.violations()[0].rule.name, "PLL input (main clock / DIV), minimum");
    EXPECT_NEAR(rules.violations()[0].measured, 0.658286, 1e-6);

    // x10 of 18.432 MHz is 184 MHz: above 160 with OUT = 0, above 180 with OUT = 2.
    b.bus.write(PMC_PLLR, pllr(1, 9));
    const auto *out0 = rules.find("PLL output with OUT = 0, maximum");
    ASSERT_NE(out0, nullptr);
    EXPECT_NEAR(out0->measured, 184.32, 1e-9);
    b.bus.write(PMC_PLLR, pllr(1, 9, 2));
    ASSERT_NE(rules.find("PLL output with OUT = 2, maximum"), nullptr);
    // 96 MHz is in the OUT = 0 range but under the OUT = 2 one.
    b.bus.write(PMC_PLLR, pllr(14, 72, 2));
    ASSERT_NE(rules.find("PLL output with OUT = 2, minimum"), nullptr);
    EXPECT_EQ(rules.violations().size(), 4u);

    // A crystal change is checked against the PLL as programmed.
    b.bus.write(PMC_PLLR, pllr(2, 9));
    b.pmc.set_crystal_hz(1000000);   // 0.5 MHz in
    EXPECT_EQ(rules.find("PLL input (main clock / DIV), minimum")->count, 2u);
    EXPECT_NE(rules.find("PLL output with OUT = 0, minimum"), nullptr);
}

TEST_F(LimitsTest, MasterClockAbove55MHz)
{
    start(0x00300100, pllr(14, 72), 0);   // the PLL's 96 MHz undivided
    ASSERT_EQ(rules.violations().size(), 1u);
    EXPECT_EQ(rules.violations()[0].rule.name, "master clock");
    EXPECT_NEAR(rules.violations()[0].measured, 96.109714, 1e-6);
    EXPECT_EQ(rules.violations()[0].rule.limit, 55);
    EXPECT_EQ(rules.violations()[0].rule.bound, board::Rule::AtMost);
}

TEST(RulesTest, PcComesFromTheSourceAndTextCarriesTheCount)
{
    board::Clock clock;
    board::Rules rules(clock);
    const board::Rule r{"X", "thing", board::Rule::AtLeast, 2.5, "us", "part manual, table 1"};
    EXPECT_TRUE(rules.check(r, 2.5));
    clock.advance_to(7 * board::kPicosPerUs);
    rules.set_pc_source([] { return std::optional<uint32_t>(0x00100ABC); });
    std::vector<std::string> heard;
    rules.add_listener([&](const board::RuleViolation &v) { heard.push_back(v.text()); });
    EXPECT_FALSE(rules.check(r, 1.25));
    EXPECT_FALSE(rules.check(r, 0.5));
    ASSERT_EQ(rules.violations().size(), 1u);
    const auto &v = rules.violations()[0];
    EXPECT_EQ(v.pc, 0x00100ABCu);
    EXPECT_EQ(v.time, 7 * board::kPicosPerUs);
    EXPECT_EQ(v.measured, 1.25) << "the first breach's figure is kept";
    EXPECT_EQ(v.text(), "X: thing 1.25 us, at least 2.5 us (part manual, table 1), 2 times");
    EXPECT_EQ(heard, std::vector<std::string>{"X: thing 1.25 us, at least 2.5 us (part manual, table 1)"})
        << "told once, at the first breach";
}

// A rule is found again by the declaration it was checked through; one
// object that names another rule later, or a copy, must still count apart
// and together as their names say.
TEST(RulesTest, ChecksCountByNameWhateverObjectCarriesTheRule)
{
    board::Clock clock;
    board::Rules rules(clock);
    board::Rule r{"X", "thing", board::Rule::AtLeast, 2.5, "us", "part manual, table 1"};
    rules.check(r, 3);
    r.name = "other thing";
    rules.check(r, 4);
    const board::Rule copy{"X", "thing", board::Rule::AtLeast, 2.5, "us", "part manual, table 1"};
    rules.check(copy, 5);
    ASSERT_EQ(rules.closest().size(), 2u);
    EXPECT_EQ(rules.closest("thing")->checks, 2u);
    EXPECT_EQ(rules.closest("other thing")->checks, 1u);
    rules.clear();
    rules.check(copy, 6);
    ASSERT_EQ(rules.closest().size(), 1u);
    EXPECT_EQ(rules.closest()[0].checks, 1u);
}

}  // namespace

}  // namespace limits_test
