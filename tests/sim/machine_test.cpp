// The machine as the chip behaves: exception entry and return, nested IRQs
// through the AIC, the FIQ, precise aborts recorded by the memory
// controller, SWP on a peripheral, undefined instructions, breakpoints,
// observers, and the ELF loader's refusals. The programs are small assembly
// files built for the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <tuple>

#include "tests/sim/program.h"

namespace machine_test {

namespace {

using sim::Exception;
using sim::Machine;
using simtest::Program;
using simtest::RAM;

TEST(Machine, ResetStateIsSupervisorArmWithInterruptsOff)
{
    Program p("faults");
    EXPECT_EQ(p.machine.cpu().pc(), 0u);
    EXPECT_EQ(p.machine.cpu().cpsr() & 0xFFu, 0xD3u);
}

TEST(Machine, ExceptionsFromThumbReturnWithFlagsModeAndState)
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
    // Each report as the core met the fault, not as the run's end found it.
    const auto &u = p.machine.faults()[0].registers;
    EXPECT_EQ(u.r[15], undef);
    EXPECT_EQ(u.cpsr & 0x600000FFu, 0x600000F3u) << "the mode, state and flags of the trapping code";
    EXPECT_EQ(u.r[1], 0u) << "r1 is loaded only after the undefined instruction";
    EXPECT_LT(p.machine.faults()[0].time, p.machine.faults()[1].time);
    EXPECT_LT(p.machine.faults()[1].time, 20 * board::kPicosPerMs) << "a few hundred slow-clock cycles in";
    EXPECT_EQ(p.machine.faults()[1].data_address, 0x00300000u);
    EXPECT_EQ(p.machine.faults()[1].pc, abort);
    EXPECT_EQ(p.machine.exceptions_taken(Exception::SoftwareInterrupt), 1u);

    auto parked = p.machine.parked();
    ASSERT_TRUE(parked);
    EXPECT_EQ(parked->where, "park");
    EXPECT_EQ(parked->registers.cpsr & 0x3Fu, 0x33u) << "parked in supervisor mode, Thumb state";
}

TEST(Machine, NestedIrqOfHigherPriorityAndFiqFromItsVector)
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
    // nIRQ falls 4.5 master-clock cycles after the edge set through ISCR,
    // on the next clock edge: the store's own cycle ends, four more run.
    EXPECT_EQ(p.word(RAM + 36), 4u) << "single-cycle instructions between the ISCR write and the IRQ";
    EXPECT_EQ(p.machine.exceptions_taken(Exception::Irq), 2u);
    EXPECT_EQ(p.machine.exceptions_taken(Exception::Fiq), 1u);
    EXPECT_EQ(p.board.aic.stack_depth(), 0u) << "both IRQs ended with EOICR";
    EXPECT_TRUE(p.machine.faults().empty());
}

TEST(Machine, SameProgramSameCycles)
{
    Program a("interrupts"), b("interrupts");
    a.machine.run_for(200 * board::kPicosPerMs);
    b.machine.run_for(200 * board::kPicosPerMs);
    EXPECT_EQ(a.machine.cycles(), b.machine.cycles());
    EXPECT_EQ(a.machine.instructions(), b.machine.instructions());
    EXPECT_EQ(a.board.clock.now(), b.board.clock.now());
}

TEST(Machine, StoresIntoFlashFillThePageLatchAndLeaveTheArray)
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
    p.machine.cpu().set_reg(15, 0x00100200);
    p.machine.run_for(10 * board::kPicosPerUs);
    EXPECT_EQ(p.word(0x00100100), before);
    const auto &latch = p.board.mc.efc().latch();
    EXPECT_EQ(latch[0] | latch[1] << 8 | latch[2] << 16 | uint32_t{latch[3]} << 24, v) << "the word at its offset in a page";
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

TEST(Machine, BreakpointsStopBeforeTheInstructionAndSteppingGoesOn)
{
    Program p("faults");
    uint32_t undef = p.symbol("undef_site");
    p.machine.add_breakpoint(undef);
    EXPECT_EQ(p.machine.run_for(200 * board::kPicosPerMs), Machine::Stop::Breakpoint);
    EXPECT_EQ(p.machine.cpu().pc(), undef) << "stopped before the instruction";
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

TEST(Machine, PeekReadsPeripheralsWithoutSideEffects)
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

// A store reaches its register with the board's clock at the store's own
// cycle, after the events due before it, each at its own cycle; a bus
// observer, however late it came, sees the store there, also one that moves
// no line.
TEST(Machine, AStoreReachesItsModelAtItsOwnCycleAfterTheEventsBeforeIt)
{
    board::Board b;
    Machine m(b);
    constexpr uint32_t kOer = 0xFFFFF410, kSodr = 0xFFFFF430, kCodr = 0xFFFFF434, kPdsr = 0xFFFFF43C;
    constexpr uint32_t kLed = 1u << 16;
    ASSERT_TRUE(m.data_write(kOer, 4, kLed));
    std::vector<board::Picos> edges, watched;
    b.pa.add_listener([&](uint32_t, uint32_t) { edges.push_back(b.clock.now()); }, kLed);
    struct Step {
        uint64_t ahead;   // the core's cycles past the board's clock
        bool event;       // one due in the first of them
        bool watch;
        uint32_t reg;
        bool moves;
    };
    const Step steps[] = {
        {3, false, false, kSodr, true}, {5, true, false, kCodr, true}, {0, false, false, kCodr, false},
        {2, false, true, kSodr, true},  {4, true, true, kSodr, false}, {1, false, true, kCodr, true},
    };
    bool observing = false;
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step &s = steps[i];
        if (s.watch && !observing) {
            b.bus.add_observer([&](const board::Access &a) {
                if (a.write) watched.push_back(b.clock.now());
            });
            observing = true;
        }
        const uint64_t start = b.clock.cycles();
        uint64_t event_cycle = 0;
        bool level_at_event = false;
        if (s.event) {
            b.clock.schedule_at(b.clock.now() + 1, [&] {
                event_cycle = b.clock.cycles();
                level_at_event = b.pa.level(16);
            });
            uint32_t v;
            ASSERT_TRUE(m.data_read(kPdsr, 4, v));   // the machine learns of it as from a model
        }
        const bool before = b.pa.level(16);
        const size_t edges_before = edges.size(), watched_before = watched.size();
        m.cpu().add_cycles(s.ahead);
        ASSERT_TRUE(m.data_write(s.reg, 4, kLed)) << i;
        EXPECT_EQ(b.clock.cycles(), start + s.ahead) << i;
        EXPECT_EQ(b.pa.level(16), s.reg == kSodr) << i;
        if (s.event) {
            EXPECT_EQ(event_cycle, start + 1) << i;
            EXPECT_EQ(level_at_event, before) << i;
        }
        EXPECT_EQ(edges.size(), edges_before + s.moves) << i;
        if (s.moves && !edges.empty()) {
            EXPECT_EQ(edges.back(), b.clock.now()) << i;
        }
        EXPECT_EQ(watched.size(), watched_before + s.watch) << i;
        if (s.watch && !watched.empty()) {
            EXPECT_EQ(watched.back(), b.clock.now()) << i;
        }
    }
}

// The core's word stores to a port's registers go straight to them while no
// event is due by their cycle; with an observer on the bus each goes the
// whole way round. An event due at a store's own cycle, or a picosecond
// either side of it, finds the line and the controller's latched changes as
// the whole way leaves them, and every edge comes at the same time.
TEST(Machine, CoreStoresToAPortMeetEventsAsTheWholeWayDoes)
{
    constexpr uint32_t kLed = 1u << 16;
    struct Seen {
        std::vector<board::Picos> edges, stores;
        std::vector<std::tuple<uint64_t, bool, uint32_t>> at_events;   // cycle, the LED line, PIO ISR
        bool operator==(const Seen &) const = default;
    };
    auto run = [&](bool whole, const std::vector<board::Picos> &events) {
        Program p("port_stores");
        Seen s;
        p.board.pa.add_listener([&](uint32_t, uint32_t) { s.edges.push_back(p.board.clock.now()); }, kLed);
        if (whole)
            p.board.bus.add_observer([&](const board::Access &a) {
                if (a.write && (a.address & ~0xFu) == 0xFFFFF430) s.stores.push_back(a.time);
            });
        for (board::Picos t : events)
            p.board.clock.schedule_at(t, [&] {
                s.at_events.emplace_back(p.board.clock.cycles(), p.board.pa.level(16), p.board.pioa.isr());
            });
        p.machine.run_for(100 * board::kPicosPerMs);
        EXPECT_EQ(p.machine.cpu().pc(), p.symbol("park"));
        return s;
    };
    const std::vector<board::Picos> stores = run(true, {}).stores;
    ASSERT_EQ(stores.size(), 200u);
    for (int offset : {-1, 0, 1}) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        std::vector<board::Picos> events;
        for (size_t k : {9, 18, 27, 36})   // each of the loop's four stores
            events.push_back(stores[k] + offset);
        Seen whole = run(true, events), straight = run(false, events);
        straight.stores = whole.stores;
        ASSERT_EQ(whole.at_events.size(), events.size());
        EXPECT_EQ(whole.edges.size(), 201u) << "the line driven, then four edges a round";
        EXPECT_TRUE(straight == whole);
    }
}

// An observer that comes to the bus while the core's stores go straight to
// the port's registers sees every store from then on, at the time the line
// moves.
TEST(Machine, AnObserverComingMidRunSeesTheCoresPortStores)
{
    constexpr uint32_t kLed = 1u << 16;
    Program p("port_stores");
    std::vector<board::Picos> edges, stores;
    p.board.pa.add_listener([&](uint32_t, uint32_t) {
        edges.push_back(p.board.clock.now());
        if (edges.size() == 21) p.machine.request_stop();   // the line driven, then 20 stores
    }, kLed);
    ASSERT_EQ(p.machine.run_for(100 * board::kPicosPerMs), Machine::Stop::Requested);
    p.board.bus.add_observer([&](const board::Access &a) {
        if (a.write && (a.address & ~0xFu) == 0xFFFFF430) stores.push_back(a.time);
    });
    p.machine.run_for(100 * board::kPicosPerMs);
    EXPECT_EQ(p.machine.cpu().pc(), p.symbol("park"));
    ASSERT_EQ(stores.size(), 180u);
    EXPECT_TRUE(std::equal(stores.begin(), stores.end(), edges.begin() + 21));
}

}  // namespace

namespace {

// Stops the run when execution is about to reach `at`, and keeps every
// instruction address it is told of.
struct StopAt : sim::ExecutionObserver {
    Machine &machine;
    uint32_t at;
    std::vector<uint32_t> seen;
    StopAt(Machine &m, uint32_t a) : machine(m), at(a) {}
    void executed(uint32_t pc, bool, uint32_t, bool, uint32_t, uint32_t next_pc) override
    {
        seen.push_back(pc);
        if (next_pc == at)
            machine.request_stop();
    }
    void exception(Exception, uint32_t, uint32_t) override {}
    void repeated(uint32_t, uint32_t, bool, uint64_t, uint64_t) override {}
    void accessed(uint32_t, uint32_t, unsigned, bool, uint32_t) override {}
};

TEST(Machine, AnObserverCanStopTheRunAndEveryInstructionIsSeen)
{
    Program p("faults");
    uint32_t park = p.symbol("park");
    StopAt stop(p.machine, park);
    p.machine.set_execution_observer(&stop);
    EXPECT_EQ(p.machine.run_for(board::kPicosPerSecond), Machine::Stop::Requested);
    EXPECT_EQ(p.machine.cpu().pc(), park);
    EXPECT_EQ(p.word(RAM + 24), 0x600Du) << "everything before the park ran";
    EXPECT_NE(std::find(stop.seen.begin(), stop.seen.end(), p.symbol("swi_site")), stop.seen.end());
    EXPECT_EQ(stop.seen.size(), p.machine.instructions());
    p.machine.remove_execution_observer(&stop);
    EXPECT_EQ(p.machine.run_for(board::kPicosPerMs), Machine::Stop::Deadline);
}

}  // namespace

namespace {

TEST(Machine, AbortsAreTakenOnceOnTheFaultingInstructionAndRecordedByTheMemoryController)
{
    Program p("aborts");
    p.machine.run_for(100 * board::kPicosPerMs);
    ASSERT_EQ(p.word(RAM), 3u) << "three aborts, each taken once";
    EXPECT_EQ(p.machine.exceptions_taken(Exception::DataAbort), 3u);
    auto entry = [&](int n, int field) { return p.word(RAM + 0x40 + 16 * n + 4 * field); };

    // MC_ASR: UNDADD b0, MISADD b1, size b8..9 (2 word), type b10..11 (0
    // read, 1 write), MST0 b16 (the core).
    EXPECT_EQ(entry(0, 0), p.symbol("store_site") + 8) << "lr: the faulting store + 8";
    EXPECT_EQ(entry(0, 1), 0x00010601u) << "undefined address, word write by the core";
    EXPECT_EQ(entry(0, 2), 0x00300000u);
    EXPECT_EQ(p.word(RAM + 16), 3u) << "the adds before the store ran once each";

    EXPECT_EQ(entry(1, 0), p.symbol("load_site") + 8);
    EXPECT_EQ(entry(1, 1), 0x00010202u) << "misaligned word read";
    EXPECT_EQ(entry(1, 2), RAM + 0x41);
    EXPECT_EQ(p.word(RAM + 32), 0x77u) << "the aborted load left its register alone";

    EXPECT_EQ(entry(2, 0), p.symbol("store2_site") + 8);
    EXPECT_EQ(entry(2, 1), 0x00010602u) << "misaligned word write";
    EXPECT_EQ(entry(2, 2), RAM + 0x102);
    EXPECT_EQ(p.word(RAM + 44), 0x11223344u) << "the aborted store wrote nothing";

    const auto &faults = p.machine.faults();
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_EQ(faults[0].pc, p.symbol("store_site"));
    EXPECT_EQ(faults[0].data_address, 0x00300000u);
    EXPECT_EQ(faults[0].registers.r[5], 3u) << "the registers as the store found them";
    EXPECT_EQ(faults[1].pc, p.symbol("load_site"));
    EXPECT_NE(faults[1].what.find("misaligned"), std::string::npos) << faults[1].what;
}

TEST(Machine, SwpOnAPeripheralReadsThenWritesTheRegisterAtConsecutiveCycles)
{
    Program p("aborts");
    p.machine.add_breakpoint(p.symbol("swp_site"));
    ASSERT_EQ(p.machine.run_for(100 * board::kPicosPerMs), Machine::Stop::Breakpoint);
    p.board.bus.set_recording(true);
    p.machine.step();
    p.board.bus.set_recording(false);
    const auto &seen = p.board.bus.recorded();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].write);
    EXPECT_EQ(seen[0].address, 0xFFFFF084u);
    EXPECT_EQ(seen[0].value, 0x00101234u);
    EXPECT_TRUE(seen[1].write);
    EXPECT_EQ(seen[1].address, 0xFFFFF084u);
    EXPECT_EQ(seen[1].value, 0x00105678u);
    // 1S+2N+1I: the read is the first N, the write the next cycle.
    EXPECT_NEAR(static_cast<double>(seen[1].time - seen[0].time), static_cast<double>(p.board.clock.cycles_to_picos(1)), 1.0);
    p.machine.remove_breakpoint(p.symbol("swp_site"));
    p.machine.run_for(10 * board::kPicosPerMs);
    EXPECT_EQ(p.word(RAM + 48), 0x00101234u);
    EXPECT_EQ(p.word(RAM + 52), 0x00105678u);
}

TEST(Machine, WatchpointsStopRightAfterTheAccessOnPeripheralsToo)
{
    Program p("aborts");
    p.machine.set_watchpoints({{0xFFFFF084, 4, false, true}});   // AIC_SVR1, writes
    ASSERT_EQ(p.machine.run_for(100 * board::kPicosPerMs), Machine::Stop::Watchpoint);
    auto hit = p.machine.last_watch_hit();
    EXPECT_TRUE(hit.write);
    EXPECT_EQ(hit.address, 0xFFFFF084u);
    EXPECT_EQ(hit.value, 0x00101234u);
    EXPECT_EQ(p.machine.cpu().pc(), hit.pc + 4) << "stopped after the store, before the next instruction";
    EXPECT_EQ(p.board.aic.peek(0x84), 0x00101234u);

    ASSERT_EQ(p.machine.run_for(100 * board::kPicosPerMs), Machine::Stop::Watchpoint);
    hit = p.machine.last_watch_hit();
    EXPECT_EQ(hit.pc, p.symbol("swp_site")) << "SWP's read is not watched, its write is";
    EXPECT_EQ(hit.value, 0x00105678u);
    p.machine.set_watchpoints({});
    EXPECT_EQ(p.machine.run_for(10 * board::kPicosPerMs), Machine::Stop::Deadline);
}

}  // namespace

TEST(Machine, DebugUnitStatusShowsTheCoresDebugChannel)
{
    board::Board b;
    Machine m{b};
    constexpr uint32_t kCommTx = 1u << 30, kCommRx = 1u << 31;
    auto sr = [&] {
        uint32_t v = 0;
        EXPECT_TRUE(m.peek(0xFFFFF214, reinterpret_cast<uint8_t *>(&v), 4));
        return v & (kCommTx | kCommRx);
    };
    EXPECT_EQ(sr(), kCommTx) << "nothing written either way: the core may write";
    m.cpu().debug_channel().debugger_writes(0x1234);
    EXPECT_EQ(sr(), kCommTx | kCommRx);
    m.cpu().debug_channel().core_writes(0x5678);
    EXPECT_EQ(sr(), kCommRx) << "the core's word waits for the debugger";
    m.cpu().debug_channel().core_reads();
    m.cpu().debug_channel().debugger_reads();
    EXPECT_EQ(sr(), kCommTx);
}

}  // namespace machine_test
