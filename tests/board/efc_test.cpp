// The embedded flash controller against its documentation: the page latch,
// the commands and their key, lock regions, erase all, GPNVM and security
// bits, the programming times through FMCN, and reads while it is busy.
#include <gtest/gtest.h>

#include <cstring>

#include "board/board.h"

namespace efc_test {

namespace {

using board::Board;
using board::ChipFlash;
using board::kPicosPerMs;

constexpr uint32_t MC_FMR = board::kMcBase + 0x60, MC_FCR = board::kMcBase + 0x64, MC_FSR = board::kMcBase + 0x68;
enum : uint32_t { FRDY = 1, LOCKE = 4, PROGE = 8, SECURITY = 0x10 };

struct EfcTest : ::testing::Test {
    Board b;
    void SetUp() override
    {
        b.clock.set_master_period_fs(20000000);   // 50 MHz
        b.bus.write(MC_FMR, 75u << 16);           // FMCN: cycles in 1.5 us
    }
    void store(uint32_t address, uint32_t value) { b.mc.efc().latch_store(address, value, 4); }
    void command(uint32_t cmd, uint32_t page) { b.bus.write(MC_FCR, 0x5A000000 | (page << 8) | cmd); }
    bool ready() { return b.bus.read(MC_FSR) & FRDY; }
    void wait_ready()
    {
        if (!ready())
            b.clock.advance_to(b.chip_flash.ready_at());
        ASSERT_TRUE(ready());
    }
    const uint8_t *page(uint32_t n) { return b.chip_flash.data() + n * ChipFlash::kPageSize; }
    uint32_t word(uint32_t page_n, uint32_t index)
    {
        uint32_t w;
        std::memcpy(&w, page(page_n) + 4 * index, 4);
        return w;
    }
};

TEST_F(EfcTest, WritePageProgramsTheLatchAfterItsTime)
{
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY) << "ready, nothing locked, no GPNVM bit after reset";
    // The stores may go anywhere in the flash range: only the offset in a page counts.
    store(0x00100000, 0x11111111);
    store(0x00100A04, 0x22222222);
    store(0x000000FC, 0x33333333);
    command(0x1, 5);
    EXPECT_FALSE(ready());
    EXPECT_EQ(page(5)[0], 0xFF) << "the flash changes when the command ends";
    board::Picos start = b.clock.now();
    EXPECT_EQ(b.chip_flash.ready_at() - start, 4000 * 75 * 20000ull) << "6 ms: 4000 units of FMCN cycles";
    b.clock.advance_to(start + 6 * kPicosPerMs - 1);
    EXPECT_FALSE(ready());
    b.clock.advance_to(start + 6 * kPicosPerMs);
    EXPECT_TRUE(ready());
    EXPECT_EQ(word(5, 0), 0x11111111u);
    EXPECT_EQ(word(5, 1), 0x22222222u);
    EXPECT_EQ(word(5, 63), 0x33333333u);
    EXPECT_EQ(word(5, 2), 0xFFFFFFFFu);
    EXPECT_EQ(word(4, 0), 0xFFFFFFFFu);
    EXPECT_EQ(b.mc.efc().latch()[0], 0xFF) << "the latch is erased after the command";

    // Again over the same page: erased first, so the old words go.
    store(0x00100008, 0x44444444);
    command(0x1, 5);
    wait_ready();
    EXPECT_EQ(word(5, 0), 0xFFFFFFFFu);
    EXPECT_EQ(word(5, 2), 0x44444444u);
}

TEST_F(EfcTest, NoEraseBeforeProgrammingOnlyClearsBits)
{
    store(0x00100000, 0x0000FFFF);
    command(0x1, 7);
    wait_ready();
    b.bus.write(MC_FMR, (75u << 16) | 0x80);   // NEBP
    store(0x00100000, 0xFF00FF00);
    command(0x1, 7);
    EXPECT_EQ(b.chip_flash.ready_at() - b.clock.now(), 2000 * 75 * 20000ull) << "3 ms without the erase";
    wait_ready();
    EXPECT_EQ(word(7, 0), 0x0000FF00u);
}

TEST_F(EfcTest, KeyAndUnknownCommandsGiveProge)
{
    b.bus.write(MC_FCR, 0x00000501);
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY | PROGE);
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY) << "reading FSR clears PROGE";
    command(0x6, 0);
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY | PROGE);
    command(0xB, 2);
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY | PROGE) << "this chip has GPNVM bits 0 and 1 only";
}

TEST_F(EfcTest, LockedRegionRefusesAndStaysUnchanged)
{
    b.bus.write(MC_FMR, 50u << 16);   // FMCN: cycles in 1 us for the lock bits
    command(0x2, 64 + 3);             // lock region 1 (pages 64..127)
    EXPECT_EQ(b.chip_flash.ready_at() - b.clock.now(), 3000 * 50 * 20000ull);
    wait_ready();
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY | (0x2u << 16));
    b.bus.write(MC_FMR, 75u << 16);
    store(0x00100000, 0);
    command(0x1, 100);
    EXPECT_EQ(b.bus.read(MC_FSR) & (FRDY | LOCKE), FRDY | LOCKE) << "refused at once";
    EXPECT_EQ(b.bus.read(MC_FSR) & LOCKE, 0u);
    EXPECT_EQ(word(100, 0), 0xFFFFFFFFu);
    command(0x8, 0);
    EXPECT_EQ(b.bus.read(MC_FSR) & LOCKE, LOCKE) << "erase all with a region locked";

    command(0x1, 63);   // the page next to the region is free
    wait_ready();
    EXPECT_EQ(word(63, 0), 0u);

    b.bus.write(MC_FMR, 50u << 16);
    command(0x4, 127);   // clear the lock bit
    wait_ready();
    EXPECT_EQ(b.bus.read(MC_FSR) >> 16, 0u);
    b.bus.write(MC_FMR, 75u << 16);
    store(0x00100000, 0x12345678);
    command(0x3, 100);   // write page and lock
    wait_ready();
    EXPECT_EQ(word(100, 0), 0x12345678u);
    EXPECT_EQ(b.bus.read(MC_FSR) >> 16, 0x2u);
}

TEST_F(EfcTest, EraseAllGpnvmAndSecurity)
{
    store(0x00100000, 0);
    command(0x1, 1000);
    wait_ready();
    command(0x8, 0);
    EXPECT_EQ(b.chip_flash.ready_at() - b.clock.now(), 10000 * 75 * 20000ull) << "15 ms";
    wait_ready();
    EXPECT_EQ(word(1000, 0), 0xFFFFFFFFu);

    b.bus.write(MC_FMR, 50u << 16);
    command(0xB, 1);
    wait_ready();
    command(0xB, 0);
    wait_ready();
    command(0xD, 1);
    wait_ready();
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY | 0x100u) << "GPNVM0 set, GPNVM1 cleared again";
    command(0xF, 0);
    wait_ready();
    EXPECT_EQ(b.bus.read(MC_FSR) & SECURITY, SECURITY);
    b.reset();
    EXPECT_EQ(b.bus.read(MC_FSR), FRDY | SECURITY | 0x100u) << "non-volatile through a power-on reset";
}

TEST_F(EfcTest, BusyControllerRefusesCommandsAndStoresAndWarnsOfAShortFmcn)
{
    store(0x00100000, 0x55555555);
    command(0x1, 9);
    command(0x1, 10);
    store(0x00100000, 0x66666666);
    wait_ready();
    EXPECT_EQ(word(9, 0), 0x55555555u);
    EXPECT_EQ(word(10, 0), 0xFFFFFFFFu) << "the second command was ignored";
    EXPECT_EQ(b.mc.efc().latch()[0], 0xFF) << "the store while busy was dropped";
    EXPECT_TRUE(b.log.contains("while a command runs"));

    b.mc.efc().latch_store(0x00100000, 0x77, 1);
    EXPECT_TRUE(b.log.contains("only 32-bit stores"));
    EXPECT_FALSE(b.log.contains("too briefly"));
    b.bus.write(MC_FMR, 48u << 16);   // cycles in 1 us, not 1.5 us, for a page write
    command(0x1, 11);
    EXPECT_TRUE(b.log.contains("the master clock needs 75"));
}

TEST_F(EfcTest, FrdyInterruptIsALevel)
{
    bool irq = false;
    b.mc.set_irq_output([&](bool l) { irq = l; });
    b.bus.write(MC_FMR, (75u << 16) | 1);
    EXPECT_TRUE(irq) << "ready and enabled";
    command(0x1, 0);
    EXPECT_FALSE(irq);
    wait_ready();
    EXPECT_TRUE(irq);
}

}  // namespace

}  // namespace efc_test
