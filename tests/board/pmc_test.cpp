// The power management controller model against the chip's documented
// behaviour: start-up times on the virtual clock and the master clock that
// results.
#include <gtest/gtest.h>

#include "board/clock.h"
#include "board/pmc.h"

namespace pmc_test {

namespace {

enum : uint32_t {
    SCER = 0x00, SCDR = 0x04, SCSR = 0x08, PCER = 0x10, PCDR = 0x14, PCSR = 0x18,
    MOR = 0x20, MCFR = 0x24, PLLR = 0x2C, MCKR = 0x30, IER = 0x60, IDR = 0x64, SR = 0x68, IMR = 0x6C,
};
enum : uint32_t { MOSCS = 0x1, LOCK = 0x4, MCKRDY = 0x8 };
using board::Picos;

Picos slow(uint64_t n) { return n * board::kSlowClockPeriodFs / 1000; }

struct PmcTest : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    board::Pmc pmc{clock, log};

    bool sr(uint32_t bit) { return (pmc.read(SR) & bit) != 0; }
    void at(Picos t) { clock.advance_to(t); }
    // Runs the clock from event to event until a status bit sets; returns the
    // time it set (the current time if it never does).
    Picos wait_for(uint32_t bit)
    {
        while (!sr(bit) && clock.next_event())
            at(*clock.next_event());
        return clock.now();
    }
};

TEST_F(PmcTest, ResetState)
{
    EXPECT_EQ(pmc.read(SR), MCKRDY);
    EXPECT_EQ(pmc.read(SCSR), 1u);
    EXPECT_EQ(pmc.read(PCSR), 0u);
    EXPECT_EQ(pmc.read(MOR), 0u);
    EXPECT_EQ(pmc.read(PLLR), 0x3F00u);
    EXPECT_EQ(pmc.read(MCKR), 0u);
    EXPECT_EQ(pmc.read(MCFR), 0u);
    EXPECT_DOUBLE_EQ(pmc.master_hz(), 32768.0);
    EXPECT_EQ(clock.master_period_fs(), board::kSlowClockPeriodFs);
}

TEST_F(PmcTest, OscillatorIsStableOscountTimesEightSlowCyclesAfterEnable)
{
    Picos t0 = 1000;
    at(t0);
    pmc.write(MOR, 0x00004001);
    EXPECT_FALSE(sr(MOSCS));
    at(t0 + slow(512) - 1);
    EXPECT_FALSE(sr(MOSCS));
    at(t0 + slow(512));
    EXPECT_TRUE(sr(MOSCS));

    EXPECT_EQ(pmc.read(MCFR), 0u) << "MAINF is measured over 16 slow-clock periods";
    at(t0 + slow(512 + 16));
    EXPECT_EQ(pmc.read(MCFR), 0x10000u | 9000u) << "18.432 MHz counts 9000 in 16 slow periods";

    pmc.write(MOR, 0x00004001);
    EXPECT_TRUE(sr(MOSCS)) << "enabling a running oscillator again does not restart it";
    pmc.write(MOR, 0);
    EXPECT_FALSE(sr(MOSCS));
    EXPECT_EQ(pmc.read(MCFR), 0u);
}

TEST_F(PmcTest, PllLocksPllcountSlowCyclesAfterItHasItsInput)
{
    pmc.write(PLLR, 0x1048280E);
    EXPECT_FALSE(sr(LOCK));
    at(slow(1000));
    EXPECT_FALSE(sr(LOCK)) << "no lock without the oscillator";

    Picos t0 = clock.now();
    pmc.write(MOR, 0x00004001);
    at(t0 + slow(512 + 40) - 1);
    EXPECT_FALSE(sr(LOCK));
    at(t0 + slow(512 + 40));
    EXPECT_TRUE(sr(LOCK)) << "counted from the oscillator's start";

    Picos t1 = clock.now() + 12345;
    at(t1);
    pmc.write(PLLR, 0x1048280E);
    EXPECT_FALSE(sr(LOCK)) << "a PLLR write clears LOCK";
    at(t1 + slow(40) - 1);
    EXPECT_FALSE(sr(LOCK));
    at(t1 + slow(40));
    EXPECT_TRUE(sr(LOCK));

    pmc.write(PLLR, 0x0000280E);   // MUL = 0: PLL off
    at(clock.now() + slow(1000));
    EXPECT_FALSE(sr(LOCK));
}

TEST_F(PmcTest, BringUpSequenceGivesTheMasterClockWhenMckrdySets)
{
    pmc.write(MOR, 0x00004001);
    wait_for(MOSCS);
    pmc.write(PLLR, 0x1048280E);
    wait_for(LOCK);
    EXPECT_DOUBLE_EQ(pmc.pll_hz(), 18432000.0 * 73 / 14);
    EXPECT_TRUE(sr(MCKRDY));

    // Prescaler first: slow clock / 2. MCKRDY takes two cycles of the slower clock.
    Picos t0 = clock.now();
    pmc.write(MCKR, 0x4);
    EXPECT_FALSE(sr(MCKRDY));
    EXPECT_EQ(clock.master_period_fs(), board::kSlowClockPeriodFs) << "nothing changes before MCKRDY";
    at(t0 + slow(4) - 1);
    EXPECT_FALSE(sr(MCKRDY));
    at(t0 + slow(4));
    EXPECT_TRUE(sr(MCKRDY));
    EXPECT_DOUBLE_EQ(pmc.master_hz(), 16384.0);
    EXPECT_EQ(clock.master_period_fs(), 2 * board::kSlowClockPeriodFs);

    // Then the source, read back and ORed as the firmware does.
    Picos t1 = clock.now();
    pmc.write(MCKR, pmc.read(MCKR) | 3);
    EXPECT_EQ(pmc.read(MCKR), 7u);
    EXPECT_FALSE(sr(MCKRDY));
    EXPECT_DOUBLE_EQ(pmc.master_hz(), 16384.0);
    at(t1 + slow(4));
    EXPECT_TRUE(sr(MCKRDY));
    EXPECT_NEAR(pmc.master_hz(), 48054857.142857, 1e-6);
    EXPECT_EQ(clock.master_period_fs(), 20809551u) << "1e15 x 28 / (18432000 x 73) fs, rounded";
    EXPECT_EQ(log.count_from("PMC"), 0u);
}

TEST_F(PmcTest, SelectingAStoppedClockWaitsForIt)
{
    pmc.write(MCKR, 0x7);
    EXPECT_TRUE(log.contains("not running"));
    at(slow(100));
    EXPECT_FALSE(sr(MCKRDY)) << "the PLL does not run: the switch cannot complete";
    EXPECT_DOUBLE_EQ(pmc.master_hz(), 32768.0);

    pmc.write(MOR, 0x00004001);
    pmc.write(PLLR, 0x1048280E);
    Picos locked = wait_for(LOCK);
    EXPECT_FALSE(sr(MCKRDY));
    EXPECT_DOUBLE_EQ(pmc.master_hz(), 32768.0);
    Picos ready = wait_for(MCKRDY);
    EXPECT_EQ(ready - locked, slow(2)) << "two cycles of the slower clock, the slow clock";
    EXPECT_NEAR(pmc.master_hz(), 48054857.142857, 1e-6);

    // Stopping the oscillator under the running master clock is logged; the
    // board keeps its clock, and a relocked PLL takes over again.
    log.clear();
    pmc.write(MOR, 0);
    EXPECT_TRUE(log.contains("main oscillator disabled while it clocks the master clock"));
    EXPECT_FALSE(sr(LOCK));
    EXPECT_NEAR(pmc.master_hz(), 48054857.142857, 1e-6);
    pmc.write(MOR, 0x00004001);
    wait_for(LOCK);
    EXPECT_EQ(clock.master_period_fs(), 20809551u);
}

TEST_F(PmcTest, MainClockAndCrystalFrequency)
{
    pmc.set_crystal_hz(16000000);
    EXPECT_EQ(pmc.crystal_hz(), 16000000u);
    pmc.write(MOR, 0x00000801);
    wait_for(MOSCS);
    pmc.write(MCKR, 0x1 | (2 << 2));   // main clock / 4
    wait_for(MCKRDY);
    EXPECT_DOUBLE_EQ(pmc.master_hz(), 4000000.0);
    EXPECT_EQ(clock.master_period_fs(), 250000000u);
    clock.advance_to(clock.now() + slow(16));
    EXPECT_EQ(pmc.read(MCFR), 0x10000u | 7812u);
    pmc.set_crystal_hz(12000000);
    EXPECT_DOUBLE_EQ(pmc.master_hz(), 3000000.0);
}

TEST_F(PmcTest, PeripheralAndSystemClocksAndKeptRegisters)
{
    pmc.write(PCER, (1u << 2) | (1u << 5) | 0x3);
    EXPECT_EQ(pmc.read(PCSR), (1u << 2) | (1u << 5)) << "identifiers 0 and 1 have no clock to switch";
    EXPECT_TRUE(pmc.peripheral_clock(2));
    EXPECT_FALSE(pmc.peripheral_clock(3));
    pmc.write(PCDR, 1u << 2);
    EXPECT_FALSE(pmc.peripheral_clock(2));
    EXPECT_TRUE(pmc.peripheral_clock(5));

    pmc.write(SCER, 0x80);
    EXPECT_EQ(pmc.read(SCSR), 0x81u);
    pmc.write(SCDR, 0x80);
    EXPECT_EQ(pmc.read(SCSR), 0x1u);
    pmc.write(IER, 0x9);
    pmc.write(IDR, 0x1);
    EXPECT_EQ(pmc.read(IMR), 0x8u);

    pmc.read(PCER);
    pmc.write(SR, 0);
    pmc.read(0xFC);
    EXPECT_EQ(log.count_from("PMC"), 3u);

    pmc.write(MOR, 0x4001);
    pmc.reset();
    EXPECT_EQ(pmc.read(PCSR), 0u);
    at(slow(10000));
    EXPECT_FALSE(sr(MOSCS)) << "reset cancelled the oscillator start";
}

}  // namespace

}  // namespace pmc_test
