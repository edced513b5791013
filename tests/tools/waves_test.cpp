// VCD output: the file format as readers expect it, and the SPI drawing read
// back by sigrok's own decoder.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "board/board.h"
#include "sim/tools/board_waves.h"
#include "sim/tools/vcd_writer.h"

namespace waves_test {

namespace {

using board::kPicosPerNs;
using board::kPicosPerUs;
using simtools::BoardWaves;
using simtools::VcdWriter;

std::string body_of(const std::string &vcd) { return vcd.substr(vcd.find("$end\n", vcd.find("$dumpvars")) + 5); }

std::string sigrok_spi(const std::string &vcd)
{
    std::filesystem::path file = std::filesystem::temp_directory_path() / ("waves_test_" + std::to_string(getpid()) + ".vcd");
    std::ofstream(file) << vcd;
    std::string cmd = "sigrok-cli -I vcd:compress=1000 -i " + file.string() +
                      " -P spi:clk=SPCK:mosi=MOSI:miso=MISO:cs=FLASH_CS:cpol=1:cpha=1"
                      " -A spi=mosi-transfer:miso-transfer 2>&1";
    std::string decoded;
    {
        std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(cmd.c_str(), "r"), pclose);
        std::array<char, 256> buf;
        while (fgets(buf.data(), buf.size(), pipe.get())) decoded += buf.data();
    }
    std::filesystem::remove(file);
    return decoded;
}

TEST(VcdWriter, HeaderOrderingCoalescingAndLateChanges)
{
    std::ostringstream out;
    VcdWriter w(out, 100);   // 100 ps
    int a = w.add_wire("top", "A", false);
    int b = w.add_wire("top", "B", true);
    w.start();
    w.change(5000, b, false);
    w.change(1234, a, true);    // given later, happened earlier
    w.change(1299, a, false);   // same 100 ps tick: only the last level stays
    w.change(1250, b, true);    // B's own value: nothing to write
    w.change(1300, a, true);
    w.flush(2000);
    w.change(1800, a, false);   // earlier than what was flushed
    w.finish(9000);
    const std::string s = out.str();
    EXPECT_NE(s.find("$timescale 100 ps $end"), std::string::npos);
    EXPECT_NE(s.find("$var wire 1 ! A $end"), std::string::npos);
    EXPECT_NE(s.find("$var wire 1 \" B $end"), std::string::npos);
    EXPECT_NE(s.find("#0\n$dumpvars\n0!\n1\"\n$end\n"), std::string::npos);
    EXPECT_EQ(body_of(s), "#13\n1!\n#20\n0!\n#50\n0\"\n#90\n");
    EXPECT_EQ(w.late(), 1u);

    std::ostringstream ns;
    VcdWriter w2(ns, 1000);
    w2.add_wire("x", "X", false);
    w2.start();
    w2.finish(0);
    EXPECT_NE(ns.str().find("$timescale 1 ns $end"), std::string::npos);
    EXPECT_THROW(VcdWriter(ns, 250), std::invalid_argument);
}

// The lines as the SPI controller and the flash drive them: SPI mode 3 at
// 24 MHz (two master-clock periods of 48.054857 MHz per bit), clock idle high,
// data changed on the falling edge, most significant bit first.
struct SpiCapture : ::testing::Test {
    board::Board b;
    board::Pins::SourceId cpu = b.pa.add_source("test cpu"), spi = b.pa.add_source("test spi"),
                          flash = b.pa.add_source("test flash");
    std::ostringstream out;
    std::unique_ptr<BoardWaves> waves;

    void SetUp() override
    {
        b.clock.set_master_period_fs(20809524);
        b.pa.drive(cpu, 0x800, 0x800, 0x800);
        b.pa.drive(spi, 0x6000, 0x6000, 0x6000);
        waves = std::make_unique<BoardWaves>(b.pa, b.clock, out);
    }
    void frame(std::initializer_list<std::pair<uint8_t, uint8_t>> bytes)
    {
        b.pa.drive(cpu, 0x800, 0x800, 0);
        b.clock.advance_cycles(12);
        for (auto [mosi, miso] : bytes) {
            for (int bit = 7; bit >= 0; --bit) {
                b.pa.drive(spi, 0x6000, 0x6000, (mosi >> bit & 1u) << 13);
                b.pa.drive(flash, 0x1000, 0x1000, (miso >> bit & 1u) << 12);
                b.clock.advance_cycles(1);
                b.pa.drive(spi, 0x4000, 0x4000, 0x4000);
                b.clock.advance_cycles(1);
            }
            b.clock.advance_cycles(9);
        }
        b.pa.release(flash, 0x1000);
        b.pa.drive(cpu, 0x800, 0x800, 0x800);
        b.clock.advance_to(b.clock.now() + 3 * board::kPicosPerMs);   // the rest of a status pass
    }
};

TEST_F(SpiCapture, SigrokDecodesTheFlashReadFrames)
{
    if (std::system("command -v sigrok-cli >/dev/null 2>&1") != 0) GTEST_SKIP() << "sigrok-cli not installed";
    frame({{0x03, 0xFF}, {0x00, 0xFF}, {0x00, 0xFF}, {0x01, 0xFF}, {0x00, 0x5A}});
    frame({{0x03, 0xFF}, {0x00, 0xFF}, {0x00, 0xFF}, {0x02, 0xFF}, {0x00, 0xC3}});
    b.pa.drive(cpu, 0x00010000, 0x00010000, 0x00010000);   // the LED in between
    frame({{0x9F, 0x00}, {0x00, 0xBF}, {0x00, 0x25}, {0x00, 0x8D}});
    waves->finish();
    const std::string vcd = out.str();
    EXPECT_EQ(waves->writer().late(), 0u);
    EXPECT_NE(vcd.find("$var wire 1 $ FLASH_CS $end"), std::string::npos) << vcd.substr(0, 600);
    EXPECT_NE(vcd.find("$var wire 1 ( SPCK $end"), std::string::npos) << vcd.substr(0, 600);
    // The first falling clock edge with its MOSI bit, 12 master-clock periods
    // after the select (249.7 ns), and the rising edge half a bit later.
    EXPECT_NE(vcd.find("#249\n0'\n0(\n#270\n1(\n"), std::string::npos) << vcd.substr(vcd.find("$end\n", vcd.find("$dumpvars")), 120);

    std::string decoded = sigrok_spi(vcd);
    EXPECT_EQ(decoded,
              "spi-1: FF FF FF FF 5A\n"
              "spi-1: 03 00 00 01 00\n"
              "spi-1: FF FF FF FF C3\n"
              "spi-1: 03 00 00 02 00\n"
              "spi-1: 00 BF 25 8D\n"
              "spi-1: 9F 00 00 00\n")
        << "sigrok prints each frame's MISO bytes, then its MOSI bytes";
}

// The board's own SPI controller and flash, set up as the firmware sets them
// (master, clock idle high, MCK / 2), reading bytes 5 and 6 of the array.
TEST(BoardWaves, TheControllerAndFlashModelsAsSigrokSeesThem)
{
    if (std::system("command -v sigrok-cli >/dev/null 2>&1") != 0) GTEST_SKIP() << "sigrok-cli not installed";
    board::Board b;
    b.clock.set_master_period_fs(20809524);
    b.flash.preload(5, {0x5A, 0xC3});
    auto wr = [&](uint32_t a, uint32_t v) { b.bus.write(a, v); };
    wr(board::kPmcBase + 0x10, (1u << 2) | (1u << 5));   // PMC_PCER: PIOA, SPI
    wr(board::kPioaBase + 0x30, 0x800);                   // FLASH_CS high, then an output
    wr(board::kPioaBase + 0x10, 0x800);
    wr(board::kPioaBase + 0x04, 0x7000);                  // MISO, MOSI, SPCK to function A
    wr(board::kPioaBase + 0x70, 0x7000);
    wr(board::kSpiBase + 0x00, 0x80);                     // SWRST
    wr(board::kSpiBase + 0x04, 0x000E0011);               // master, fixed NPCS0, no fault detection
    wr(board::kSpiBase + 0x30, 0x00000201);               // CPOL = 1, SCBR = 2, 8 bits
    wr(board::kSpiBase + 0x00, 0x01);                     // SPIEN

    std::ostringstream out;
    BoardWaves waves(b.pa, b.clock, out, simtools::kWavesSpi);
    for (uint8_t address : {5, 6}) {
        wr(board::kPioaBase + 0x34, 0x800);
        for (uint8_t byte : {uint8_t(0x03), uint8_t(0), uint8_t(0), address, uint8_t(0)}) {
            wr(board::kSpiBase + 0x0C, byte);
            b.clock.advance_cycles(40);
            b.bus.read(board::kSpiBase + 0x08);
        }
        wr(board::kPioaBase + 0x30, 0x800);
        b.clock.advance_cycles(2000);
    }
    waves.finish();
    std::string decoded = sigrok_spi(out.str());
    EXPECT_NE(decoded.find("spi-1: 03 00 00 05 00\n"), std::string::npos) << decoded;
    EXPECT_NE(decoded.find("spi-1: 03 00 00 06 00\n"), std::string::npos) << decoded;
    EXPECT_NE(decoded.find(" 5A\n"), std::string::npos) << decoded;
    EXPECT_NE(decoded.find(" C3\n"), std::string::npos) << decoded;
}

TEST(BoardWaves, OnlyTheChosenSignalGroups)
{
    unsigned groups;
    std::string error;
    ASSERT_TRUE(simtools::parse_wave_groups("spi,irq", groups, error));
    EXPECT_EQ(groups, simtools::kWavesSpi | simtools::kWavesIrq);
    EXPECT_FALSE(simtools::parse_wave_groups("spi,,led", groups, error));
    EXPECT_FALSE(simtools::parse_wave_groups("audio", groups, error));
    EXPECT_NE(error.find("'audio'"), std::string::npos);

    board::Board b;
    std::ostringstream out;
    BoardWaves w(b.pa, b.clock, out, simtools::kWavesSpi);
    auto src = b.pa.add_source("test");
    b.clock.advance_cycles(100);
    b.pa.drive(src, 0x00010800, 0x00010800, 0);   // the LED and the flash select together
    w.set_nirq_level(false);
    w.finish();
    std::string vcd = out.str();
    EXPECT_EQ(vcd.find("LED"), std::string::npos);
    EXPECT_EQ(vcd.find("nIRQ"), std::string::npos);
    EXPECT_NE(vcd.find("$var wire 1 ! FLASH_CS $end"), std::string::npos);
    EXPECT_EQ(body_of(vcd), "#3051757\n0!\n") << "100 slow-clock cycles, only the select";
}

}  // namespace

}  // namespace waves_test
