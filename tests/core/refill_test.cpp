// A Thumb pipeline refill through the read buffers is two fetches, the
// target and the halfword after it, worked out at once: from every state
// of the buffers around the target's word (held, read ahead, its
// neighbours, nothing), with the read ahead over or still under way, it
// must leave the cycles and the buffers as the two fetches one after the
// other do.
#include <gtest/gtest.h>

#include "sim/core/delay_loop.h"   // Cpu with its loops

namespace refill_test {

using sim::core::Cpu;

TEST(CoreRefill, TheSameAsItsTwoFetchesOneAfterTheOther)
{
    constexpr uint64_t kNow = 1000;
    for (uint32_t wait : {0u, 1u, 3u}) {
        for (uint32_t target : {0x100u, 0x102u}) {
            const uint64_t word = target & ~3u;
            for (uint64_t next : {word - 4, word - 2, word, word + 2, word + 4, word + 6, word + 8, uint64_t{1}}) {
                for (uint64_t ready : {uint64_t{0}, kNow - 1, kNow, kNow + 1, kNow + 2, kNow + 5}) {
                    SCOPED_TRACE(testing::Message() << "wait " << wait << ", target " << target << ", next "
                                                    << next << ", read ahead until " << ready);
                    Cpu at_once, stepwise;
                    for (Cpu *c : {&at_once, &stepwise}) {
                        c->code_buffered = true;
                        c->code_wait = wait;
                        c->cycles = kNow;
                        c->read_buffer.next = next;
                        c->read_buffer.ahead_ready = ready;
                    }
                    at_once.refill_buffered(target);
                    stepwise.fetch_buffered_general(target);
                    stepwise.fetch_buffered(target + 2);
                    EXPECT_EQ(at_once.cycles, stepwise.cycles);
                    EXPECT_EQ(at_once.read_buffer.next, stepwise.read_buffer.next);
                    EXPECT_EQ(at_once.read_buffer.ahead_ready, stepwise.read_buffer.ahead_ready);
                }
            }
        }
    }
}

}  // namespace refill_test
