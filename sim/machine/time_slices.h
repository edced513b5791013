// How every front end runs virtual time: in slices, each ending at the
// front end's next look (a scenario step's, the end of --for, the host's
// clock for a real-time run) or after the front end's longest stretch,
// whichever comes first. Between slices the front end looks at stop
// signals, the debugger, the keys, the screen. The stretches are chosen
// here, each with its reason, and nowhere else.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "board/clock.h"
#include "sim/machine/machine.h"

namespace sim {

namespace slices {
// A headless run: its progress line and a stop signal.
constexpr board::Picos kHeadless = 100 * board::kPicosPerMs;
// A scenario, and the debugger server's loop while no debugger holds the
// core: a stop signal, a debugger knocking (a waiting step looks on its own
// at its own pace, see scenario_steps.cpp).
constexpr board::Picos kScenario = 10 * board::kPicosPerMs;
// A debugger running the core: its Ctrl-C.
constexpr board::Picos kDebugger = board::kPicosPerMs;
// The terminal view: its keys and frames, and the most it runs ahead at once
// when the host cannot keep up.
constexpr board::Picos kView = 20 * board::kPicosPerMs;
// The benchmark: its look at the screen for the next status pass.
constexpr board::Picos kBench = board::kPicosPerMs;
// The boot monitor's serial line: within one character time at 115200 baud
// (87 us), while the debug unit holds one received character.
constexpr board::Picos kSerialPoll = 40 * board::kPicosPerUs;
// The chip after it left the boot program (--samba): a stop signal, a reset
// back into it.
constexpr board::Picos kSamba = 100 * board::kPicosPerMs;
}  // namespace slices

// One slice: to `look` or for `slice`, whichever comes first.
inline Machine::Stop run_slice(Machine &machine, board::Picos slice, std::optional<board::Picos> look = std::nullopt)
{
    board::Picos end = machine.board().clock.now() + slice;   // the board's time, as the front ends see it
    return machine.run_until(look ? std::min(*look, end) : end);
}

// Slice after slice until `next_look` has nothing more to run (nullopt) or
// a stop signal arrives; `between` runs after each slice.
void run_slices(Machine &machine, board::Picos slice, const std::function<std::optional<board::Picos>()> &next_look,
                const std::function<void()> &between = {});

// Virtual time kept to the host's clock: how far the board may have run
// by now, counted from the last restart.
class RealTimePace {
public:
    explicit RealTimePace(const board::Clock &clock) : clock_(clock) { restart(); }
    void restart()
    {
        base_wall_ = std::chrono::steady_clock::now();
        base_virtual_ = clock_.now();
    }
    board::Picos allowed() const
    {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - base_wall_).count();
        return base_virtual_ + static_cast<board::Picos>(elapsed * board::kPicosPerSecond);
    }
    // The host could not keep up: count from `at` now instead of piling up a debt.
    void forgive(board::Picos at)
    {
        base_virtual_ = at;
        base_wall_ = std::chrono::steady_clock::now();
    }

private:
    const board::Clock &clock_;
    std::chrono::steady_clock::time_point base_wall_;
    board::Picos base_virtual_ = 0;
};

}  // namespace sim
