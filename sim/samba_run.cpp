#include "sim/samba_run.h"

#include <chrono>
#include <thread>

#include "sim/boot_monitor.h"
#include "sim/headless_run.h"
#include "sim/stop_signal.h"

namespace sim {

namespace {
// Within one character time at 115200 baud (87 us): the debug unit holds
// one received character.
constexpr board::Picos kPoll = 40 * board::kPicosPerUs;
constexpr board::Picos kBringUpLimit = board::kPicosPerSecond;
constexpr board::Picos kSlice = 100 * board::kPicosPerMs;
using wall = std::chrono::steady_clock;
}  // namespace

int run_samba(Session &s, std::optional<board::Picos> after_reset, std::ostream &err)
{
    BootMonitor boot(s.machine);
    board::Clock &clock = s.board.clock;
    while (!boot.serving() && clock.now() < kBringUpLimit && !stop_requested())
        s.machine.run_for(kPoll);
    if (!boot.serving()) {
        err << "boardsim: the boot program did not reach its monitor\n" << describe_faults(s.machine);
        return 1;
    }
    err << "boardsim: boot monitor on " << s.serial_path() << std::endl;

    auto base_wall = wall::now();
    board::Picos base_virtual = clock.now();
    std::optional<board::Picos> left_at;
    while (!stop_requested()) {
        board::Picos now = clock.now();
        if (boot.serving()) {
            double elapsed = std::chrono::duration<double>(wall::now() - base_wall).count();
            board::Picos allowed = base_virtual + static_cast<board::Picos>(elapsed * board::kPicosPerSecond);
            if (allowed <= now) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            s.machine.run_until(std::min(allowed, now + kPoll));
            boot.poll(clock.now() - now);
            continue;
        }
        if (!left_at)
            left_at = now;
        if (after_reset && now >= *left_at + *after_reset)
            break;
        board::Picos end = after_reset ? std::min(*left_at + *after_reset, now + kSlice) : now + kSlice;
        s.machine.run_until(end);
        if (boot.serving()) {   // back in the boot program (a reset into it)
            left_at.reset();
            base_wall = wall::now();
            base_virtual = clock.now();
        }
    }
    return s.machine.fault_count() ? kGuestFaulted : 0;
}

}  // namespace sim
