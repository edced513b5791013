// HD44780-type character display controller on the nets of a PIO port, after
// the controller's documentation.
//
// - Bus: RS, RW, E and D4..D7 (D0..D3 are not wired and read as 0). After
//   power-on the interface is 8 bits wide: each E pulse is a whole transfer.
//   A function set with DL = 0 switches to 4 bits; then every byte is two
//   nibbles, high first, in both directions, counted by one nibble toggle.
//   Writes (RW low) are latched on the falling edge of E.
// - Reads (RW high): while E is high the controller drives D4..D7 with the
//   next nibble of the status byte (RS low: busy flag and address counter,
//   sampled at the first nibble) or of the data register (RS high: the RAM
//   byte at the address counter, which then moves as the entry mode says).
//   It releases the lines when E falls or RW goes low.
// - Busy: 37 us after most instructions, data writes and data reads; 1.52 ms
//   after clear display and return home. A byte that arrives while busy is
//   not accepted: it is dropped, counted and logged.
// - Memory: DDRAM of 80 bytes (two-line mode 0x00..0x27 and 0x40..0x67, the
//   address counter wrapping between them; one-line mode 0x00..0x4F), CGRAM of
//   64 bytes (eight 5x8 glyphs, codes 0..7 and their mirrors 8..15).
// - Power-on: the supply rises at reset(); the controller's internal reset
//   keeps it busy for 10 ms, and whatever is written meanwhile is lost.
// - The address counter takes its new value at once (the controller's tADD
//   of a few microseconds after the busy flag clears is not modelled).
// - Read data: the nibble appears on D4..D7 tDDR (360 ns) after E rises;
//   a sample taken earlier sees the lines as they were.
//
// Rules checked (reported to the log's rules, the model carries on). The
// board supplies the display with 3.3 V, so the figures are the controller's
// 2.7..4.5 V ones: after power rises, more than 40 ms before the first
// function set of an initialisation by instruction (15 ms at 4.5..5.5 V),
// then more than 4.1 ms and more than 100 us between the first three 0x3
// strobes; writes during the 10 ms power-on reset; E cycle time tcycE >=
// 1000 ns; E pulse width PWEH >= 450 ns; RS/RW set-up before E rises tAS >=
// 60 ns and hold after E falls tAH >= 20 ns; write data set-up before E
// falls tDSW >= 195 ns and hold tH >= 10 ns. Times are those at which the
// lines change on the board's virtual clock.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "board/clock.h"
#include "board/log.h"
#include "board/nets.h"
#include "board/pins.h"
#include "board/state.h"

namespace board {

class Hd44780 {
public:
    // Port lines of the bus; D4..D7 are four consecutive lines from d4.
    struct Wiring {
        int rs = net::kLcdRs;
        int rw = net::kLcdRw;
        int e = net::kLcdE;
        int d4 = net::kLcdD4;
    };

    static constexpr Picos kShortBusy = 37 * kPicosPerUs;
    static constexpr Picos kLongBusy = 1520 * kPicosPerUs;
    static constexpr Picos kPowerOnReset = 10 * kPicosPerMs;
    static constexpr Picos kDataDelay = 360 * kPicosPerNs;   // tDDR at 2.7..4.5 V
    static constexpr int kColumns = 20;
    static constexpr int kRows = 4;
    static constexpr uint8_t kRowStart[kRows] = {0x00, 0x40, 0x14, 0x54};

    Hd44780(Pins &pins, Clock &clock, Log &log, Wiring wiring, std::string name = "LCD");
    Hd44780(Pins &pins, Clock &clock, Log &log) : Hd44780(pins, clock, log, Wiring{}) {}
    ~Hd44780();
    Hd44780(const Hd44780 &) = delete;
    Hd44780 &operator=(const Hd44780 &) = delete;

    // Power-on state: 8-bit interface, one line, display off, DDRAM blank,
    // address counter 0 in DDRAM, entry mode increment; lines released; busy
    // with the internal reset for 10 ms from now.
    void reset();

    // A controller whose busy flag never clears (a stalled or missing part
    // with a stuck BF), to exercise a driver's give-up path.
    void set_stuck_busy(bool stuck) { stuck_busy_ = stuck; }

    State &state() { return state_; }

    // ---- views (no side effects) ----
    bool busy() const { return stuck_busy_ || clock_.now() < busy_until_; }
    uint8_t status() const { return static_cast<uint8_t>((busy() ? 0x80 : 0x00) | ac_); }
    uint8_t address_counter() const { return ac_; }
    bool addressing_cgram() const { return cgram_selected_; }
    bool four_bit() const { return !eight_bit_; }
    bool two_lines() const { return two_lines_; }
    bool font_5x10() const { return font_5x10_; }
    bool display_on() const { return display_on_; }
    bool cursor_on() const { return cursor_on_; }
    bool blink_on() const { return blink_on_; }
    bool entry_increment() const { return increment_; }
    bool entry_shift() const { return shift_display_; }
    int display_shift() const { return shift_; }
    uint64_t lost_writes() const { return lost_writes_; }
    uint64_t bytes_written() const { return bytes_written_; }
    uint64_t bytes_read() const { return bytes_read_; }

    uint8_t ddram(uint8_t address) const { return ddram_[address & 0x7F]; }
    uint8_t cgram(uint8_t address) const { return cgram_[address & 0x3F]; }
    // The eight pixel rows (low five bits, bit 4 leftmost) of character code
    // `code` when it is a user glyph (0..15), else all zero.
    std::array<uint8_t, 8> glyph(uint8_t code) const;
    // Character codes shown on row 0..3 of the 4x20 screen, with the display
    // shift applied; blank while the display is off.
    std::string row(int r) const;
    // Display address shown at a screen position, with the display shift;
    // 0xFF where the position shows no address (rows 1 and 3 in one-line mode).
    uint8_t address_at(int r, int column) const;
    // Where the address counter points on the screen, if that is visible
    // (the cursor and blink are drawn there when enabled).
    bool cursor_at(int &r, int &column) const;

private:
    void on_lines(uint32_t changed, uint32_t levels);
    void e_rose(uint32_t levels);
    void e_fell(uint32_t levels);
    void release_data();
    void accept(uint8_t byte, bool rs);
    void instruction(uint8_t code);
    void move_ac(bool up);
    uint8_t read_register(bool rs);
    void set_busy(Picos t) { busy_until_ = clock_.now() + t; }
    void check_timing(uint32_t changed, uint32_t levels);
    void check_initialisation(uint8_t nibble, bool rs);
    void read_data_valid();
    void drive_read_nibble();

    Pins &pins_;
    Clock &clock_;
    Log &log_;
    Wiring w_;
    std::string name_;
    Pins::SourceId source_;
    uint32_t data_mask_;

    std::array<uint8_t, 128> ddram_{};
    std::array<uint8_t, 64> cgram_{};
    uint8_t ac_ = 0;
    bool cgram_selected_ = false;
    bool eight_bit_ = true;
    bool two_lines_ = false;
    bool font_5x10_ = false;
    bool display_on_ = false, cursor_on_ = false, blink_on_ = false;
    bool increment_ = true, shift_display_ = false;
    int shift_ = 0;   // display shift in positions, 0..39
    Picos busy_until_ = 0;
    bool stuck_busy_ = false;

    bool second_nibble_ = false;   // 4-bit mode: the next E pulse carries the low nibble
    uint8_t high_nibble_ = 0;      // first nibble of a write in progress
    uint8_t read_byte_ = 0;        // byte being read out, nibble by nibble
    bool read_was_data_ = false;
    bool e_high_ = false;
    bool in_pulse_ = false;        // E rose since reset and has not fallen yet
    bool reading_ = false;         // the pulse under way is a read

    // Line timing, for the rules: when each group of lines last changed.
    static constexpr Picos kNever = ~Picos{0};
    Picos powered_at_ = 0;
    Picos e_rose_at_ = kNever, e_fell_at_ = kNever;
    Picos control_changed_at_ = kNever, data_changed_at_ = kNever;
    bool last_pulse_wrote_ = false;
    int init_strobes_ = 0;          // 0x3 function sets since power-on, up to 3
    Picos init_strobe_at_ = 0;
    uint8_t read_nibble_ = 0;       // to be driven tDDR after E rose
    Clock::EventId read_event_ = 0;

    uint64_t lost_writes_ = 0;
    uint64_t bytes_written_ = 0;
    uint64_t bytes_read_ = 0;
    State state_{name_};
};

}  // namespace board
