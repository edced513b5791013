#include "sim/frontends/samba_run.h"

#include <chrono>
#include <thread>

#include "sim/frontends/boot_monitor.h"
#include "sim/frontends/headless_run.h"
#include "sim/machine/stop_signal.h"
#include "sim/machine/time_slices.h"

namespace sim {

namespace {
constexpr board::Picos kBringUpLimit = board::kPicosPerSecond;
}  // namespace

int run_samba(Session &s, std::optional<board::Picos> after_reset, std::ostream &err)
{
    BootMonitor boot(s.machine);
    board::Clock &clock = s.board.clock;
    while (!boot.serving() && clock.now() < kBringUpLimit && !stop_requested())
        run_slice(s.machine, slices::kSerialPoll);
    if (!boot.serving()) {
        err << "boardsim: the boot program did not reach its monitor\n" << describe_faults(s.machine);
        return 1;
    }
    err << "boardsim: boot monitor on " << s.serial_path() << std::endl;

    RealTimePace pace(clock);
    std::optional<board::Picos> left_at;
    while (!stop_requested()) {
        board::Picos now = clock.now();
        if (boot.serving()) {
            board::Picos allowed = pace.allowed();
            if (allowed <= now) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            run_slice(s.machine, slices::kSerialPoll, allowed);
            if (boot.serving()) {
                s.monitor_polled(clock.now() - now);
                boot.poll(clock.now() - now);
            }
            continue;
        }
        if (!left_at)
            left_at = now;
        if (after_reset && now >= *left_at + *after_reset)
            break;
        run_slice(s.machine, slices::kSamba, after_reset ? std::optional(*left_at + *after_reset) : std::nullopt);
        if (boot.serving()) {   // back in the boot program (a reset into it)
            left_at.reset();
            pace.restart();
        }
    }
    return s.machine.fault_count() ? kGuestFaulted : 0;
}

}  // namespace sim
