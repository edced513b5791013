#include "sim/machine/screenshot.h"

#include "sim/machine/session.h"

namespace sim {

simtools::DisplayState display_state(const board::Hd44780 &lcd, bool led)
{
    simtools::DisplayState s;
    for (int r = 0; r < 4; ++r) {
        std::string codes = lcd.row(r);
        for (int c = 0; c < 20; ++c) s.codes[r][c] = c < static_cast<int>(codes.size()) ? uint8_t(codes[c]) : ' ';
    }
    for (uint8_t a = 0; a < 64; ++a) s.cgram[a] = lcd.cgram(a);
    s.display_on = lcd.display_on();
    s.cursor_on = lcd.cursor_on() && lcd.cursor_at(s.cursor_row, s.cursor_col);
    s.led = led;
    return s;
}

bool save_screenshot(const Session &session, const std::string &path, std::string &error)
{
    return simtools::write_png(path, simtools::render_display(display_state(session.board.lcd, session.led())), error);
}

bool matches_screenshot(const Session &session, const std::string &reference, std::string &report)
{
    simtools::Image expected;
    if (!simtools::read_png(reference, expected, report)) return false;
    simtools::Image now = simtools::render_display(display_state(session.board.lcd, session.led()));
    simtools::PictureDifference d = simtools::compare_pictures(now, expected);
    if (!d.any()) return true;
    report = "differs from " + reference + ": " + d.describe();
    return false;
}

}  // namespace sim
