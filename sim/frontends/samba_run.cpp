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

int run_samba(Session &s, std::optional<board::Picos> after_reset, std::ostream &err, std::optional<uint64_t> replay_end)
{
    BootMonitor boot(s.machine);
    board::Clock &clock = s.board.clock;
    auto over = [&] { return stop_requested() || (replay_end && s.machine.cycles() >= *replay_end); };
    while (!boot.serving() && clock.now() < kBringUpLimit && !over())
        run_slice(s.machine, slices::kSerialPoll);
    if (!boot.serving() && !over()) {
        err << "boardsim: the boot program did not reach its monitor\n" << describe_faults(s.machine);
        return 1;
    }
    if (!replay_end)
        err << "boardsim: boot monitor on " << s.serial_path() << std::endl;

    RealTimePace pace(clock);
    std::optional<board::Picos> left_at;
    while (!over()) {
        board::Picos now = clock.now();
        if (boot.serving()) {
            // The host's clock only holds the board back, by whole slices:
            // where the monitor polls never depends on it, so a run is the
            // same at any host speed and a replay needs no record of it.
            if (!replay_end && pace.allowed() < now + slices::kSerialPoll) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            run_slice(s.machine, slices::kSerialPoll);
            boot.poll(clock.now() - now);
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
