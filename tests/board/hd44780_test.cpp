// The display controller model alone, driven on its nets as the controller's
// documentation describes the bus.
#include <gtest/gtest.h>

#include <iterator>

#include "board/hd44780.h"

namespace hd44780_test {

namespace {

using board::Hd44780;
using board::kPicosPerUs;

constexpr uint32_t RS = 1u << 17, RW = 1u << 18, E = 1u << 19, D = 0xFu << 20;

struct Hd44780Test : ::testing::Test {
    board::Clock clock;
    board::Log log{clock};
    board::Pins pins{log, "PA"};
    Hd44780 lcd{pins, clock, log};
    board::Pins::SourceId mcu = pins.add_source("mcu");

    // Power rose when the fixture was built; the tests start after the
    // controller's 40 ms, with the bus lines low.
    Hd44780Test()
    {
        pins.set_pullups(D);
        pins.drive(mcu, RS | RW | E, RS | RW | E, 0);
        wait_us(40000);
    }

    void wait_us(uint64_t us) { clock.advance_to(clock.now() + us * kPicosPerUs); }
    void wait_ns(uint64_t ns) { clock.advance_to(clock.now() + ns * board::kPicosPerNs); }
    void set(uint32_t mask, uint32_t levels) { pins.drive(mcu, mask, mask, levels); }

    // Bus cycles with the controller's 2.7..4.5 V timing and some margin:
    // RS/RW 100 ns before E, E high 500 ns, 500 ns low after it.
    void write_nibble(bool rs, uint8_t n)
    {
        set(RS | RW, rs ? RS : 0);
        set(D, static_cast<uint32_t>(n & 0xF) << 20);
        wait_ns(100);
        set(E, E);
        wait_ns(500);
        set(E, 0);
        wait_ns(500);
    }
    void write4(bool rs, uint8_t byte)
    {
        write_nibble(rs, byte >> 4);
        write_nibble(rs, byte & 0xF);
    }
    // One E pulse of a read; the nibble is sampled while E is high.
    uint8_t read_nibble(bool rs)
    {
        pins.release(mcu, D);
        set(RS | RW, (rs ? RS : 0) | RW);
        wait_ns(100);
        set(E, E);
        wait_ns(500);
        uint8_t n = static_cast<uint8_t>((pins.levels() >> 20) & 0xF);
        set(E, 0);
        wait_ns(500);
        return n;
    }
    uint8_t read4(bool rs)
    {
        uint8_t hi = read_nibble(rs);
        return static_cast<uint8_t>(hi << 4 | read_nibble(rs));
    }
    // Initialisation by instruction, then two lines, display on, clear.
    void init4()
    {
        for (int i = 0; i < 3; ++i) {
            write_nibble(false, 0x3);
            wait_us(5000);
        }
        write_nibble(false, 0x2);
        wait_us(100);
        for (uint8_t cmd : {0x28, 0x0C, 0x01, 0x06}) {
            write4(false, cmd);
            wait_us(2000);
        }
    }
};

TEST_F(Hd44780Test, PowerOnIs8BitUntilInitialisedByInstruction)
{
    EXPECT_FALSE(lcd.four_bit());
    EXPECT_FALSE(lcd.display_on());
    // In 8-bit mode each E pulse is a whole transfer: the status byte's high
    // half appears on D4..D7 and one byte has been read.
    EXPECT_EQ(read_nibble(false), 0x0);
    EXPECT_EQ(lcd.bytes_read(), 1u);

    write_nibble(false, 0x3);
    wait_us(5000);
    write_nibble(false, 0x3);
    wait_us(200);
    write_nibble(false, 0x3);
    wait_us(100);
    EXPECT_FALSE(lcd.four_bit());
    write_nibble(false, 0x2);   // the unwired D0..D3 read as 0: one line
    EXPECT_TRUE(lcd.four_bit());
    EXPECT_FALSE(lcd.two_lines());
    wait_us(100);

    // From now on a byte is two nibbles, high first.
    write4(false, 0x28);
    EXPECT_TRUE(lcd.four_bit());
    EXPECT_TRUE(lcd.two_lines());
    wait_us(100);
    write4(false, 0x0E);
    EXPECT_TRUE(lcd.display_on());
    EXPECT_TRUE(lcd.cursor_on());
    EXPECT_FALSE(lcd.blink_on());
    EXPECT_EQ(lcd.lost_writes(), 0u);

    // The same sequence brings a controller back from 4-bit mode: 0x3, 0x3
    // pair up into an 8-bit function set, and the next 0x3 is 8-bit already.
    wait_us(100);
    write_nibble(false, 0x3);
    write_nibble(false, 0x3);
    EXPECT_FALSE(lcd.four_bit());
    wait_us(100);
    write_nibble(false, 0x3);
    wait_us(100);
    write_nibble(false, 0x2);
    EXPECT_TRUE(lcd.four_bit());
    EXPECT_EQ(log.rules.total(), 0u) << "every wait and bus cycle above keeps the controller's timing";
}

TEST_F(Hd44780Test, PowerOnAndInitialisationWaitsAreChecked)
{
    lcd.reset();   // power rises now
    wait_us(12000);
    write_nibble(false, 0x3);   // E falls 12.0006 ms after power-on
    wait_us(3750);
    write_nibble(false, 0x3);   // 3751.1 us after the first
    wait_us(50);
    write_nibble(false, 0x3);   // 51.1 us after the second
    wait_us(100);
    write_nibble(false, 0x2);
    EXPECT_TRUE(lcd.four_bit()) << "the controller still took them";

    const auto &rules = log.rules;
    ASSERT_EQ(rules.violations().size(), 3u);
    const auto *first = rules.find("wait from power-on to the first function set");
    ASSERT_NE(first, nullptr);
    EXPECT_NEAR(first->measured, 12.0006, 1e-9);
    EXPECT_EQ(first->rule.limit, 40) << "the 2.7..4.5 V figure: the board runs the display at 3.3 V";
    EXPECT_EQ(first->rule.unit, "ms");
    const auto *second = rules.find("wait between the first and second function sets");
    ASSERT_NE(second, nullptr);
    EXPECT_NEAR(second->measured, 3.7511, 1e-9);
    EXPECT_EQ(second->rule.limit, 4.1);
    const auto *third = rules.find("wait between the second and third function sets");
    ASSERT_NE(third, nullptr);
    EXPECT_NEAR(third->measured, 51.1, 1e-9);
    EXPECT_EQ(third->rule.unit, "us");
    EXPECT_EQ(third->text(),
              "LCD: wait between the second and third function sets 51.1 us, at least 100 us "
              "(HD44780U initialisation by instruction, VCC 2.7..4.5 V)");
    EXPECT_FALSE(third->pc) << "no core here to say which instruction";

    // Only the first three strobes after power-on are the initialisation.
    wait_us(100);
    write4(false, 0x28);
    wait_us(100);
    write4(false, 0x28);
    EXPECT_EQ(rules.total(), 3u);

    // A write within the internal reset is lost, and breaks the rules.
    lcd.reset();
    wait_us(5000);
    write_nibble(false, 0x3);
    EXPECT_EQ(lcd.lost_writes(), 1u);
    const auto *power = rules.find("time from power-on to a write (internal reset, busy)");
    ASSERT_NE(power, nullptr);
    EXPECT_NEAR(power->measured, 5.0006, 1e-9);
    EXPECT_EQ(power->rule.limit, 10);
    EXPECT_EQ(first->count, 2u);
    EXPECT_EQ(rules.violations().size(), 4u);
}

TEST_F(Hd44780Test, BusTimingRulesReportedOnceEachWithTheirNumbers)
{
    init4();
    ASSERT_EQ(log.rules.total(), 0u);
    // Twice: a write pulse that breaks every set-up, hold and width rule.
    for (int i = 0; i < 2; ++i) {
        wait_us(100);
        set(RS | RW, RS);
        wait_ns(30);               // tAS 30 ns
        set(E, E);
        wait_ns(100);
        set(D, 0x4u << 20);
        wait_ns(100);              // PWEH 200 ns, tDSW 100 ns
        set(E, 0);
        wait_ns(5);                // tAH and tH 5 ns
        set(RS | D, 0);
    }
    // Then E rises again 700 ns after it last rose.
    wait_ns(495);
    set(E, E);
    wait_ns(500);
    set(E, 0);

    struct Expected {
        const char *name;
        double measured, limit;
        uint64_t count;
    };
    const Expected expected[] = {
        {"RS/RW set-up before E rises tAS", 30, 60, 2},
        {"E pulse width PWEH", 200, 450, 2},
        {"write data set-up before E falls tDSW", 100, 195, 2},
        {"RS/RW hold after E falls tAH", 5, 20, 2},
        {"write data hold after E falls tH", 5, 10, 2},
        {"E cycle time tcycE", 700, 1000, 1},
    };
    ASSERT_EQ(log.rules.violations().size(), std::size(expected));
    for (const auto &e : expected) {
        const auto *v = log.rules.find(e.name);
        ASSERT_NE(v, nullptr) << e.name;
        EXPECT_NEAR(v->measured, e.measured, 1e-9) << e.name;
        EXPECT_EQ(v->rule.limit, e.limit) << e.name;
        EXPECT_EQ(v->rule.unit, "ns") << e.name;
        EXPECT_EQ(v->count, e.count) << e.name;
    }
    EXPECT_EQ(log.rules.total(), 11u);
}

TEST_F(Hd44780Test, BusyTimesAndWritesLostWhileBusy)
{
    init4();
    write4(false, 0x80 | 0x05);
    EXPECT_EQ(read4(false), 0x85) << "busy flag set right after an instruction";
    write4(true, 'X');
    EXPECT_EQ(lcd.lost_writes(), 1u);
    // Accepted at the fall of its second E pulse; 'X' falls 4.4 us later.
    EXPECT_TRUE(log.contains("data 0x58 written while busy (busy for another 32600 ns)"));
    EXPECT_EQ(lcd.ddram(0x05), 0x20);
    wait_us(31);
    EXPECT_TRUE(lcd.busy());
    wait_us(2);
    EXPECT_EQ(read4(false), 0x05);

    write4(true, 'Y');
    EXPECT_EQ(lcd.ddram(0x05), 'Y');
    EXPECT_EQ(lcd.address_counter(), 0x06);
    wait_us(37);

    write4(false, 0x01);   // clear display and return home take 1.52 ms
    wait_us(1519);
    EXPECT_TRUE(lcd.busy());
    wait_us(1);
    EXPECT_FALSE(lcd.busy());
    write4(false, 0x02);
    wait_us(1519);
    EXPECT_TRUE(lcd.busy());

    // A stuck controller never lets the flag go.
    lcd.set_stuck_busy(true);
    wait_us(100000);
    EXPECT_EQ(read4(false) & 0x80, 0x80);
}

TEST_F(Hd44780Test, ReadsDriveTheLinesOnlyWhileEIsHighWithRwHigh)
{
    init4();
    write4(false, 0xC3);   // DDRAM address 0x43
    wait_us(40);
    pins.release(mcu, D);
    set(RS | RW, RW);
    wait_ns(100);
    set(E, E);
    wait_ns(359);
    EXPECT_EQ((pins.driven_mask() & D), 0u) << "not valid before tDDR: the pull-ups still show";
    EXPECT_EQ((pins.levels() >> 20) & 0xF, 0xFu);
    wait_ns(1);
    EXPECT_EQ((pins.driven_mask() & D), D);
    EXPECT_EQ((pins.levels() >> 20) & 0xF, 0x4u);
    wait_ns(100);
    set(E, 0);
    EXPECT_EQ((pins.driven_mask() & D), 0u) << "released when E falls";
    wait_ns(540);
    set(E, E);
    wait_ns(400);
    EXPECT_EQ((pins.levels() >> 20) & 0xF, 0x3u) << "second pulse: low nibble";
    set(RW, 0);
    EXPECT_EQ((pins.driven_mask() & D), 0u) << "released when RW goes low";
    wait_ns(100);
    set(E, 0);
    // RW was low at the fall but the pulse began as a read: nothing written.
    EXPECT_EQ(lcd.bytes_read(), 1u);
    EXPECT_EQ(lcd.address_counter(), 0x43);
    EXPECT_FALSE(log.contains("driven high and low"));
    EXPECT_NE(log.rules.find("RS/RW hold after E falls tAH"), nullptr) << "RW changed while E was high";

    // A pulse that ends before the data is valid never shows it.
    wait_us(2);
    set(RW, RW);
    wait_ns(100);
    set(E, E);
    wait_ns(300);
    set(E, 0);
    wait_ns(100);
    EXPECT_EQ((pins.driven_mask() & D), 0u);
}

TEST_F(Hd44780Test, ClearDisplayResetsAddressCounterAndEntryMode)
{
    init4();
    write4(false, 0x04);   // decrement
    wait_us(40);
    write4(false, 0x80 | 0x10);
    wait_us(40);
    write4(true, 'a');
    wait_us(40);
    EXPECT_EQ(lcd.address_counter(), 0x0F);
    write4(false, 0x01);
    wait_us(1520);
    EXPECT_EQ(lcd.address_counter(), 0x00);
    EXPECT_TRUE(lcd.entry_increment());
    EXPECT_EQ(lcd.ddram(0x10), 0x20);
    write4(true, 'b');
    EXPECT_EQ(lcd.address_counter(), 0x01);
}

TEST_F(Hd44780Test, CgramHoldsEightGlyphsMirroredAbove7)
{
    init4();
    const uint8_t heart[8] = {0x8A, 0x9F, 0x9F, 0x9F, 0x9F, 0x8E, 0x84, 0x80};
    write4(false, 0x40 + 8 * 1);
    wait_us(40);
    for (uint8_t b : heart) {
        write4(true, b);
        wait_us(40);
    }
    EXPECT_TRUE(lcd.addressing_cgram());
    EXPECT_EQ(lcd.address_counter(), 0x10);
    std::array<uint8_t, 8> rows = {0x0A, 0x1F, 0x1F, 0x1F, 0x1F, 0x0E, 0x04, 0x00};
    EXPECT_EQ(lcd.glyph(1), rows);
    EXPECT_EQ(lcd.glyph(9), rows);
    EXPECT_EQ(lcd.glyph(2), (std::array<uint8_t, 8>{}));

    // A data read returns the whole byte and moves the address counter.
    write4(false, 0x40 + 8 * 1 + 1);
    wait_us(40);
    EXPECT_EQ(read4(true), 0x9F);
    EXPECT_EQ(lcd.address_counter(), 0x0A);
    wait_us(40);
    // The CGRAM address counter wraps within its 64 bytes.
    write4(false, 0x7F);
    wait_us(40);
    write4(true, 0x11);
    EXPECT_EQ(lcd.cgram(0x3F), 0x11);
    EXPECT_EQ(lcd.address_counter(), 0x00);
}

TEST_F(Hd44780Test, TwoLineAddressesWrapBetween0x27And0x40)
{
    init4();
    auto put = [&](uint8_t addr, char c) {
        write4(false, 0x80 | addr);
        wait_us(40);
        write4(true, static_cast<uint8_t>(c));
        wait_us(40);
    };
    put(0x27, 'a');
    EXPECT_EQ(lcd.address_counter(), 0x40);
    put(0x67, 'b');
    EXPECT_EQ(lcd.address_counter(), 0x00);
    write4(false, 0x04);   // decrement
    wait_us(40);
    put(0x40, 'c');
    EXPECT_EQ(lcd.address_counter(), 0x27);
    put(0x00, 'd');
    EXPECT_EQ(lcd.address_counter(), 0x67);
    // Cursor shift instructions move the counter by the same rules.
    write4(false, 0x14);   // cursor right
    wait_us(40);
    EXPECT_EQ(lcd.address_counter(), 0x00);
}

TEST_F(Hd44780Test, ScreenShowsFourRowsOfTheTwoLines)
{
    init4();
    const char *text[4] = {"row zero", "row one", "row two", "row three"};
    for (int r = 0; r < 4; ++r) {
        write4(false, 0x80 | Hd44780::kRowStart[r]);
        wait_us(40);
        for (const char *p = text[r]; *p; ++p) {
            write4(true, static_cast<uint8_t>(*p));
            wait_us(40);
        }
    }
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(lcd.row(r), (std::string(text[r]) + std::string(20, ' ')).substr(0, 20));
    int cr = -1, cc = -1;
    ASSERT_TRUE(lcd.cursor_at(cr, cc));
    EXPECT_EQ(cr, 3);
    EXPECT_EQ(cc, 9);

    // Shifting the display left moves every row by one position of its line:
    // row 0's last column then shows what row 2's first column held.
    write4(false, 0x18);
    wait_us(40);
    EXPECT_EQ(lcd.row(0).substr(0, 7), "ow zero");
    EXPECT_EQ(lcd.row(0)[19], 'r');
    EXPECT_EQ(lcd.address_at(3, 19), 0x40);

    write4(false, 0x08);   // display off: nothing shows, memory is kept
    wait_us(40);
    EXPECT_EQ(lcd.row(0), std::string(20, ' '));
    EXPECT_EQ(lcd.ddram(0x00), 'r');
}

TEST_F(Hd44780Test, ResetReturnsToThePowerOnState)
{
    init4();
    write4(true, 'z');
    lcd.set_stuck_busy(true);
    write4(true, 'z');
    lcd.reset();
    EXPECT_FALSE(lcd.four_bit());
    EXPECT_FALSE(lcd.two_lines());
    EXPECT_FALSE(lcd.display_on());
    EXPECT_TRUE(lcd.busy()) << "the internal reset of power-on";
    wait_us(10000);
    EXPECT_FALSE(lcd.busy());
    EXPECT_EQ(lcd.lost_writes(), 0u);
    EXPECT_EQ(lcd.address_counter(), 0u);
    EXPECT_EQ(lcd.ddram(0x00), 0x20);
}

}  // namespace

}  // namespace hd44780_test
