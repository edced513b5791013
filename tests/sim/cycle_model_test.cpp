// The cycle estimate against sequences counted by hand from the ARM7TDMI's
// instruction timings (S, N, I) and the flash wait states.
#include <gtest/gtest.h>

#include <vector>

#include "sim/cycle_model.h"

namespace {

std::vector<uint8_t> arm(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> b;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return b;
}

std::vector<uint8_t> thumb(std::initializer_list<uint16_t> halves)
{
    std::vector<uint8_t> b;
    for (uint16_t h : halves) {
        b.push_back(static_cast<uint8_t>(h));
        b.push_back(static_cast<uint8_t>(h >> 8));
    }
    return b;
}

sim::BlockCost cost(const std::vector<uint8_t> &code, uint32_t at, bool is_thumb, bool flash)
{
    return sim::block_cost(code.data(), at, static_cast<uint32_t>(code.size()), is_thumb, flash);
}

TEST(CycleModel, ArmSequenceInRamAndInFlash)
{
    // add 1S; ldr 1S+1N+1I; str 2N; ldmia {r0-r3} 4S+1N+1I; stmdb {r0,r1} 1S+2N; bx 2S+1N
    auto code = arm({0xE0800001, 0xE5932000, 0xE5832000, 0xE8BD000F, 0xE92D0003, 0xE12FFF1E});
    auto ram = cost(code, 0x00200000, false, false);
    EXPECT_EQ(ram.charge(1), 1u + 3 + 2 + 6 + 3 + 3) << "RAM has no wait states";
    // In flash every ARM code fetch pays: one per instruction, three for bx.
    auto flash = cost(code, 0x00100000, false, true);
    EXPECT_EQ(flash.charge(0), 18u);
    EXPECT_EQ(flash.charge(1), 18u + 8);
    EXPECT_EQ(flash.instructions, 6u);
}

TEST(CycleModel, ThumbFetchesPayOncePerWordAndLiteralsPay)
{
    // movs (aligned) 1S, pays; movs 1S, buffered; ldr literal (aligned)
    // 1S+1N+1I, fetch and literal pay; b 2S+1N, target and refill pay.
    auto code = thumb({0x2001, 0x2102, 0x4900, 0xE7FE});
    auto c = cost(code, 0x00100000, true, true);
    EXPECT_EQ(c.charge(0), 8u);
    EXPECT_EQ(c.charge(1), 13u);
    EXPECT_FALSE(c.self_loop);
    // muls: 1S plus m = 2 internal cycles.
    EXPECT_EQ(cost(thumb({0x4348}), 0x00200000, true, false).charge(1), 3u);
}

TEST(CycleModel, ConditionalBranchAtTheEndIsChargedWhenTaken)
{
    auto c = cost(arm({0xE0800001, 0x1AFFFFFE}), 0x00100000, false, true);   // add; bne .
    EXPECT_TRUE(c.conditional_end);
    EXPECT_EQ(c.charge(1), 2u + 2) << "not taken: 1S each, both fetches pay";
    EXPECT_EQ(c.taken_charge(1), 2u + 2) << "taken adds 1S+1N, both from flash";
    EXPECT_TRUE(cost(thumb({0xE7FE}), 0x00100000, true, true).self_loop) << "b . is a park";
    EXPECT_TRUE(cost(arm({0xEAFFFFFE}), 0x00100000, false, true).self_loop);
}

}  // namespace
