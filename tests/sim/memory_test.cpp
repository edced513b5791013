// The internal memories as the chip's memory controller decodes them, run by
// the program memory.s: each memory repeats within its 1 MiB area, code
// written by a DMA runs as written, and the flash cannot be read while a
// flash command runs, by the core or by the PDC.
#include <gtest/gtest.h>

#include "sim/machine/rule_report.h"
#include "tests/sim/program.h"

namespace memory_test {

namespace {

using simtest::Program;
using simtest::RAM;

constexpr uint32_t kOut = RAM + 0x400;

struct Memory : Program {
    Memory() : Program("memory")
    {
        sim::attach_pc_source(board.log.rules, machine);
        machine.run_for(board::kPicosPerSecond);
    }
};

TEST(Memory, EachMemoryRepeatsWithinItsMegabyteForLoadsStoresAndFetches)
{
    Memory m;
    const uint32_t marker = m.word(m.symbol("marker"));
    EXPECT_EQ(m.word(kOut + 0x10), marker) << "flash at 0x00140000 on";
    EXPECT_EQ(m.word(kOut + 0x14), marker) << "flash at 0x001C0000 on";
    EXPECT_EQ(m.word(kOut + 0x18), marker) << "flash through the boot alias at 0x00040000 on";
    EXPECT_EQ(m.word(kOut + 0x1C), 0x600DF00Du) << "RAM at 0x00210010";
    EXPECT_EQ(m.word(kOut + 0x20), 0x600DF00Du) << "RAM at 0x002F0010";
    EXPECT_EQ(m.word(kOut + 0x24), 0xBEEF0001u) << "stored at 0x002F0020, read at 0x00200020";
    EXPECT_EQ(m.word(kOut + 0x28), 0x0000A11Au) << "code run from a flash mirror";
    // Beyond the internal area nothing answers.
    uint8_t b;
    EXPECT_TRUE(m.machine.peek(0x002FFFFF, &b, 1));
    EXPECT_FALSE(m.machine.peek(0x00300000, &b, 1));
}

TEST(Memory, CodeTheSpiPdcWritesIntoRamRunsAsWritten)
{
    Memory m;
    EXPECT_EQ(m.word(kOut + 0x30), 0xAu) << "the routine copied by the core";
    EXPECT_EQ(m.word(kOut + 0x34), 0xBu) << "the routine the PDC received over it";
}

TEST(Memory, FlashReadWhileACommandRunsAbortsAndBreaksTheRule)
{
    Memory m;
    const uint32_t load_at = RAM + m.symbol("busy_load") - m.symbol("in_ram");
    EXPECT_EQ(m.word(kOut + 0x00), 1u) << "the load from the page being written: a data abort";
    EXPECT_EQ(m.word(kOut + 0x40), 0x77777777u) << "the aborted load left its register alone";
    EXPECT_EQ(m.word(kOut + 0x44), load_at + 8);
    EXPECT_EQ(m.word(kOut + 0x04), 2u) << "the fetches from the busy flash: prefetch aborts";
    EXPECT_EQ(m.word(kOut + 0x48), m.symbol("back_in_flash") + 4);
    EXPECT_EQ(m.word(kOut + 0x4C), 1u) << "fetched again once the flash was ready";

    const auto *rule = m.board.log.rules.find("flash read while a flash command runs");
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->pc, load_at);
    EXPECT_EQ(rule->count, 5u) << "the load, two fetches and the PDC's two bytes";
    const auto &faults = m.machine.faults();
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_EQ(faults[0].pc, load_at);
    EXPECT_EQ(faults[1].what, "prefetch abort (flash busy)");
    EXPECT_EQ(faults[1].pc, m.symbol("back_in_flash"));
}

TEST(Memory, TheTwoInstructionsFetchedBeforeAStoreStartsAFlashCommandStillRun)
{
    Memory m;
    const uint32_t busy = m.symbol("fetched_busy");
    EXPECT_EQ(m.word(kOut + 0x58), busy + 4) << "the abort comes with the third instruction after the store";
    EXPECT_EQ(m.word(kOut + 0x5C), 1u) << "the first one ran";
    EXPECT_EQ(m.word(kOut + 0x60), 1u) << "the second one ran";
    ASSERT_EQ(m.machine.faults().size(), 3u);
    EXPECT_EQ(m.machine.faults()[2].pc, busy);
}

TEST(Memory, ThePdcReadingTheBusyFlashIsAbortedByTheMemoryController)
{
    Memory m;
    EXPECT_EQ(m.word(kOut + 0x64), 0xFFFF0000u) << "two bytes moved, undefined (0), not the flash's";
    // MC_ASR: the PDC (MST1) made a byte read, neither undefined nor misaligned.
    EXPECT_EQ(m.word(kOut + 0x68) & 0x00030F03u, 0x00020000u);
    EXPECT_EQ(m.word(kOut + 0x6C), m.symbol("marker") + 1) << "MC_AASR: the second byte";
    EXPECT_TRUE(m.board.log.contains("the PDC read " + board::hex32(m.symbol("marker"))));
}

}  // namespace

}  // namespace memory_test
