#include "board/hd44780.h"


namespace board {

namespace {

// The controller's documented limits at the board's 3.3 V supply.
const char kBusTiming[] = "HD44780U bus timing, VCC 2.7..4.5 V";
const char kInitialising[] = "HD44780U initialisation by instruction, VCC 2.7..4.5 V";
const Rule kCycle{"LCD", "E cycle time tcycE", Rule::AtLeast, 1000, "ns", kBusTiming};
const Rule kPulse{"LCD", "E pulse width PWEH", Rule::AtLeast, 450, "ns", kBusTiming};
const Rule kAddressSetup{"LCD", "RS/RW set-up before E rises tAS", Rule::AtLeast, 60, "ns", kBusTiming};
const Rule kAddressHold{"LCD", "RS/RW hold after E falls tAH", Rule::AtLeast, 20, "ns", kBusTiming};
const Rule kDataSetup{"LCD", "write data set-up before E falls tDSW", Rule::AtLeast, 195, "ns", kBusTiming};
const Rule kDataHold{"LCD", "write data hold after E falls tH", Rule::AtLeast, 10, "ns", kBusTiming};
const Rule kPowerOn{"LCD", "time from power-on to a write (internal reset, busy)", Rule::AtLeast, 10, "ms",
                    "HD44780U power-on reset: busy for 10 ms after VCC rises"};
const Rule kFirstWait{"LCD", "wait from power-on to the first function set", Rule::AtLeast, 40, "ms", kInitialising};
const Rule kSecondWait{"LCD", "wait between the first and second function sets", Rule::AtLeast, 4.1, "ms",
                       kInitialising};
const Rule kThirdWait{"LCD", "wait between the second and third function sets", Rule::AtLeast, 100, "us",
                      kInitialising};

double ns(Picos t) { return static_cast<double>(t) / kPicosPerNs; }
double us(Picos t) { return static_cast<double>(t) / kPicosPerUs; }
double ms(Picos t) { return static_cast<double>(t) / kPicosPerMs; }
}  // namespace

Hd44780::Hd44780(Pins &pins, Clock &clock, Log &log, Wiring wiring, std::string name)
    : pins_(pins), clock_(clock), log_(log), w_(wiring), name_(std::move(name)),
      source_(pins.add_source(name_)), data_mask_(0xFu << wiring.d4)
{
    pins_.add_listener([this](uint32_t changed, uint32_t levels) { on_lines(changed, levels); },
                       data_mask_ | 1u << w_.e | 1u << w_.rs | 1u << w_.rw);
    std::array<uint8_t, 128> blank;
    blank.fill(0x20);
    state_.field("DDRAM", ddram_, blank)
        .field("CGRAM", cgram_)
        .field("address counter", ac_)
        .field("CGRAM selected", cgram_selected_)
        .field("8-bit", eight_bit_, true)
        .field("two lines", two_lines_)
        .field("5x10 font", font_5x10_)
        .field("display on", display_on_)
        .field("cursor on", cursor_on_)
        .field("blink on", blink_on_)
        .field("increment", increment_, true)
        .field("shift display", shift_display_)
        .field("shift", shift_)
        .field("busy until", busy_until_)
        .field("stuck busy", stuck_busy_)
        .field("second nibble", second_nibble_)
        .field("high nibble", high_nibble_)
        .field("read byte", read_byte_)
        .field("read was data", read_was_data_)
        .field("E high", e_high_)
        .field("in pulse", in_pulse_)
        .field("reading", reading_)
        .field("powered at", powered_at_)
        .field("E rose at", e_rose_at_, kNever)
        .field("E fell at", e_fell_at_, kNever)
        .field("control changed at", control_changed_at_, kNever)
        .field("data changed at", data_changed_at_, kNever)
        .field("last pulse wrote", last_pulse_wrote_)
        .field("initialisation strobes", init_strobes_)
        .field("last strobe at", init_strobe_at_)
        .field("read nibble", read_nibble_)
        .field("lost writes", lost_writes_)
        .field("bytes written", bytes_written_)
        .field("bytes read", bytes_read_)
        .event(clock_, read_event_, name_.c_str(), {{"read data valid", [this] { read_data_valid(); }}});
    reset();
}

Hd44780::~Hd44780() { clock_.cancel(read_event_); }

void Hd44780::reset()
{
    // The internal reset at power-on: display clear, 8-bit one-line function
    // set, display off, entry mode increment without shift. CGRAM content is
    // undefined on the part; it starts zeroed here.
    state_.reset();
    powered_at_ = clock_.now();
    busy_until_ = powered_at_ + kPowerOnReset;
    release_data();
    // A pulse already under way at reset was never seen to start: it is not
    // taken as a transfer.
    e_high_ = pins_.level(w_.e);
}

void Hd44780::on_lines(uint32_t changed, uint32_t levels)
{
    Picos now = clock_.now();
    bool e = (levels >> w_.e) & 1u;
    bool e_edge = ((changed >> w_.e) & 1u) && e != e_high_;
    // Lines that change together with E falling have had no hold time, and
    // those that change together with E rising no set-up time.
    if (e_edge && !e) {
        e_high_ = false;
        e_fell(levels);
    }
    uint32_t control = (1u << w_.rs) | (1u << w_.rw);
    if (changed & control) {
        if (e_high_)
            log_.rules.breach(kAddressHold, 0);
        else if (e_fell_at_ != kNever)
            log_.rules.check(kAddressHold, ns(now - e_fell_at_));
        control_changed_at_ = now;
    }
    if (changed & data_mask_) {
        if (!e_high_ && last_pulse_wrote_ && e_fell_at_ != kNever)
            log_.rules.check(kDataHold, ns(now - e_fell_at_));
        data_changed_at_ = now;
    }
    if ((changed >> w_.rw) & 1u && !((levels >> w_.rw) & 1u)) {
        clock_.cancel(read_event_);
        release_data();
    }
    if (e_edge && e) {
        e_high_ = true;
        e_rose(levels);
    }
}

void Hd44780::release_data()
{
    pins_.release(source_, data_mask_);
}

void Hd44780::e_rose(uint32_t levels)
{
    Picos now = clock_.now();
    if (e_rose_at_ != kNever)
        log_.rules.check(kCycle, ns(now - e_rose_at_));
    if (control_changed_at_ != kNever)
        log_.rules.check(kAddressSetup, ns(now - control_changed_at_));
    e_rose_at_ = now;
    in_pulse_ = true;
    // RW is held stable around the pulse, so its level at the rising edge
    // tells a read from a write even if it changes together with E's fall.
    reading_ = (levels >> w_.rw) & 1u;
    if (!reading_)
        return;   // a write: the lines are sampled when E falls
    bool rs = (levels >> w_.rs) & 1u;
    if (eight_bit_ || !second_nibble_) {
        read_byte_ = read_register(rs);
        read_was_data_ = rs;
        read_nibble_ = read_byte_ >> 4;
    } else {
        read_nibble_ = read_byte_ & 0x0F;
    }
    clock_.cancel(read_event_);
    read_event_ = clock_.schedule_in({name_.c_str(), "read data valid"}, kDataDelay, [this] { read_data_valid(); });
}

void Hd44780::read_data_valid()
{
    read_event_ = 0;
    drive_read_nibble();
}

void Hd44780::drive_read_nibble()
{
    pins_.drive(source_, data_mask_, data_mask_, static_cast<uint32_t>(read_nibble_) << w_.d4);
}

void Hd44780::e_fell(uint32_t levels)
{
    if (!in_pulse_)
        return;
    in_pulse_ = false;
    Picos now = clock_.now();
    log_.rules.check(kPulse, ns(now - e_rose_at_));
    e_fell_at_ = now;
    last_pulse_wrote_ = !reading_;
    bool rs = (levels >> w_.rs) & 1u;
    if (reading_) {
        // Data not valid yet is never driven: the reader saw the old levels.
        clock_.cancel(read_event_);
        read_event_ = 0;
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
    if (data_changed_at_ != kNever)
        log_.rules.check(kDataSetup, ns(now - data_changed_at_));
    uint8_t nibble = static_cast<uint8_t>((levels & data_mask_) >> w_.d4);
    if (eight_bit_) {
        check_initialisation(nibble, rs);
        accept(static_cast<uint8_t>(nibble << 4), rs);
        return;
    }
    init_strobes_ = 3;   // the interface is set: initialisation is over
    if (!second_nibble_) {
        high_nibble_ = nibble;
        second_nibble_ = true;
        return;
    }
    second_nibble_ = false;
    accept(static_cast<uint8_t>(high_nibble_ << 4 | nibble), rs);
}

// The first three writes after power-on, when they are the 0x3 function sets
// of an initialisation by instruction, keep the documented waits.
void Hd44780::check_initialisation(uint8_t nibble, bool rs)
{
    if (init_strobes_ >= 3)
        return;
    if (rs || nibble != 0x3) {
        init_strobes_ = 3;
        return;
    }
    Picos now = clock_.now();
    switch (init_strobes_++) {
    case 0: log_.rules.check(kFirstWait, ms(now - powered_at_)); break;
    case 1: log_.rules.check(kSecondWait, ms(now - init_strobe_at_)); break;
    default: log_.rules.check(kThirdWait, us(now - init_strobe_at_)); break;
    }
    init_strobe_at_ = now;
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
        if (clock_.now() < powered_at_ + kPowerOnReset)
            log_.rules.breach(kPowerOn, ms(clock_.now() - powered_at_));
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
