// The core as the ARM7TDMI behaves: exception entry and return, nested IRQs
// through the AIC, the FIQ, aborts and undefined instructions, and the ELF
// loader's refusals. The programs are small assembly files built for the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "sim/machine.h"

namespace {

using sim::Exception;
using sim::Machine;

constexpr uint32_t RAM = 0x00200000;

struct Program {
    board::Board board;
    Machine machine{board};
    explicit Program(const std::string &name)
    {
        std::string error;
        auto image = sim::ElfImage::load(std::string(PROGRAMS_DIR) + "/" + name + ".elf", error);
        EXPECT_TRUE(image) << error;
        if (image)
            machine.load(*image);
    }
    uint32_t word(uint32_t address)
    {
        uint32_t v = 0;
        EXPECT_TRUE(machine.peek(address, reinterpret_cast<uint8_t *>(&v), 4));
        return v;
    }
    uint32_t symbol(const char *name)
    {
        auto a = machine.image()->address_of(name);
        EXPECT_TRUE(a) << name;
        return a.value_or(0xFFFFFFF0);
    }
};

TEST(Cpu, ResetStateIsSupervisorArmWithInterruptsOff)
{
    Program p("faults");
    EXPECT_EQ(p.machine.cpu().pc(), 0u);
    EXPECT_EQ(p.machine.cpu().cpsr() & 0xFFu, 0xD3u);
}

TEST(Cpu, ExceptionsFromThumbReturnWithFlagsModeAndState)
{
    Program p("faults");
    p.machine.run_for(200 * board::kPicosPerMs);
    uint32_t swi = p.symbol("swi_site"), undef = p.symbol("undef_site"), abort = p.symbol("abort_site");
    EXPECT_EQ(p.word(RAM + 0), swi + 2) << "SWI: lr is the next Thumb instruction";
    EXPECT_EQ(p.word(RAM + 4) & 0x600000FFu, 0x600000F3u) << "SWI: spsr holds Z, C, IRQ and FIQ masked, Thumb, supervisor";
    EXPECT_EQ(p.word(RAM + 8), undef + 2) << "undefined: lr is the next Thumb instruction";
    EXPECT_EQ(p.word(RAM + 12) & 0xFFu, 0xF3u);
    EXPECT_EQ(p.word(RAM + 16), abort + 8) << "data abort: lr is the faulting instruction + 8";
    EXPECT_EQ(p.word(RAM + 20) & 0x600000FFu, 0x600000F3u);
    EXPECT_EQ(p.word(RAM + 24), 0x600Du) << "flags survived the three exceptions";
    EXPECT_EQ(p.word(RAM + 28), 0x44u) << "execution went on after the faulting load";

    ASSERT_EQ(p.machine.faults().size(), 2u);
    EXPECT_EQ(p.machine.faults()[0].what, "undefined instruction");
    EXPECT_EQ(p.machine.faults()[0].pc, undef);
    EXPECT_EQ(p.machine.faults()[1].data_address, 0x00300000u);
    EXPECT_EQ(p.machine.faults()[1].pc, abort);
    EXPECT_EQ(p.machine.exceptions_taken(Exception::SoftwareInterrupt), 1u);

    auto parked = p.machine.parked();
    ASSERT_TRUE(parked);
    EXPECT_EQ(parked->where, "park");
    EXPECT_EQ(parked->registers.cpsr & 0x3Fu, 0x33u) << "parked in supervisor mode, Thumb state";
}

TEST(Cpu, NestedIrqOfHigherPriorityAndFiqFromItsVector)
{
    Program p("interrupts");
    p.machine.run_for(200 * board::kPicosPerMs);
    EXPECT_EQ(p.word(RAM + 4), 1u) << "low-priority handler started first";
    EXPECT_EQ(p.word(RAM + 8), 2u) << "the higher priority preempted it";
    EXPECT_EQ(p.word(RAM + 12), 3u) << "and the first handler then finished";
    EXPECT_EQ(p.word(RAM + 16), 0x600Du) << "Thumb code resumed with its flags";
    EXPECT_EQ(p.word(RAM + 20), 0xCAFE0000u) << "FVR gave SVR[0]";
    EXPECT_EQ(p.word(RAM + 24) & 0xFFu, 0x33u) << "FIQ interrupted Thumb supervisor code";
    EXPECT_EQ(p.word(RAM + 28) & 0xFFu, 0xD1u) << "FIQ mode, IRQ and FIQ masked, ARM state";
    EXPECT_EQ(p.word(RAM + 32), 0xF1F0u) << "returned from the FIQ";
    EXPECT_EQ(p.machine.exceptions_taken(Exception::Irq), 2u);
    EXPECT_EQ(p.machine.exceptions_taken(Exception::Fiq), 1u);
    EXPECT_EQ(p.board.aic.stack_depth(), 0u) << "both IRQs ended with EOICR";
    EXPECT_TRUE(p.machine.faults().empty());
}

TEST(Cpu, SameProgramSameCycles)
{
    Program a("interrupts"), b("interrupts");
    a.machine.run_for(200 * board::kPicosPerMs);
    b.machine.run_for(200 * board::kPicosPerMs);
    EXPECT_EQ(a.machine.cycles(), b.machine.cycles());
    EXPECT_EQ(a.machine.instructions(), b.machine.instructions());
    EXPECT_EQ(a.board.clock.now(), b.board.clock.now());
}

TEST(Cpu, StoresIntoFlashAreLoggedAndLost)
{
    Program p("faults");
    uint32_t before = p.word(0x00100100);
    uint32_t v = 0x12345678;
    // A store the core makes: place one at the reset vector's target.
    // (The debugger's poke writes flash on purpose; the core's stores do not.)
    p.machine.cpu().set_reg(0, 0x00100100);
    p.machine.cpu().set_reg(1, v);
    const uint8_t str_r1_r0[4] = {0x00, 0x10, 0x80, 0xE5};   // str r1, [r0]
    const uint8_t loop[4] = {0xFE, 0xFF, 0xFF, 0xEA};        // b .
    ASSERT_TRUE(p.machine.poke(0x00100200, str_r1_r0, 4));
    ASSERT_TRUE(p.machine.poke(0x00100204, loop, 4));
    p.machine.cpu().set_pc(0x00100200);
    p.machine.run_for(10 * board::kPicosPerUs);
    EXPECT_EQ(p.word(0x00100100), before);
    EXPECT_TRUE(p.board.log.contains("into flash"));
}

TEST(ElfLoader, RefusesWhatIsNotAnArmExecutableInFlashAndRam)
{
    std::string error;
    EXPECT_FALSE(sim::ElfImage::load("/nonexistent/x.elf", error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);

    std::string text = testing::TempDir() + "/not_elf.bin";
    std::ofstream(text) << "hello";
    EXPECT_FALSE(sim::ElfImage::load(text, error));
    EXPECT_NE(error.find("not an ELF file"), std::string::npos) << error;

    // A host executable: ELF, but not a 32-bit ARM one.
    EXPECT_FALSE(sim::ElfImage::load("/proc/self/exe", error));
    EXPECT_NE(error.find("32-bit"), std::string::npos) << error;
}

}  // namespace

namespace {

TEST(Cpu, BreakpointsStopBeforeTheInstructionAndSteppingGoesOn)
{
    Program p("faults");
    uint32_t undef = p.symbol("undef_site");
    p.machine.add_breakpoint(undef);
    EXPECT_EQ(p.machine.run_for(200 * board::kPicosPerMs), Machine::Stop::Breakpoint);
    EXPECT_EQ(p.machine.cpu().pc(), undef) << "stopped in the middle of a block, before the instruction";
    EXPECT_EQ(p.word(RAM + 0), p.symbol("swi_site") + 2) << "what came before it ran";
    EXPECT_TRUE(p.machine.faults().empty());
    board::Picos at = p.board.clock.now();

    p.machine.step();
    EXPECT_EQ(p.machine.cpu().pc(), 0x04u) << "the step took the undefined-instruction trap";
    EXPECT_EQ(p.machine.faults().size(), 1u);
    EXPECT_GT(p.board.clock.now(), at) << "a step costs time";

    p.machine.remove_breakpoint(undef);
    EXPECT_EQ(p.machine.run_for(200 * board::kPicosPerMs), Machine::Stop::Deadline);
    EXPECT_EQ(p.word(RAM + 24), 0x600Du);
}

TEST(Cpu, PeekReadsPeripheralsWithoutSideEffects)
{
    Program p("interrupts");
    p.machine.run_for(200 * board::kPicosPerMs);
    // AIC_IVR read through the bus acknowledges; through peek it must not.
    p.board.bus.write(0xFFFFF12C, 0x8);   // ISCR: source 3 pending again
    uint8_t v[4];
    ASSERT_TRUE(p.machine.peek(0xFFFFF100, v, 4));
    EXPECT_EQ(p.board.aic.stack_depth(), 0u);
    EXPECT_FALSE(p.machine.peek(0x00300000, v, 4)) << "nothing there";
}

}  // namespace

namespace {

// mov 1S, then subs 1S + bne taken 2S+1N = 4 cycles a pass, the last pass
// 2; with one flash wait state every ARM fetch from flash costs one more.
TEST(Timing, CountedLoopAtTheSlowClockWithAndWithoutWaitStates)
{
    Program p("timing");
    auto cycles_between = [&](const char *from, const char *to) {
        p.machine.add_breakpoint(p.symbol(from));
        EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
        EXPECT_EQ(p.machine.cpu().pc(), p.symbol(from));
        p.machine.remove_breakpoint(p.symbol(from));
        uint64_t c0 = p.machine.cycles();
        board::Picos t0 = p.board.clock.now();
        p.machine.add_breakpoint(p.symbol(to));
        EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
        EXPECT_EQ(p.machine.cpu().pc(), p.symbol(to));
        p.machine.remove_breakpoint(p.symbol(to));
        uint64_t n = p.machine.cycles() - c0;
        EXPECT_NEAR(static_cast<double>(p.board.clock.now() - t0), static_cast<double>(p.board.clock.cycles_to_picos(n)), 1.0)
            << "at the master clock";
        return n;
    };
    EXPECT_EQ(cycles_between("start0", "park0"), 1u + 99 * 4 + 2);
    EXPECT_EQ(p.machine.flash_wait_states(), 0u);
    EXPECT_EQ(cycles_between("start1", "park1"), 2u + 99 * 8 + 4);
    EXPECT_EQ(p.machine.flash_wait_states(), 1u);
    EXPECT_NEAR(p.board.clock.master_hz(), 32768.0, 1.0) << "still on the slow clock";
}

}  // namespace

namespace {

TEST(Timing, BreakpointInALoopStopsEveryPassAndRunsRespectTheirDeadline)
{
    Program p("timing");
    uint32_t loop = p.symbol("loop0");
    p.machine.add_breakpoint(loop);
    EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
    uint64_t c0 = p.machine.cycles();
    EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Breakpoint);
    EXPECT_EQ(p.machine.cpu().pc(), loop);
    EXPECT_EQ(p.machine.cycles() - c0, 4u) << "one pass of subs and a taken bne";
    EXPECT_EQ(p.machine.cpu().reg(0), 99u);
    p.machine.remove_breakpoint(loop);
    // A breakpoint the run never reaches: the run ends at its deadline.
    p.machine.add_breakpoint(0x00100FF0);
    board::Picos t = p.board.clock.now();
    EXPECT_EQ(p.machine.run_for(100 * board::kPicosPerMs), Machine::Stop::Deadline);
    EXPECT_GE(p.board.clock.now(), t + 100 * board::kPicosPerMs);
    EXPECT_LT(p.board.clock.now(), t + 101 * board::kPicosPerMs);
}

}  // namespace

namespace {

TEST(Cpu, AnObserverCanStopTheRunBeforeABlockAndEveryInstructionIsSeen)
{
    Program p("faults");
    uint32_t park = p.symbol("park");
    std::vector<uint32_t> seen;
    p.machine.set_instruction_observer([&](uint32_t a) { seen.push_back(a); });
    p.machine.set_block_observer([&](uint32_t a, uint32_t) {
        if (a == park)
            p.machine.request_stop();
    });
    EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Requested);
    EXPECT_EQ(p.machine.cpu().pc(), park);
    EXPECT_EQ(p.word(RAM + 24), 0x600Du) << "everything before the park ran";
    EXPECT_NE(std::find(seen.begin(), seen.end(), p.symbol("swi_site")), seen.end());
    p.machine.set_block_observer(nullptr);
    p.machine.set_instruction_observer(nullptr);
    EXPECT_EQ(p.machine.run_for(board::kPicosPerMs), Machine::Stop::Deadline);
}

}  // namespace
