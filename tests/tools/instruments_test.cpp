// The run loop's side: what the recording calls produce in the files, and
// that no file appears before the run has ended well.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "board/board.h"
#include "sim/tools/instruments.h"

namespace instruments_test {

namespace {

namespace fs = std::filesystem;
using simtools::Instruments;

std::string slurp(const fs::path &p)
{
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct InstrumentsTest : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("instruments_test_" + std::to_string(getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(InstrumentsTest, AnInterruptAsTheRunLoopReportsIt)
{
    board::Board b;
    Instruments in(b.bus, b.pa, b.clock);
    Instruments::Options o;
    o.trace_kinds = simtools::kTraceMmio | simtools::kTraceIrq | simtools::kTraceInsn;
    o.trace_file = (dir / "run.trace").string();
    o.vcd_file = (dir / "run.vcd").string();
    std::ostringstream fallback;
    std::string error;
    ASSERT_TRUE(in.open(o, fallback, error)) << error;
    uint32_t pc = 0x00100200;
    in.set_pc_source([&](uint32_t) { return pc; });
    EXPECT_TRUE(in.wants_instructions());

    b.clock.set_master_period_fs(20833333);   // 48 MHz
    in.block(0x00100200, 0x33, 0x0020FF80);
    const uint8_t str_thumb[] = {0x18, 0x60};   // str r0, [r3]
    in.instruction(pc, b.clock.now(), str_thumb, 2, true);
    b.bus.write(board::kPioaBase + 0x30, 0x00010000);
    b.clock.advance_cycles(10);
    in.nirq(true, b.clock.cycles() - 4);
    b.clock.advance_cycles(6);
    in.exception(0x92, 0x00100202, 0x33);
    in.block(0x18, 0x92, 0x00210000);
    b.clock.advance_cycles(20);
    pc = 0x00100100;
    b.bus.read(Instruments::kAicIvr);   // nothing mapped there yet: reads 0, the handler at 0
    in.nirq(false, 0);
    b.clock.advance_cycles(14);
    in.block(0x00000000, 0x13, 0x0020FF60);
    b.clock.advance_cycles(30);
    in.block(0x00100202, 0x33, 0x0020FF80);

    EXPECT_FALSE(fs::exists(dir / "run.trace")) << "nothing appears before the run ends";
    ASSERT_TRUE(in.finish(1234, error)) << error;
    EXPECT_EQ(fallback.str(), "");
    std::string trace = slurp(dir / "run.trace");
    EXPECT_NE(trace.find("insn 00100200 6018         str r0, [r3]\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("mmio pc=00100200 W PIOA.PIO_SODR 00010000\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("irq taken: source pending 10 cycles before, nIRQ asserted 6 cycles before; interrupted 00100202 (svc, thumb)"),
              std::string::npos) << trace;
    EXPECT_NE(trace.find("irq handler 00000000 (svc, arm) entered: latency 44 cycles"), std::string::npos) << trace;
    EXPECT_NE(trace.find("irq returned to 00100202 (svc, thumb) after 64 cycles"), std::string::npos) << trace;
    EXPECT_NE(trace.find("  instructions  1234\n  cycles        80\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("1 IRQ, 0 FIQ (IRQ latency 44..44 cycles)"), std::string::npos) << trace;
    EXPECT_NE(trace.find("    svc  0020ff80 .. 0020ff60  32\n"), std::string::npos) << trace;

    std::string vcd = slurp(dir / "run.vcd");
    EXPECT_NE(vcd.find("$var wire 1 0 nIRQ $end"), std::string::npos);
    EXPECT_NE(vcd.find("#208\n00\n"), std::string::npos) << "nIRQ low after 10 cycles of 20.8 ns\n" << vcd;
    EXPECT_NE(vcd.find("#0\n$dumpvars"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
}

TEST_F(InstrumentsTest, UnwritableFilesAreRefusedUpFront)
{
    board::Board b;
    Instruments in(b.bus, b.pa, b.clock);
    std::ostringstream fallback;
    std::string error;
    Instruments::Options o;
    o.vcd_file = (dir / "missing" / "x.vcd").string();
    EXPECT_FALSE(in.open(o, fallback, error));
    EXPECT_NE(error.find("x.vcd: cannot write"), std::string::npos) << error;

    // Tracing to the fallback stream; an unfinished run leaves no file behind.
    {
        Instruments in2(b.bus, b.pa, b.clock);
        Instruments::Options o2;
        o2.trace_kinds = simtools::kTraceIrq;
        o2.vcd_file = (dir / "y.vcd").string();
        ASSERT_TRUE(in2.open(o2, fallback, error)) << error;
        EXPECT_FALSE(in2.wants_instructions());
    }
    EXPECT_TRUE(fs::is_empty(dir));
}

}  // namespace

}  // namespace instruments_test
