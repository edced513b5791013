// The display driver compiled for the host, against the board's PIO and
// display controller models.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "board/board.h"
#include "board/host_port.h"
#include "firmware/lcd.h"

namespace lcd_test {

namespace {

constexpr uint32_t PIOA = board::kPioaBase;
enum : uint32_t {
    PER = 0x00, OER = 0x10, ODR = 0x14, SODR = 0x30, CODR = 0x34, ODSR = 0x38, PDSR = 0x3C,
    PPUER = 0x64, OWER = 0xA0, OWDR = 0xA4, OWSR = 0xA8,
};
constexpr uint64_t kMasterPeriodFs = 20833333;   // 48 MHz

// The board's two heart glyphs, as stored (bit 7 set in every row).
const char kLargeHeart[] = {'\x8A', '\x9F', '\x9F', '\x9F', '\x9F', '\x8E', '\x84', '\x80', 0};
const char kSmallHeart[] = {'\x80', '\x8A', '\x9F', '\x9F', '\x8E', '\x84', '\x80', '\x80', 0};

struct Op {
    bool write;
    uint32_t offset;
    uint32_t value;
    bool operator==(const Op &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Op &o)
{
    return os << (o.write ? "W " : "R ") << std::hex << o.offset << "=" << o.value;
}

struct LcdTest : ::testing::Test {
    board::Board b;
    board::HostPort port{b.bus};

    LcdTest()
    {
        // As the board set-up leaves it: PIOA clocked, master clock at 48 MHz.
        b.bus.write(board::kPmcBase + 0x10, 1u << 2);
        b.clock.set_master_period_fs(kMasterPeriodFs);
    }

    void record()
    {
        b.bus.clear_recorded();
        b.bus.set_recording(true);
    }
    std::vector<Op> ops() const
    {
        std::vector<Op> v;
        for (const auto &a : b.bus.recorded())
            v.push_back({a.write, a.address - PIOA, a.value});
        return v;
    }
    // Bytes sent with lcd_write since record(), with their register select,
    // decoded from the nibble writes of PIO_ODSR (high, low, then the idle 0xF).
    std::vector<std::pair<int, int>> sent() const
    {
        std::vector<std::pair<int, int>> bytes;
        int rs = 0;
        std::vector<uint32_t> nibbles;
        for (const Op &o : ops()) {
            if (!o.write)
                continue;
            if (o.offset == SODR && o.value == 0x00020000)
                rs = 1;
            if (o.offset == CODR && o.value == 0x00020000)
                rs = 0;
            if (o.offset == ODSR) {
                nibbles.push_back(o.value >> 20);
                if (nibbles.size() == 3) {
                    bytes.push_back({rs, static_cast<int>(nibbles[0] << 4 | nibbles[1])});
                    nibbles.clear();
                }
            }
        }
        return bytes;
    }
    void start_display()
    {
        lcd_init(8);
        lcd_init(12);
        lcd_CustChar(1, kLargeHeart);
        lcd_CustChar(2, kSmallHeart);
        lcd_clrscr();
    }
};

TEST_F(LcdTest, DelayLoopsCountTheirPasses)
{
    uint64_t n = port.nops();
    lcd_e_delay();
    EXPECT_EQ(port.nops() - n, 6u);
    n = port.nops();
    lcd_ms_delay(41);
    EXPECT_EQ(port.nops() - n, 40u);
    n = port.nops();
    lcd_ms_delay(1);
    EXPECT_EQ(port.nops() - n, 0u);
}

TEST_F(LcdTest, WriteSendsTwoNibblesAndRestoresTheOutputWriteSet)
{
    b.bus.write(PIOA + OWER, 0x00010000);   // the LED's line, as the board sets it
    record();
    lcd_write(0xA5, 1);
    const std::vector<Op> expected = {
        {true, PER, 0x00FE0000}, {true, OER, 0x00FE0000},
        {false, OWSR, 0x00010000},
        {true, OWDR, 0xFF0FFFFF}, {true, OWER, 0x00F00000},
        {true, SODR, 0x00020000}, {true, CODR, 0x00040000},
        {true, ODSR, 0x00A00000}, {true, SODR, 0x00080000}, {true, CODR, 0x00080000},
        {true, ODSR, 0x00500000}, {true, SODR, 0x00080000}, {true, CODR, 0x00080000},
        {true, ODSR, 0x00F00000},
        {true, PPUER, 0x00F00000}, {true, ODR, 0x00F00000}, {true, PER, 0x00F00000},
        {true, OWDR, 0xFFFEFFFF}, {true, OWER, 0x00010000},
    };
    EXPECT_EQ(ops(), expected);
    EXPECT_EQ(b.pioa.owsr(), 0x00010000u);
    EXPECT_EQ(b.pioa.osr() & 0x00FE0000u, 0x000E0000u) << "data lines left as inputs";
    EXPECT_EQ(b.pa.pullups() & 0x00F00000u, 0x00F00000u);

    record();
    lcd_write(0x00, 0);
    std::vector<uint32_t> odsr;
    for (const Op &o : ops())
        if (o.write && o.offset == ODSR)
            odsr.push_back(o.value);
    EXPECT_EQ(odsr, (std::vector<uint32_t>{0, 0, 0x00F00000}));
    EXPECT_EQ(sent(), (std::vector<std::pair<int, int>>{{0, 0x00}}));
    EXPECT_FALSE(b.pa.level(17));
    EXPECT_FALSE(b.pa.level(18));
    EXPECT_FALSE(b.pa.level(19));
}

// A bench with the PIO alone, no controller: the test plays the device and
// answers each E pulse of a read with the next scripted nibble.
struct LcdBench : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    board::Bus bus{clock, log};
    board::Pins pa{log, "PA"};
    board::Pio pio{pa, clock, log, "PIOA"};
    board::HostPort port{bus};
    board::Pins::SourceId device = pa.add_source("device");
    std::vector<uint8_t> script;
    size_t next = 0;

    LcdBench()
    {
        bus.map(PIOA, 0x200, pio, "PIOA");
        clock.set_master_period_fs(kMasterPeriodFs);
        pa.add_listener([this](uint32_t changed, uint32_t levels) {
            if (!(changed & (1u << 19)))
                return;
            bool e = levels & (1u << 19), rw = levels & (1u << 18);
            if (e && rw && next < script.size())
                pa.drive(device, 0x00F00000, 0x00F00000, uint32_t(script[next++]) << 20);
            else if (!e)
                pa.release(device, 0x00F00000);
        });
    }
};

TEST_F(LcdBench, ReadAssemblesTwoNibblesSampledWhileEIsHigh)
{
    script = {0x8, 0x0};
    bus.set_recording(true);
    EXPECT_EQ(lcd_read(0), 0x80);
    script = {0xF, 0xF};
    next = 0;
    EXPECT_EQ(lcd_read(0), 0xFF);
    script = {0x4, 0x3};
    next = 0;
    EXPECT_EQ(lcd_read(0), 0x43);

    // Two PDSR samples per read, each between E rising and E falling, and
    // neither PIO_ODSR nor the output-write set touched.
    int e_high = 0, samples_in_pulse = 0;
    for (const auto &a : bus.recorded()) {
        uint32_t off = a.address - PIOA;
        EXPECT_FALSE(a.write && (off == ODSR || off == OWER || off == OWDR));
        if (a.write && off == SODR && a.value == 0x00080000)
            e_high = 1;
        if (a.write && off == CODR && a.value == 0x00080000)
            e_high = 0;
        if (!a.write && off == PDSR)
            samples_in_pulse += e_high;
    }
    EXPECT_EQ(samples_in_pulse, 6);
    EXPECT_FALSE(pa.level(17)) << "RS low";
    EXPECT_TRUE(pa.level(18)) << "RW left high";
    EXPECT_FALSE(pa.level(19)) << "E left low";
}

TEST_F(LcdBench, WaitBusyReturnsAFreshStatusAfterTheFlagClears)
{
    // Busy, busy, idle ends the poll; the result is the read after the delay.
    script = {0x8, 0x0, 0x8, 0x1, 0x0, 0x2, 0x0, 0x3};
    uint64_t n = port.nops();
    EXPECT_EQ(lcd_waitbusy(), 0x03);
    EXPECT_EQ(next, script.size());
    // 4 reads of 24 no-operations, 2 e-delays between polls, 40 in the delay.
    EXPECT_EQ(port.nops() - n, 4 * 24u + 2 * 6u + 40u);

    script = {0x0, 0x5, 0x0, 0x6};
    next = 0;
    n = port.nops();
    EXPECT_EQ(lcd_waitbusy(), 0x06);
    EXPECT_EQ(port.nops() - n, 2 * 24u + 40u) << "idle: two reads, no e-delay in the poll";
}

TEST_F(LcdBench, PollGivesUpAfterThreeMillionAndOneBusyReadsAndTheCommandStillGoesOut)
{
    // No controller on the bus: the pulled-up lines read 0xFF every time.
    // Only the accesses that matter are counted, to keep the run short.
    uint64_t samples = 0;
    std::vector<uint32_t> odsr;
    bus.add_observer([&](const board::Access &a) {
        uint32_t off = a.address - PIOA;
        if (!a.write && off == PDSR)
            ++samples;
        else if (a.write && off == ODSR)
            odsr.push_back(a.value);
    });
    uint64_t n = port.nops();
    lcd_command(0x42);
    EXPECT_EQ(samples, 2 * (3000001u + 1u));
    // Reads of 24 no-operations, e-delays between polls, the 41-pass delay,
    // and the two E pulses of the write.
    EXPECT_EQ(port.nops() - n, 3000002u * 24u + 3000000u * 6u + 40u + 2u * 6u);
    EXPECT_EQ(odsr, (std::vector<uint32_t>{0x00400000, 0x00200000, 0x00F00000}));
}

TEST_F(LcdTest, AddressesAndNewlinesSendTheRightInstruction)
{
    start_display();
    auto goto_byte = [&](unsigned char x, unsigned char y) {
        record();
        lcd_gotoxy(x, y);
        auto s = sent();
        return s.size() == 1 && s[0].first == 0 ? s[0].second : -1;
    };
    EXPECT_EQ(goto_byte(0, 1), 0xC0);
    EXPECT_EQ(goto_byte(15, 0), 0x8F);
    EXPECT_EQ(goto_byte(0, 2), 0x94);
    EXPECT_EQ(goto_byte(0, 3), 0xD4);
    EXPECT_EQ(goto_byte(0, 7), 0xD4);
    EXPECT_EQ(goto_byte(19, 2), 0xA7);
    EXPECT_EQ(goto_byte(20, 0), 0x94);

    const std::pair<int, int> rule[] = {
        {0x00, 0xC0}, {0x13, 0xC0}, {0x14, 0xD4}, {0x3F, 0xD4}, {0x40, 0x94}, {0x53, 0x94},
        {0x54, 0x80}, {0x67, 0x80}, {0x85, 0x80}, {0xFF, 0x80},
    };
    for (auto [pos, byte] : rule) {
        record();
        lcd_newline(static_cast<unsigned char>(pos));
        EXPECT_EQ(sent(), (std::vector<std::pair<int, int>>{{0, byte}})) << "status " << pos;
    }

    record();
    lcd_puts("");
    EXPECT_TRUE(ops().empty()) << "an empty string neither waits nor sends";

    record();
    const char with_zero[8] = {1, 2, 0, 4, 5, 6, 7, 8};
    lcd_CustChar(9, with_zero);
    std::vector<std::pair<int, int>> expected = {{0, 0x48}};
    for (char c : with_zero)
        expected.push_back({1, c});
    EXPECT_EQ(sent(), expected);
}

TEST_F(LcdTest, BoardStartUpShowsTheGreetingAndBothHearts)
{
    b.bus.write(PIOA + OWER, 0x00010000);
    start_display();
    lcd_puts("ARM direct SPI");

    EXPECT_EQ(b.lcd.row(0), "ARM direct SPI      ");
    for (int r = 1; r < 4; ++r)
        EXPECT_EQ(b.lcd.row(r), std::string(20, ' '));
    EXPECT_TRUE(b.lcd.display_on());
    EXPECT_FALSE(b.lcd.cursor_on());
    EXPECT_FALSE(b.lcd.blink_on());
    EXPECT_TRUE(b.lcd.four_bit());
    EXPECT_TRUE(b.lcd.two_lines());
    EXPECT_EQ(b.lcd.lost_writes(), 0u);
    EXPECT_EQ(b.pioa.owsr(), 0x00010000u) << "the LED's output-write entry survives";
    EXPECT_EQ(b.lcd.glyph(1), (std::array<uint8_t, 8>{0x0A, 0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x04, 0x00}));
    EXPECT_EQ(b.lcd.glyph(2), (std::array<uint8_t, 8>{0x00, 0x0A, 0x1F, 0x1F, 0x0E, 0x04, 0x00, 0x00}));
    EXPECT_FALSE(b.log.contains("driven high and low"));

    // Newlines walk the rows in screen order and wrap to the top.
    lcd_puts("\none\ntwo\nthree\ntop");
    EXPECT_EQ(b.lcd.row(1), "one                 ");
    EXPECT_EQ(b.lcd.row(2), "two                 ");
    EXPECT_EQ(b.lcd.row(3), "three               ");
    EXPECT_EQ(b.lcd.row(0), "top direct SPI      ");
    lcd_putc('\x01');
    EXPECT_EQ(static_cast<uint8_t>(b.lcd.row(0)[3]), 0x01);

    lcd_gotoxy(3, 1);
    EXPECT_EQ(lcd_getxy(), 0x43);
    lcd_home();
    EXPECT_EQ(lcd_getxy(), 0x00);
    EXPECT_EQ(b.lcd.lost_writes(), 0u);
}

TEST_F(LcdTest, InitWaitsBeforeAndBetweenTheFirstStrobesAreCounted)
{
    // Delay passes counted when E rises for each of the four strobes before
    // 4-bit mode: power-on to the first, then between strobes (each gap also
    // holds the six passes of the E pulse before it).
    std::vector<uint64_t> rises;
    b.pa.add_listener([&](uint32_t changed, uint32_t levels) {
        if ((changed & levels & 0x00080000) && rises.size() < 4)
            rises.push_back(port.nops());
    });
    uint64_t start = port.nops();
    lcd_init(12);
    ASSERT_EQ(rises.size(), 4u);
    EXPECT_EQ(rises[0] - start, 169999u) << "more than 40 ms at 3.3 V, even at 12 cycles a pass";
    EXPECT_EQ(rises[1] - rises[0], 6u + 17999u) << "more than 4.1 ms";
    EXPECT_EQ(rises[2] - rises[1], 6u + 999u) << "more than 100 us";
    EXPECT_EQ(rises[3] - rises[2], 6u + 199u) << "the third function set's 37 us";
    EXPECT_EQ(b.lcd.lost_writes(), 0u);
}

TEST_F(LcdTest, InitSendsTheStartUpSequence)
{
    b.bus.write(PIOA + OWER, 0x00010000);
    record();
    lcd_init(12);
    // The four strobes before 4-bit mode are single nibbles on ODSR; the
    // instructions follow as nibble pairs, each pair then the idle 0xF.
    std::vector<uint32_t> odsr;
    for (const Op &o : ops())
        if (o.write && o.offset == ODSR)
            odsr.push_back(o.value >> 20);
    std::vector<uint32_t> expected = {0xF, 0x3, 0x2};
    for (int cmd : {0x28, 0x08, 0x01, 0x06, 0x0C}) {
        expected.push_back(cmd >> 4);
        expected.push_back(cmd & 0xF);
        expected.push_back(0xF);
    }
    EXPECT_EQ(odsr, expected);
    int strobes_before_2 = 0;
    for (const Op &o : ops()) {
        if (o.write && o.offset == ODSR && o.value == 0x00200000)
            break;
        strobes_before_2 += o.write && o.offset == SODR && o.value == 0x00080000;
    }
    EXPECT_EQ(strobes_before_2, 3) << "0x3 is strobed three times";
    EXPECT_EQ(b.pioa.owsr(), 0x00010000u);
    EXPECT_EQ(b.lcd.lost_writes(), 0u);
}

}  // namespace

}  // namespace lcd_test
