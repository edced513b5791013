#include "board/hd44780.h"

#include <cstdio>

namespace board {

namespace {
std::string hex8(uint8_t v)
{
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", v);
    return s;
}
}  // namespace

Hd44780::Hd44780(Pins &pins, Clock &clock, Log &log, Wiring wiring, std::string name)
    : pins_(pins), clock_(clock), log_(log), w_(wiring), name_(std::move(name)),
      source_(pins.add_source(name_)), data_mask_(0xFu << wiring.d4)
{
    pins_.add_listener([this](uint32_t changed, uint32_t levels) { on_lines(changed, levels); });
    reset();
}

void Hd44780::reset()
{
    // The internal reset at power-on: display clear, 8-bit one-line function
    // set, display off, entry mode increment without shift. CGRAM content is
    // undefined on the part; it starts zeroed here.
    ddram_.fill(0x20);
    cgram_.fill(0);
    ac_ = 0;
    cgram_selected_ = false;
    eight_bit_ = true;
    two_lines_ = false;
    font_5x10_ = false;
    display_on_ = cursor_on_ = blink_on_ = false;
    increment_ = true;
    shift_display_ = false;
    shift_ = 0;
    busy_until_ = 0;
    stuck_busy_ = false;
    second_nibble_ = false;
    high_nibble_ = 0;
    read_byte_ = 0;
    read_was_data_ = false;
    lost_writes_ = bytes_written_ = bytes_read_ = 0;
    release_data();
    // A pulse already under way at reset was never seen to start: it is not
    // taken as a transfer.
    e_high_ = pins_.level(w_.e);
    in_pulse_ = false;
}

void Hd44780::on_lines(uint32_t changed, uint32_t levels)
{
    if ((changed >> w_.rw) & 1u && !((levels >> w_.rw) & 1u))
        release_data();
    if (!((changed >> w_.e) & 1u))
        return;
    bool e = (levels >> w_.e) & 1u;
    if (e == e_high_)
        return;
    e_high_ = e;
    if (e)
        e_rose(levels);
    else
        e_fell(levels);
}

void Hd44780::release_data()
{
    pins_.release(source_, data_mask_);
}

void Hd44780::e_rose(uint32_t levels)
{
    in_pulse_ = true;
    // RW is held stable around the pulse, so its level at the rising edge
    // tells a read from a write even if it changes together with E's fall.
    reading_ = (levels >> w_.rw) & 1u;
    if (!reading_)
        return;   // a write: the lines are sampled when E falls
    bool rs = (levels >> w_.rs) & 1u;
    uint8_t nibble;
    if (eight_bit_ || !second_nibble_) {
        read_byte_ = read_register(rs);
        read_was_data_ = rs;
        nibble = read_byte_ >> 4;
    } else {
        nibble = read_byte_ & 0x0F;
    }
    pins_.drive(source_, data_mask_, data_mask_, static_cast<uint32_t>(nibble) << w_.d4);
}

void Hd44780::e_fell(uint32_t levels)
{
    if (!in_pulse_)
        return;
    in_pulse_ = false;
    bool rs = (levels >> w_.rs) & 1u;
    if (reading_) {
        release_data();
        bool done = eight_bit_ || second_nibble_;
        if (!eight_bit_)
            second_nibble_ = !second_nibble_;
        if (done) {
            ++bytes_read_;
            if (read_was_data_) {
                // The address counter moves once the byte has been read out.
                move_ac(increment_);
                set_busy(kShortBusy);
            }
        }
        return;
    }
    uint8_t nibble = static_cast<uint8_t>((levels & data_mask_) >> w_.d4);
    if (eight_bit_) {
        accept(static_cast<uint8_t>(nibble << 4), rs);
        return;
    }
    if (!second_nibble_) {
        high_nibble_ = nibble;
        second_nibble_ = true;
        return;
    }
    second_nibble_ = false;
    accept(static_cast<uint8_t>(high_nibble_ << 4 | nibble), rs);
}

uint8_t Hd44780::read_register(bool rs)
{
    if (!rs)
        return status();
    return cgram_selected_ ? cgram_[ac_ & 0x3F] : ddram_[ac_ & 0x7F];
}

void Hd44780::accept(uint8_t byte, bool rs)
{
    if (busy()) {
        ++lost_writes_;
        std::string left = stuck_busy_ ? "stuck busy"
                                       : "busy for another " +
                                             std::to_string((busy_until_ - clock_.now()) / kPicosPerNs) + " ns";
        log_.warn(name_, std::string(rs ? "data " : "instruction ") + hex8(byte) + " written while busy (" +
                             left + "): not accepted");
        return;
    }
    ++bytes_written_;
    if (!rs) {
        instruction(byte);
        return;
    }
    if (cgram_selected_) {
        cgram_[ac_ & 0x3F] = byte;
    } else {
        ddram_[ac_ & 0x7F] = byte;
        if (shift_display_) {
            int span = two_lines_ ? 40 : 80;
            shift_ = (shift_ + (increment_ ? 1 : span - 1)) % span;
        }
    }
    move_ac(increment_);
    set_busy(kShortBusy);
}

void Hd44780::instruction(uint8_t code)
{
    if (code & 0x80) {
        ac_ = code & 0x7F;
        cgram_selected_ = false;
    } else if (code & 0x40) {
        ac_ = code & 0x3F;
        cgram_selected_ = true;
    } else if (code & 0x20) {
        bool eight = code & 0x10;
        if (eight != eight_bit_)
            second_nibble_ = false;
        eight_bit_ = eight;
        two_lines_ = code & 0x08;
        font_5x10_ = code & 0x04;
        if (shift_ >= 40 && two_lines_)
            shift_ %= 40;
    } else if (code & 0x10) {
        bool display = code & 0x08;
        bool right = code & 0x04;
        if (display) {
            int span = two_lines_ ? 40 : 80;
            // Shifting the display right brings lower addresses into view.
            shift_ = (shift_ + (right ? span - 1 : 1)) % span;
        } else {
            move_ac(right);
        }
    } else if (code & 0x08) {
        display_on_ = code & 0x04;
        cursor_on_ = code & 0x02;
        blink_on_ = code & 0x01;
    } else if (code & 0x04) {
        increment_ = code & 0x02;
        shift_display_ = code & 0x01;
    } else if (code & 0x02) {
        ac_ = 0;
        cgram_selected_ = false;
        shift_ = 0;
        set_busy(kLongBusy);
        return;
    } else if (code & 0x01) {
        ddram_.fill(0x20);
        ac_ = 0;
        cgram_selected_ = false;
        shift_ = 0;
        increment_ = true;
        set_busy(kLongBusy);
        return;
    }
    // 0x00 is no instruction; it still takes an execution cycle.
    set_busy(kShortBusy);
}

void Hd44780::move_ac(bool up)
{
    if (cgram_selected_) {
        ac_ = static_cast<uint8_t>((ac_ + (up ? 1 : 0x3F)) & 0x3F);
        return;
    }
    if (two_lines_) {
        if (up)
            ac_ = ac_ == 0x27 ? 0x40 : ac_ == 0x67 ? 0x00 : static_cast<uint8_t>((ac_ + 1) & 0x7F);
        else
            ac_ = ac_ == 0x00 ? 0x67 : ac_ == 0x40 ? 0x27 : static_cast<uint8_t>(ac_ - 1);
    } else {
        if (up)
            ac_ = ac_ >= 0x4F ? 0x00 : static_cast<uint8_t>(ac_ + 1);
        else
            ac_ = ac_ == 0x00 ? 0x4F : static_cast<uint8_t>(ac_ - 1);
    }
}

std::array<uint8_t, 8> Hd44780::glyph(uint8_t code) const
{
    std::array<uint8_t, 8> rows{};
    if (code < 16)
        for (int i = 0; i < 8; ++i)
            rows[i] = cgram_[(code & 7) * 8 + i] & 0x1F;
    return rows;
}

uint8_t Hd44780::address_at(int r, int column) const
{
    int line = r & 1;
    int pos = (r >> 1) * kColumns + column;
    if (two_lines_)
        return static_cast<uint8_t>(line * 0x40 + (pos + shift_) % 40);
    // One line of 80 positions: only the rows of the first line show it.
    if (line)
        return 0xFF;
    return static_cast<uint8_t>((pos + shift_) % 80);
}

bool Hd44780::cursor_at(int &r, int &column) const
{
    if (cgram_selected_)
        return false;
    for (int rr = 0; rr < kRows; ++rr)
        for (int x = 0; x < kColumns; ++x)
            if (address_at(rr, x) == ac_) {
                r = rr;
                column = x;
                return true;
            }
    return false;
}

std::string Hd44780::row(int r) const
{
    std::string s(kColumns, ' ');
    if (!display_on_ || r < 0 || r >= kRows)
        return s;
    for (int x = 0; x < kColumns; ++x) {
        uint8_t a = address_at(r, x);
        if (a != 0xFF)
            s[x] = static_cast<char>(ddram_[a]);
    }
    return s;
}

}  // namespace board
