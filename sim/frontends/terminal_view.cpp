#include "sim/frontends/terminal_view.h"

#include <curses.h>
#include <langinfo.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "sim/machine/duration.h"
#include "sim/machine/screen_text.h"
#include "sim/machine/screenshot.h"
#include "sim/machine/session.h"
#include "sim/machine/rule_report.h"
#include "sim/machine/stop_signal.h"
#include "sim/machine/time_slices.h"

namespace sim {

namespace {

using wall = std::chrono::steady_clock;
constexpr board::Picos kClick = 100 * board::kPicosPerMs;
const char kBindings[3] = {'i', 'd', 'c'};

void put(int y, int x, const std::string &s)
{
    mvaddstr(y, x, s.c_str());
}

// Two pixel rows per character cell with the half blocks.
std::string dots(uint8_t upper, uint8_t lower, int column)
{
    bool u = (upper >> (4 - column)) & 1, l = (lower >> (4 - column)) & 1;
    return u && l ? "█" : u ? "▀" : l ? "▄" : " ";
}

constexpr int kNeedRows = 24, kNeedColumns = 80;

// How long the LED was lit over the last frame: a blink burst is far faster
// than the frames, so the level at the instant of drawing says little.
class LedMeter {
public:
    explicit LedMeter(Session &s) : clock_(s.board.clock), on_(s.led()), since_(clock_.now()), frame_(since_) {}
    void changed(bool on)
    {
        board::Picos now = clock_.now();
        if (on_) lit_ += now - since_;
        since_ = now;
        on_ = on;
    }
    // The share of the frame that ends now; starts the next frame.
    double duty()
    {
        changed(on_);
        board::Picos length = since_ - frame_;
        double d = length ? static_cast<double>(lit_) / static_cast<double>(length) : (on_ ? 1.0 : 0.0);
        lit_ = 0;
        frame_ = since_;
        return d;
    }

private:
    const board::Clock &clock_;
    bool on_;
    board::Picos since_, frame_, lit_ = 0;
};

std::string led_text(double duty)
{
    if (duty <= 0) return "LED ○ off";
    if (duty >= 1) return "LED ● on";
    char b[32];
    snprintf(b, sizeof b, "LED ◐ %3.0f%% on", duty * 100);
    return b;
}

void draw(Session &s, const ViewOptions &o, double speed, bool fast, uint32_t held, const std::string &note, double led_duty)
{
    erase();
    int rows, columns;
    getmaxyx(stdscr, rows, columns);
    if (rows < kNeedRows || columns < kNeedColumns) {
        char b[160];
        snprintf(b, sizeof b, "terminal too small: the view needs %dx%d, this one is %dx%d (q quits)", kNeedColumns,
                 kNeedRows, columns, rows);
        put(0, 0, b);
        refresh();
        return;
    }
    put(0, 0, "boardsim  " + o.image);
    put(2, 0, "┌────────────────────┐");
    for (int r = 0; r < 4; ++r)
        put(3 + r, 0, "│" + codes_text(s.row_codes(r)) + "│");
    put(7, 0, "└────────────────────┘");
    put(2, 25, led_text(led_duty));

    // The user glyphs as the controller holds them now.
    put(9, 0, "glyphs");
    for (int g = 0; g < 8; ++g) {
        auto rows = s.board.lcd.glyph(static_cast<uint8_t>(g));
        put(10, 8 + g * 7, code_text(static_cast<uint8_t>(g)));
        for (int pair = 0; pair < 4; ++pair) {
            std::string line;
            for (int c = 0; c < 5; ++c)
                line += dots(rows[pair * 2], rows[pair * 2 + 1], c);
            put(11 + pair, 8 + g * 7, line);
        }
    }

    for (int k = 0; k < 3; ++k) {
        bool down = s.keys.pressed(k);
        char b[96];
        snprintf(b, sizeof b, "%c/%c  %-7s PA%d %s", kBindings[k], kBindings[k] - 32, board::Keys::kKeys[k].name,
                 board::Keys::kKeys[k].line, down ? ((held >> k) & 1 ? "held" : "pressed") : "up");
        put(16 + k, 0, b);
    }
    char t[128];
    snprintf(t, sizeof t, "virtual time %s   speed %.2fx %s   master clock %.3f MHz",
             format_time(s.board.clock.now()).c_str(), speed, fast ? "(fast)" : "(real time)",
             s.board.clock.master_hz() / 1e6);
    put(20, 0, t);
    put(21, 0, "i/d/c click a key, I/D/C hold it, p picture, f fast, r reset, q quit");
    if (!note.empty())
        put(22, 0, note);
    std::string faults = describe_faults(s.machine);
    if (!faults.empty())
        put(23, 0, faults);
    const auto &broken = s.board.log.rules.violations();
    if (!broken.empty())
        put(faults.empty() ? 23 : 24, 0,
            std::to_string(broken.size()) + " rule(s) broken; first: " + describe_violation(broken.front()));
    refresh();
}

}  // namespace

int run_terminal_view(Session &s, const ViewOptions &o)
{
    // The screen is drawn with UTF-8 (frames, half blocks, circled digits).
    // Without a UTF-8 locale in the environment, take the C library's own.
    setlocale(LC_ALL, "");
    if (std::string(nl_langinfo(CODESET)) != "UTF-8")
        setlocale(LC_CTYPE, "C.UTF-8");
    initscr();
    cbreak();
    noecho();
    nodelay(stdscr, TRUE);
    keypad(stdscr, TRUE);
    curs_set(0);

    bool fast = o.fast;
    std::string note;
    uint32_t held = 0;
    board::Picos release_at[3] = {0, 0, 0};
    RealTimePace pace(s.board.clock);
    auto speed_wall = wall::now();
    board::Picos speed_virtual = s.board.clock.now();
    double speed = 0;
    auto last_draw = wall::now() - std::chrono::seconds(1);
    // Shared with the listener, which the pins keep after the view ends.
    auto led = std::make_shared<LedMeter>(s);
    s.board.pa.add_listener([led](uint32_t, uint32_t levels) { led->changed((levels >> Session::kLedLine) & 1u); },
                            1u << Session::kLedLine);

    while (!stop_requested()) {
        int ch;
        bool quit = false;
        while ((ch = getch()) != ERR) {
            for (int k = 0; k < 3; ++k) {
                if (ch == kBindings[k] && !((held >> k) & 1)) {
                    s.press(k);
                    release_at[k] = s.board.clock.now() + kClick;
                } else if (ch == kBindings[k] - 32) {
                    held ^= 1u << k;
                    if ((held >> k) & 1)
                        s.press(k);
                    else
                        s.release(k);
                    release_at[k] = 0;
                }
            }
            if (ch == 'q' || ch == 'Q')
                quit = true;
            if (ch == 'p') {
                // The first free name, so that no earlier picture is overwritten.
                std::string name;
                for (int n = 1; name.empty() || std::filesystem::exists(name); ++n)
                    name = "boardsim-" + std::to_string(n) + ".png";
                std::string error;
                note = save_screenshot(s, name, error) ? "picture saved: " + name : error;
            }
            if (ch == 'f') {
                fast = !fast;
                pace.restart();
            }
            if (ch == 'r') {
                s.power_on();
                held = 0;
                pace.restart();
            }
        }
        if (quit)
            break;

        board::Picos now = s.board.clock.now();
        board::Picos target;
        if (fast) {
            target = now + slices::kView;
        } else {
            target = pace.allowed();
            if (target > now + slices::kView) {
                // The host cannot keep up: run at its own pace instead of piling up a debt.
                target = now + slices::kView;
                pace.forgive(target);
            }
        }
        for (int k = 0; k < 3; ++k)
            if (release_at[k] && release_at[k] <= target)
                target = std::max(now, release_at[k]);
        if (target > now)
            run_slice(s.machine, slices::kView, target);
        for (int k = 0; k < 3; ++k)
            if (release_at[k] && s.board.clock.now() >= release_at[k]) {
                s.release(k);
                release_at[k] = 0;
            }

        auto w = wall::now();
        double since = std::chrono::duration<double>(w - speed_wall).count();
        if (since >= 0.5) {
            speed = static_cast<double>(s.board.clock.now() - speed_virtual) / board::kPicosPerSecond / since;
            speed_wall = w;
            speed_virtual = s.board.clock.now();
        }
        if (w - last_draw >= std::chrono::milliseconds(33)) {
            draw(s, o, speed, fast, held, note, led->duty());
            last_draw = w;
        }
        if (!fast && s.board.clock.now() >= target)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    endwin();
    return 0;
}

}  // namespace sim
