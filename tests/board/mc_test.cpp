// The memory controller model: flash mode register, remap, abort status.
#include <gtest/gtest.h>

#include "board/chip_flash.h"
#include "board/clock.h"
#include "board/mc.h"

namespace mc_test {

namespace {

enum : uint32_t { RCR = 0x00, ASR = 0x04, AASR = 0x08, FMR = 0x60, FCR = 0x64, FSR = 0x68 };

struct McTest : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    board::ChipFlash flash;
    board::Mc mc{clock, log, flash};
};

TEST_F(McTest, FlashModeGivesTheWaitStates)
{
    EXPECT_EQ(mc.read(FMR), 0u);
    EXPECT_EQ(mc.flash_wait_states(), 0u);
    mc.write(FMR, 0x00300100);
    EXPECT_EQ(mc.read(FMR), 0x00300100u);
    EXPECT_EQ(mc.flash_wait_states(), 1u);
    EXPECT_EQ(mc.fmcn(), 48u);
    mc.write(FMR, 0xFFFFFFFF);
    EXPECT_EQ(mc.flash_wait_states(), 3u);
    EXPECT_EQ(mc.read(FMR), 0x00FF038Du) << "reserved bits read 0";
    mc.reset();
    EXPECT_EQ(mc.flash_wait_states(), 0u);
}

TEST_F(McTest, RemapTogglesAndIsLogged)
{
    int told = 0;
    mc.set_map_listener([&] { ++told; });
    EXPECT_FALSE(mc.remapped());
    mc.write(RCR, 0);
    EXPECT_EQ(told, 0) << "RCB 0 changes nothing";
    mc.write(RCR, 1);
    EXPECT_EQ(told, 1) << "the owner of the memory map is told of the remap";
    mc.write(FMR, 0x00000100);
    EXPECT_EQ(told, 2) << "and of the wait states";
    EXPECT_TRUE(mc.remapped());
    mc.write(RCR, 1);
    EXPECT_FALSE(mc.remapped());
    EXPECT_EQ(log.count_from("MC"), 2u);
    EXPECT_EQ(mc.read(ASR), 0u);
    EXPECT_EQ(mc.read(AASR), 0u);
    mc.read(RCR);
    mc.write(0x70, 0);
    EXPECT_EQ(log.count_from("MC"), 4u);
}

TEST_F(McTest, AbortStatusKeepsTheLastAbortAndSavesTheMasterItReplaced)
{
    using T = board::Mc::AbortType;
    mc.record_abort(board::Mc::kMasterCore, 0x00300000, 4, T::Write, true, false);
    EXPECT_EQ(mc.peek(ASR), 0x00010000u | 2u << 8 | 1u << 10 | 1u) << "undefined address, word, data write, core";
    EXPECT_EQ(mc.read(AASR), 0x00300000u);
    EXPECT_EQ(mc.read(ASR), 0x00010601u);

    // Read, then replaced: no saved master.
    mc.record_abort(board::Mc::kMasterCore, 0x00200041, 2, T::Read, false, true);
    EXPECT_EQ(mc.peek(ASR), 0x00010000u | 1u << 8 | 0u << 10 | 2u) << "misaligned halfword read";
    // Not read before the next abort: its master is saved, until ASR is read.
    mc.record_abort(board::Mc::kMasterPdc, 0x10000000, 1, T::Read, true, false);
    EXPECT_EQ(mc.read(ASR), 0x01020001u) << "PDC now, core saved";
    EXPECT_EQ(mc.read(ASR), 0x00020001u) << "reading ASR cleared the saved master";
    EXPECT_EQ(mc.read(AASR), 0x10000000u);
    mc.record_abort(board::Mc::kMasterCore, 0x0000000C, 4, T::Fetch, true, false);
    EXPECT_EQ(mc.peek(ASR) >> 10 & 3u, 2u) << "code fetch";
    mc.reset();
    EXPECT_EQ(mc.read(ASR), 0u);
    EXPECT_EQ(mc.read(AASR), 0u);
}

}  // namespace

}  // namespace mc_test
