// The display controller model alone, driven on its nets as the controller's
// documentation describes the bus.
#include <gtest/gtest.h>

#include "board/hd44780.h"

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

    Hd44780Test()
    {
        pins.set_pullups(D);
        pins.drive(mcu, RS | RW | E, RS | RW | E, 0);
    }

    void wait_us(uint64_t us) { clock.advance_to(clock.now() + us * kPicosPerUs); }
    void set(uint32_t mask, uint32_t levels) { pins.drive(mcu, mask, mask, levels); }

    void write_nibble(bool rs, uint8_t n)
    {
        set(RS | RW, rs ? RS : 0);
        set(D, static_cast<uint32_t>(n & 0xF) << 20);
        set(E, E);
        set(E, 0);
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
        set(E, E);
        uint8_t n = static_cast<uint8_t>((pins.levels() >> 20) & 0xF);
        set(E, 0);
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
}

TEST_F(Hd44780Test, BusyTimesAndWritesLostWhileBusy)
{
    init4();
    write4(false, 0x80 | 0x05);
    EXPECT_EQ(read4(false), 0x85) << "busy flag set right after an instruction";
    write4(true, 'X');
    EXPECT_EQ(lcd.lost_writes(), 1u);
    EXPECT_TRUE(log.contains("data 0x58 written while busy (busy for another 37000 ns)"));
    EXPECT_EQ(lcd.ddram(0x05), 0x20);
    wait_us(36);
    EXPECT_TRUE(lcd.busy());
    wait_us(1);
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
    set(E, E);
    EXPECT_EQ((pins.driven_mask() & D), D);
    EXPECT_EQ((pins.levels() >> 20) & 0xF, 0x4u);
    set(E, 0);
    EXPECT_EQ((pins.driven_mask() & D), 0u) << "released when E falls";
    set(E, E);
    EXPECT_EQ((pins.levels() >> 20) & 0xF, 0x3u) << "second pulse: low nibble";
    set(RW, 0);
    EXPECT_EQ((pins.driven_mask() & D), 0u) << "released when RW goes low";
    set(E, 0);
    // RW was low at the fall but the pulse began as a read: nothing written.
    EXPECT_EQ(lcd.bytes_read(), 1u);
    EXPECT_EQ(lcd.address_counter(), 0x43);
    EXPECT_FALSE(log.contains("driven high and low"));
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
    EXPECT_FALSE(lcd.busy());
    EXPECT_EQ(lcd.lost_writes(), 0u);
    EXPECT_EQ(lcd.address_counter(), 0u);
    EXPECT_EQ(lcd.ddram(0x00), 0x20);
}

}  // namespace
