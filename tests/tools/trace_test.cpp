// Traces and the run summary: line formats, interrupt latency bookkeeping
// through nesting, and disassembly of both instruction sets.
#include <gtest/gtest.h>

#include <sstream>

#include "board/board.h"
#include "sim/tools/insn_trace.h"
#include "sim/tools/irq_trace.h"
#include "sim/tools/run_summary.h"
#include "sim/tools/trace.h"

namespace trace_test {

namespace {

using namespace simtools;
using board::kPicosPerNs;

std::vector<std::string> lines_of(const std::string &s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

TEST(Trace, KindsTimesAndPeripheralAccesses)
{
    unsigned k;
    std::string error;
    ASSERT_TRUE(parse_trace_kinds("mmio,irq", k, error));
    EXPECT_EQ(k, kTraceMmio | kTraceIrq);
    ASSERT_TRUE(parse_trace_kinds("all", k, error));
    EXPECT_EQ(k, kTraceMmio | kTraceIrq | kTraceInsn);
    EXPECT_FALSE(parse_trace_kinds("mmio,cache", k, error));
    EXPECT_NE(error.find("'cache'"), std::string::npos);
    EXPECT_FALSE(parse_trace_kinds("", k, error));
    EXPECT_EQ(format_time(1234567890123ull), "1.234567890");
    EXPECT_EQ(format_time(999), "0.000000000");

    // Every access the bus sees becomes one line, with the register's name.
    board::Board b;
    std::ostringstream out;
    MmioTrace trace(out);
    uint32_t pc = 0x00100a3c;
    b.bus.add_observer([&](const board::Access &a) { trace.access(a, pc, b.bus.describe(a.address)); });
    b.clock.advance_to(1500 * kPicosPerNs);
    b.bus.write(board::kPioaBase + 0x30, 0x800);
    pc += 4;
    b.bus.read(board::kPioaBase + 0x4C);
    b.bus.read(0xFFFA0000);
    auto l = lines_of(out.str());
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0], "0.000001500 mmio pc=00100a3c W PIOA.PIO_SODR 00000800");
    EXPECT_EQ(l[1], "0.000001500 mmio pc=00100a40 R PIOA.PIO_ISR 00000000");
    EXPECT_EQ(l[2], "0.000001500 mmio pc=00100a40 R 0xFFFA0000 00000000") << "an address no model answers";
}

TEST(IrqTrace, LatencyFromTheSourceToHandlerAndReturnThroughNesting)
{
    std::ostringstream out;
    IrqTrace t(&out);
    constexpr uint32_t kSvcThumb = 0x33, kIrq = 0x92, kSvc = 0x13;
    constexpr uint32_t kHandler = 0x00100400;
    auto at = [](uint64_t cycle) { return cycle * 20 * kPicosPerNs; };

    t.line(true, 100, 96);   // requested 4 cycles before nIRQ (the controller's synchronisation)
    t.line(true, 101, 97);   // still the same assertion
    t.taken(at(104), 104, 0x00100a3c, kSvcThumb);
    t.line(false, 110, 0);   // the vector read acknowledges the source
    t.executing(at(104), 104, 0x18, kIrq);
    t.vector(kHandler | 1);   // a Thumb handler
    t.executing(at(130), 130, 0x00100300, kSvc);
    t.executing(at(141), 141, kHandler, kSvc | 0x20);

    // A second interrupt while the first handler runs.
    t.line(true, 150, 150);
    t.taken(at(152), 152, kHandler + 8, kSvc | 0x20);
    t.vector(0x00100500);
    t.executing(at(170), 170, 0x00100500, kSvc);
    t.executing(at(180), 180, 0x00100a3c, kSvcThumb);   // not the inner one's return point
    t.executing(at(190), 190, kHandler + 8, kSvc | 0x20);
    t.executing(at(200), 200, kHandler + 8, kSvc);          // right address, other state: not a return
    t.executing(at(300), 300, 0x00100a3c, kSvcThumb);

    EXPECT_EQ(t.taken_count(), 2u);
    EXPECT_EQ(t.returned_count(), 2u);
    EXPECT_EQ(t.min_latency(), 20u);
    EXPECT_EQ(t.max_latency(), 45u);
    auto l = lines_of(out.str());
    ASSERT_EQ(l.size(), 6u) << out.str();
    EXPECT_EQ(l[0], "0.000002080 irq taken: source pending 8 cycles before, nIRQ asserted 4 cycles before; interrupted 00100a3c "
              "(svc, thumb)");
    EXPECT_EQ(l[1], "0.000002820 irq handler 00100400 (svc, thumb) entered: latency 45 cycles");
    EXPECT_EQ(l[2], "0.000003040 irq taken: source pending 2 cycles before, nIRQ asserted 2 cycles before; interrupted 00100408 "
              "(svc, thumb)");
    EXPECT_EQ(l[3], "0.000003400 irq handler 00100500 (svc, arm) entered: latency 20 cycles");
    EXPECT_EQ(l[4], "0.000003800 irq returned to 00100408 (svc, thumb) after 38 cycles");
    EXPECT_EQ(l[5], "0.000006000 irq returned to 00100a3c (svc, thumb) after 196 cycles");

    // Counting alone, without a stream.
    IrqTrace quiet(nullptr);
    quiet.taken(0, 5, 0x100, 0x13);
    EXPECT_EQ(quiet.taken_count(), 1u);
}

TEST(InsnTrace, ArmThumbAndTheThumbCallPair)
{
    std::ostringstream out;
    InsnTrace t(out);
    const uint8_t ldr_arm[] = {0x10, 0x00, 0x9f, 0xe5};
    const uint8_t ldr_thumb[] = {0x02, 0x4b, 0x00, 0x00};
    const uint8_t bl_thumb[] = {0x00, 0xf0, 0x02, 0xf8};
    const uint8_t bx_arm[] = {0x10, 0xff, 0x2f, 0xe1};
    EXPECT_EQ(t.instruction(1000 * kPicosPerNs, 0x00100148, ldr_arm, 4, false), 4u);
    EXPECT_EQ(t.instruction(1020 * kPicosPerNs, 0x00100290, ldr_thumb, 4, true), 2u);
    EXPECT_EQ(t.instruction(1040 * kPicosPerNs, 0x00100292, bl_thumb, 4, true), 4u);
    EXPECT_EQ(t.instruction(1060 * kPicosPerNs, 0x00100010, bx_arm, 2, false), 4u) << "too few bytes: shown as data";
    auto l = lines_of(out.str());
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0], "0.000001000 insn 00100148 e59f0010     ldr r0, [pc, #0x10]");
    EXPECT_EQ(l[1], "0.000001020 insn 00100290 4b02         ldr r3, [pc, #8]");
    EXPECT_EQ(l[2], "0.000001040 insn 00100292 f000 f802    bl #0x10029a");
    EXPECT_EQ(l[3], "0.000001060 insn 00100010 0000ff10     .word 0x0000ff10");
    EXPECT_EQ(t.disassemble(0, bx_arm, 4, false), "bx r0");
}

TEST(RunSummary, CountsAndStackRanges)
{
    RunSummary s;
    s.set_stack_region(0x00200000, 0x00210000);
    s.stack_pointer(0x11, 0x00000000);   // FIQ mode, its sp never set
    s.stack_pointer(0x13, 0x00000000);   // before the first stack is set
    s.stack_pointer(0x13, 0x00210000);
    s.stack_pointer(0x33, 0x0020FFA0);
    s.stack_pointer(0x33, 0x0020FF40);
    s.stack_pointer(0x12, 0x00210000);
    s.exception(0x92);
    s.stack_pointer(0x92, 0x0020FFF4);
    s.exception(0x92);
    s.set_irq_latency(38, 52);
    EXPECT_EQ(s.stack_depth(0x13), 0xC0u);
    EXPECT_EQ(s.stack_depth(0x12), 12u);
    EXPECT_EQ(s.stack_depth(0x11), 0u);
    RunSummary restarted = s;
    restarted.restart_stack(0x13);
    restarted.stack_pointer(0x13, 0x0020FFA0);
    restarted.stack_pointer(0x13, 0x0020FF90);
    EXPECT_EQ(restarted.stack_depth(0x13), 16u) << "the start-up's temporary stack no longer counts";
    std::ostringstream out;
    s.write(out, 1000, 2500, 52 * board::kPicosPerUs);
    EXPECT_EQ(out.str(),
              "summary\n"
              "  instructions  1000\n"
              "  cycles        2500\n"
              "  virtual time  0.000052000 s\n"
              "  interrupts    2 IRQ, 0 FIQ (IRQ latency 38..52 cycles)\n"
              "  stacks (highest sp .. lowest sp, bytes used)\n"
              "    irq  00210000 .. 0020fff4  12\n"
              "    svc  00210000 .. 0020ff40  192\n");
}

}  // namespace

}  // namespace trace_test
