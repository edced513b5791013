// What debuggers and tracers get from the core: breakpoints before the
// instruction (and a run resuming from one), watchpoints after the access,
// the observer's view of instructions, accesses and exceptions, and a
// refusal of memory regions the core cannot use.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/core/core_harness.h"

namespace tools_test {

using coretest::Board;
using coretest::kRam;

namespace {

const char *kProgram = R"(
        ldr r4, =0x00200010
        mov r0, #5
    first:
        str r0, [r4]
    second:
        ldr r1, [r4, #4]
        swi 0x12
        add r2, r0, r1
        ldr r1, =0xFFF0FFF0
        str r1, [r1]
    svc:
        movs pc, lr
        .ltorg
)";

class Recorder : public sim::ExecutionObserver {
public:
    struct Executed {
        uint32_t pc;
        bool passed;
        uint32_t cycles, next;
    };
    void executed(uint32_t pc, bool, uint32_t, bool passed, uint32_t cycles, uint32_t next_pc) override
    {
        order.push_back('x');
        runs.push_back({pc, passed, cycles, next_pc});
    }
    void exception(sim::Exception e, uint32_t link, uint32_t) override
    {
        order.push_back('e');
        exceptions.push_back({e, link});
    }
    void repeated(uint32_t, uint32_t, bool, uint64_t, uint64_t) override {}
    void accessed(uint32_t pc, uint32_t address, unsigned size, bool write, uint32_t value) override
    {
        order.push_back('a');
        accesses.push_back({pc, address, size, write, value});
    }
    std::string order;
    std::vector<Executed> runs;
    std::vector<std::pair<sim::Exception, uint32_t>> exceptions;
    std::vector<sim::Arm7tdmi::WatchHit> accesses;
};

}  // namespace

TEST(CoreTools, BreakpointStopsBeforeAndARunResumesPastIt)
{
    Board b(std::string("b start\n b .\n b svc\n") + "start:\n" + kProgram);
    b.core.set_breakpoints({b.at("first"), b.at("second")});
    EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Breakpoint);
    EXPECT_EQ(b.core.pc(), b.at("first"));
    EXPECT_EQ(b.ram_word(kRam + 0x10), 0u) << "the store has not run";
    EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Breakpoint);
    EXPECT_EQ(b.core.pc(), b.at("second"));
    EXPECT_EQ(b.ram_word(kRam + 0x10), 5u);
    b.core.set_breakpoints({});
    EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
}

TEST(CoreTools, WatchpointStopsAfterTheInstructionThatTouchedTheRange)
{
    Board b(std::string("b start\n b .\n b svc\n") + "start:\n" + kProgram);
    b.core.set_watchpoints({{kRam + 0x12, 1, false, true}, {kRam + 0x14, 4, true, false}});
    EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Watchpoint);
    EXPECT_EQ(b.core.pc(), b.at("second"));
    sim::Arm7tdmi::WatchHit hit = b.core.last_watch_hit();
    EXPECT_EQ(hit.pc, b.at("first"));
    EXPECT_EQ(hit.address, kRam + 0x10);
    EXPECT_EQ(hit.size, 4u);
    EXPECT_TRUE(hit.write);
    EXPECT_EQ(hit.value, 5u);
    EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Watchpoint);
    EXPECT_EQ(b.core.last_watch_hit().pc, b.at("second"));
    EXPECT_FALSE(b.core.last_watch_hit().write);
}

TEST(CoreTools, ObserverSeesEachInstructionItsAccessesAndExceptionsInOrder)
{
    Board b(std::string("b start\n b .\n b svc\n") + "start:\n" + kProgram, 1, 1);
    Recorder rec;
    b.core.set_observer(&rec);
    const uint64_t start = b.core.cycles();
    EXPECT_EQ(b.run(), sim::Arm7tdmi::Stop::Requested);
    uint64_t total = 0;
    for (const Recorder::Executed &e : rec.runs) total += e.cycles;
    EXPECT_EQ(total + 4, b.core.cycles() - start)
        << "every instruction's cycles, and the SWI entry's N and S fetches at the vector";
    // b, ldr r4 (literal), mov, str, ldr, swi, then the entry.
    EXPECT_EQ(rec.order.substr(0, 10), "xaxxaxaxxe");
    ASSERT_EQ(rec.exceptions.size(), 1u);
    EXPECT_EQ(rec.exceptions[0].first, sim::Exception::SoftwareInterrupt);
    const Recorder::Executed &swi = rec.runs[5];
    EXPECT_EQ(swi.next, 0x08u) << "an instruction raising an exception goes to its vector";
    EXPECT_EQ(rec.exceptions[0].second, swi.pc + 4);
    EXPECT_EQ(rec.accesses[1].pc, b.at("first"));
    EXPECT_EQ(rec.accesses[1].address, kRam + 0x10);
    EXPECT_EQ(b.core.reg(2), 5u);
}

TEST(CoreTools, RegionsTheCoreCannotUseAreRefusedByName)
{
    Board b("b .");
    std::vector<uint8_t> mem(0x3000);
    EXPECT_THROW(b.core.set_regions({{0x00300000, 0x3000, mem.data(), true, 0, 0, false}}), std::invalid_argument);
    EXPECT_THROW(b.core.set_regions({{0x00301000, 0x2000, mem.data(), true, 0, 0, false}}), std::invalid_argument);
    EXPECT_THROW(b.core.set_regions({{0x00300000, 0x2000, nullptr, true, 0, 0, false}}), std::invalid_argument);
    EXPECT_NO_THROW(b.core.set_regions({{0x00300000, 0x2000, mem.data(), true, 0, 0, false}}));
}

// The core's page table keeps only the regions of the last set_regions:
// memory dropped from it is reached through the bus (here: an abort).
TEST(CoreTools, ARegionDroppedLaterIsNoLongerMemory)
{
    Board b(R"(
        ldr r0, =0x00200000
        ldr r1, [r0]
        ldr r2, =0xFFF0FFF0
        str r1, [r2]
        b .
    )");
    b.core.set_regions({{0, static_cast<uint32_t>(b.flash.size()), b.flash.data(), false, 0, 0, false}});
    b.core.reset();
    b.run(10'000);
    ASSERT_EQ(b.bus.aborts.size(), 1u);
    EXPECT_EQ(b.bus.aborts[0].address, kRam);
}

}  // namespace tools_test
