#include "sim/frontends/headless_run.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "sim/machine/duration.h"
#include "sim/machine/session.h"
#include "sim/machine/stop_signal.h"
#include "sim/machine/time_slices.h"

namespace sim {

namespace {

using wall = std::chrono::steady_clock;

// One line on the terminal, rewritten in place, cleared at the end.
class Progress {
public:
    Progress(const board::Clock &clock, std::ostream &err, bool terminal)
        : clock_(clock), err_(err), terminal_(terminal), start_(wall::now()), last_(start_)
    {
    }
    ~Progress()
    {
        if (shown_) err_ << "\r\033[K" << std::flush;
    }

    void update(std::optional<board::Picos> end)
    {
        if (!terminal_) return;
        auto now = wall::now();
        if (now - start_ < std::chrono::seconds(3) || now - last_ < std::chrono::milliseconds(500)) return;
        double speed = static_cast<double>(clock_.now() - last_virtual_) / board::kPicosPerSecond /
                       std::chrono::duration<double>(now - last_).count();
        last_ = now;
        last_virtual_ = clock_.now();
        char b[128];
        std::snprintf(b, sizeof b, "\rvirtual time %s%s%s   speed %.2fx real time\033[K", format_time(clock_.now()).c_str(),
                      end ? " of " : "", end ? format_time(*end).c_str() : "", speed);
        err_ << b << std::flush;
        shown_ = true;
    }

private:
    const board::Clock &clock_;
    std::ostream &err_;
    bool terminal_;
    wall::time_point start_, last_;
    board::Picos last_virtual_ = 0;
    bool shown_ = false;
};

}  // namespace

int run_headless(Session &session, std::optional<board::Picos> duration, std::ostream &out, std::ostream &err)
{
    board::Clock &clock = session.board.clock;
    {
        Progress progress(clock, err, isatty(STDERR_FILENO));
        // Without a duration: until a stop signal.
        run_slices(
            session.machine, slices::kHeadless,
            [&]() -> std::optional<board::Picos> {
                if (!duration) return clock.now() + slices::kHeadless;
                if (clock.now() >= *duration) return std::nullopt;
                return *duration;
            },
            [&] { progress.update(duration); });
    }
    out << session.report();
    if (stop_requested()) return status_after_signal(0);
    return session.machine.faults().empty() ? 0 : kGuestFaulted;
}

}  // namespace sim
