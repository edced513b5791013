// The serial flash model against the 25-series documentation, driven bit by
// bit on the nets by the test itself (no SPI controller involved).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "board/board.h"

namespace spi_flash_test {

namespace {

using board::SpiFlash;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kCs = 1u << 11, kMiso = 1u << 12, kMosi = 1u << 13, kSck = 1u << 14;

struct SpiFlashTest : ::testing::TestWithParam<int> {
    board::Board b;
    SpiFlash &flash = b.flash;
    board::Pins::SourceId master = b.pa.add_source("bit-banging master");
    bool cpol = GetParam() == 3;   // modes 0 and 3 both serve a 25-series part

    void SetUp() override { b.pa.drive(master, kCs | kSck | kMosi, kCs | kSck | kMosi, kCs | (cpol ? kSck : 0)); }
    board::Picos half_period = 20 * board::kPicosPerNs;   // 25 MHz in mode 3

    // The lines change, then hold for a while: the part is clocked in its rating.
    void lines(uint32_t levels)
    {
        b.pa.drive(master, kCs | kSck | kMosi, kCs | kSck | kMosi, levels);
        b.clock.advance_to(b.clock.now() + half_period);
    }

    // One command in one chip-select low period; returns the bytes on MISO.
    Bytes command(const Bytes &out, unsigned extra_bits = 0)
    {
        uint32_t idle = cpol ? kSck : 0;
        lines(idle);
        Bytes in;
        for (uint8_t byte : out) {
            uint8_t got = 0;
            for (int i = 7; i >= 0; --i) {
                uint32_t mosi = ((byte >> i) & 1) ? kMosi : 0;
                if (cpol)
                    lines(mosi);   // falling edge: both sides put out their bit
                else
                    lines(mosi);   // data set up while the clock is low
                lines(mosi | kSck);   // rising edge: both sample
                got = static_cast<uint8_t>((got << 1) | (b.pa.level(12) ? 1 : 0));
                if (!cpol)
                    lines(mosi);
            }
            in.push_back(got);
        }
        for (unsigned i = 0; i < extra_bits; ++i) {
            lines(0);
            lines(kSck);
        }
        lines(kCs | idle);
        return in;
    }
    uint8_t status() { return command({0x05, 0})[1]; }
    // When the chip select of the last command rose: its program or erase began.
    board::Picos deselected_at() const { return b.clock.now() - half_period; }
    void wait_ready()
    {
        while (flash.busy())
            b.clock.advance_to(b.clock.now() + board::kPicosPerUs);
    }
    void unprotect()
    {
        command({0x50});
        command({0x01, 0x00});
        ASSERT_EQ(status(), 0x00);
    }
    void program(uint32_t a, uint8_t v)
    {
        command({0x06});
        command({0x02, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a), v});
        wait_ready();
    }
    uint8_t read(uint32_t a) { return command({0x03, uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a), 0})[4]; }
};

INSTANTIATE_TEST_SUITE_P(Modes, SpiFlashTest, ::testing::Values(0, 3),
                         [](const auto &info) { return "Mode" + std::to_string(info.param); });

TEST_P(SpiFlashTest, IdentificationAndReads)
{
    EXPECT_EQ(command({0x9F, 0, 0, 0, 0}), (Bytes{0xFF, 0xBF, 0x25, 0x8D, 0xBF}));
    EXPECT_EQ(command({0x90, 0, 0, 0, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xBF, 0x8D, 0xBF}));
    EXPECT_EQ(command({0x90, 0, 0, 1, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x8D, 0xBF}));
    EXPECT_FALSE(b.pa.driven_mask() & kMiso & b.pa.driven_by(0)) << "MISO released when deselected";

    flash.preload(0x7FFFE, {0x11, 0x22});
    flash.preload(0, {0x33, 0x44});
    EXPECT_EQ(command({0x03, 0x07, 0xFF, 0xFE, 0, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x22, 0x33, 0x44}))
        << "continues past the end by wrapping";
    EXPECT_EQ(command({0x0B, 0xF8, 0x00, 0x01, 0xFF, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x44, 0xFF}))
        << "dummy byte, then data; address bits above 18 ignored";
}

TEST_P(SpiFlashTest, PowerUpProtectsTheWholeArrayUntilTheStatusIsWritten)
{
    EXPECT_EQ(status(), 0x3C);
    program(0x1000, 0x00);
    EXPECT_EQ(flash.peek(0x1000), 0xFF);
    EXPECT_TRUE(b.log.contains("write-protected"));

    EXPECT_EQ(status(), 0x3E) << "a refused program changes nothing, WEL included";
    command({0x04});
    command({0x01, 0x00});
    EXPECT_EQ(status(), 0x3C) << "WRSR without EWSR or WREN is refused";
    command({0x50});
    command({0x05, 0});   // anything between EWSR and WRSR disarms it
    command({0x01, 0x00});
    EXPECT_EQ(status(), 0x3C);
    command({0x50});
    command({0x01, 0x00});
    EXPECT_EQ(status(), 0x00);
    command({0x06});
    command({0x01, 0x04});   // WREN also enables the write: BP0 = top 1/8
    EXPECT_EQ(status(), 0x04) << "WEL clears after a status write";
    program(0x7FFFF, 0x00);
    EXPECT_EQ(flash.peek(0x7FFFF), 0xFF);
    program(0x6FFFF, 0x00);
    EXPECT_EQ(flash.peek(0x6FFFF), 0x00);
    command({0x06});
    command({0x60});
    EXPECT_FALSE(flash.busy()) << "chip erase refused while any block is protected";
}

TEST_P(SpiFlashTest, ProgramAndsAndTakesItsTime)
{
    unprotect();
    program(0x100, 0xF0);
    command({0x06});
    command({0x02, 0x00, 0x01, 0x00, 0x3C});
    board::Picos start = deselected_at();
    EXPECT_EQ(status(), 0x03) << "BUSY and WEL while programming";
    EXPECT_EQ(read(0x100), 0xFF) << "a read while busy is ignored: nothing on MISO";
    EXPECT_TRUE(b.log.contains("busy"));
    b.clock.advance_to(start + SpiFlash::kByteProgramTime - 1);
    EXPECT_TRUE(flash.busy());
    b.clock.advance_to(start + SpiFlash::kByteProgramTime);
    EXPECT_EQ(status(), 0x00) << "BUSY and WEL clear together";
    EXPECT_EQ(read(0x100), 0x30) << "programming only clears bits";

    command({0x02, 0x00, 0x02, 0x00, 0x00});
    EXPECT_EQ(flash.peek(0x200), 0xFF) << "no WREN: refused";
    EXPECT_TRUE(b.log.contains("without write enable"));
    command({0x06});
    command({0x02, 0x00, 0x02, 0x00, 0x00}, 3);
    EXPECT_FALSE(flash.busy()) << "chip select rising mid-byte cancels the program";
    EXPECT_EQ(flash.peek(0x200), 0xFF);
}

TEST_P(SpiFlashTest, EraseSizesAlignmentAndTimes)
{
    unprotect();
    flash.preload(0, Bytes(SpiFlash::kSize, 0x00));
    struct Case {
        uint8_t op;
        uint32_t address, first, size;
        board::Picos time;
    } cases[] = {
        {0x20, 0x01234, 0x01000, 0x1000, SpiFlash::kSectorEraseTime},
        {0x52, 0x29000, 0x28000, 0x8000, SpiFlash::kBlockEraseTime},
        {0xD8, 0x5FFFF, 0x50000, 0x10000, SpiFlash::kBlockEraseTime},
    };
    for (const Case &c : cases) {
        command({0x06});
        command({c.op, uint8_t(c.address >> 16), uint8_t(c.address >> 8), uint8_t(c.address)});
        board::Picos start = deselected_at();
        b.clock.advance_to(start + c.time - 1);
        EXPECT_TRUE(flash.busy());
        b.clock.advance_to(start + c.time);
        EXPECT_FALSE(flash.busy());
        EXPECT_EQ(flash.peek(c.first - 1), 0x00) << std::hex << int(c.op);
        EXPECT_EQ(flash.peek(c.first), 0xFF);
        EXPECT_EQ(flash.peek(c.first + c.size - 1), 0xFF);
        EXPECT_EQ(flash.peek(c.first + c.size), 0x00);
    }
    command({0x06});
    command({0x60});
    board::Picos start = deselected_at();
    b.clock.advance_to(start + SpiFlash::kChipEraseTime - 1);
    EXPECT_TRUE(flash.busy());
    b.clock.advance_to(start + SpiFlash::kChipEraseTime);
    EXPECT_EQ(flash.array(), Bytes(SpiFlash::kSize, 0xFF));
}

TEST_P(SpiFlashTest, AutoAddressIncrementProgramming)
{
    unprotect();
    command({0x06});
    command({0xAD, 0x00, 0x10, 0x01, 0xA1, 0xA2});   // odd start: taken as 0x1000
    EXPECT_EQ(status(), 0x43);
    wait_ready();
    EXPECT_EQ(status(), 0x42) << "AAI and WEL stay set between words";
    EXPECT_EQ(read(0x1000), 0xFF) << "only RDSR, WRDI and 0xAD are accepted meanwhile";
    command({0x06});
    EXPECT_TRUE(b.log.contains("auto-address-increment mode"));
    command({0xAD, 0xB1, 0xB2});
    wait_ready();
    command({0x04});
    EXPECT_EQ(status(), 0x00) << "WRDI ends the mode";
    EXPECT_EQ(command({0x03, 0x00, 0x10, 0x00, 0, 0, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xA1, 0xA2, 0xB1, 0xB2, 0xFF}));
}

TEST_P(SpiFlashTest, OpcodesThePartLacksAreIgnoredAndAbIsReadId)
{
    // Deep power-down belongs to other 25-series parts: this one ignores it
    // and answers the next command as usual.
    EXPECT_EQ(command({0xB9, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF}));
    EXPECT_TRUE(b.log.contains("0xB9 is not one of this part's"));
    EXPECT_EQ(command({0x9F, 0, 0, 0}), (Bytes{0xFF, 0xBF, 0x25, 0x8D}));
    EXPECT_EQ(command({0xAB, 0, 0, 1, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x8D, 0xBF}));
}

TEST_P(SpiFlashTest, EbsyMakesMisoTheReadyOutputDuringAai)
{
    unprotect();
    command({0x70});
    EXPECT_TRUE(flash.busy_output());
    command({0x06});
    command({0xAD, 0x00, 0x20, 0x00, 0x11, 0x22});
    b.pa.drive(master, kCs, kCs, 0);
    EXPECT_FALSE(b.pa.level(12)) << "low while the word programs";
    b.clock.advance_to(b.clock.now() + SpiFlash::kAaiWordTime);
    EXPECT_TRUE(b.pa.level(12)) << "high when it is done";
    b.pa.drive(master, kCs, kCs, kCs);
    command({0x04});
    command({0x80});
    EXPECT_FALSE(flash.busy_output());
    EXPECT_EQ(command({0x03, 0x00, 0x20, 0x00, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x11, 0x22}));
}

TEST_P(SpiFlashTest, ClockRatedPerCommand)
{
    // A 40 ns period (25 MHz) is within READ's rating, 20 ns (50 MHz) within
    // the part's, but READ at 50 MHz is not.
    EXPECT_EQ(command({0x9F, 0, 0, 0}), (Bytes{0xFF, 0xBF, 0x25, 0x8D}));
    half_period = 10 * board::kPicosPerNs;
    EXPECT_EQ(command({0x9F, 0, 0, 0}), (Bytes{0xFF, 0xBF, 0x25, 0x8D}));
    EXPECT_EQ(b.log.rules.total(), 0u);
    if (!cpol) {
        // Mode 0 spends a third edge per bit here: 30 ns, 33 MHz.
        command({0x03, 0, 0, 0, 0});
        const auto *v = b.log.rules.find("SCK frequency for READ 0x03");
        ASSERT_NE(v, nullptr);
        EXPECT_NEAR(v->measured, 33.33, 0.01);
        EXPECT_EQ(v->rule.limit, 25);
        return;
    }
    command({0x03, 0, 0, 0, 0, 0});
    const auto *v = b.log.rules.find("SCK frequency for READ 0x03");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->measured, 50);
    EXPECT_EQ(v->count, 40u) << "every period after the opcode counted, one report";
    EXPECT_EQ(b.log.rules.violations().size(), 1u);
    half_period = 5 * board::kPicosPerNs;
    command({0x05, 0});
    ASSERT_NE(b.log.rules.find("SCK frequency"), nullptr);
    EXPECT_EQ(b.log.rules.find("SCK frequency")->measured, 100);
}

TEST_P(SpiFlashTest, ResetKeepsTheArrayAndFilesRoundTrip)
{
    unprotect();
    program(0x42, 0x24);
    b.reset();
    EXPECT_EQ(flash.status(), 0x3C);
    EXPECT_EQ(flash.peek(0x42), 0x24);

    EXPECT_TRUE(flash.modified());
    std::string path = ::testing::TempDir() + "flash_image_" + std::to_string(GetParam()) + ".bin";
    std::string error;
    ASSERT_TRUE(flash.save(path, error)) << error;
    EXPECT_FALSE(flash.modified());
    flash.preload(0x42, {0x00});
    ASSERT_TRUE(flash.load(path, error)) << error;
    EXPECT_EQ(flash.peek(0x42), 0x24);

    for (size_t size : {size_t(2), size_t(SpiFlash::kSize + 1)}) {
        std::string bad = path + ".bad";
        std::ofstream(bad, std::ios::binary) << std::string(size, '\0');
        EXPECT_FALSE(flash.load(bad, error)) << size;
        EXPECT_NE(error.find("524288"), std::string::npos) << error;
        EXPECT_EQ(flash.peek(0x42), 0x24) << "a refused file changes nothing";
        std::remove(bad.c_str());
    }
    EXPECT_FALSE(flash.load(path + ".missing", error));
    EXPECT_NE(error.find(".missing"), std::string::npos);
    EXPECT_FALSE(flash.save("/nonexistent-dir/x.bin", error));
    std::remove(path.c_str());
}

}  // namespace

}  // namespace spi_flash_test
