// boardsim --gdb: the board runs headless while a debugger may attach on
// 127.0.0.1:PORT. Attached, the debugger controls the core; detached, the
// board runs on (and another debugger may attach). The run ends at the
// duration, at the end of the scenario, on a stop signal, or when the
// debugger kills it.
//
// With a scenario, its steps run as virtual time passes, whether the core
// runs freely or under the debugger; while the debugger holds the core,
// time and the scenario stand still. When the last step is done while a
// debugger waits, it is told that the program exited with the scenario's
// status.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "board/clock.h"
#include "sim/scenario/scenario.h"
#include "sim/machine/history.h"
#include "sim/machine/replay_bundle.h"
#include "sim/machine/session.h"

namespace sim {

struct GdbRunOptions {
    uint16_t port = 0;
    bool wait = false;                          // hold the core at reset until a debugger attaches
    std::optional<board::Picos> duration;       // virtual time to run, outside debugging
    const Scenario *scenario = nullptr;
    std::string junit;                          // with a scenario: its report
    // Keep the run's history, so that the debugger can go back.
    std::optional<HistoryOptions> history;
    // A recorded run to go over (with a history): its inputs come from it.
    const ReplayBundle *replay = nullptr;
};

// Returns the exit status: the scenario's, 0 without one, 128 + the signal
// after a stop signal, or 2 when the port cannot be opened.
int run_with_gdb(Session &session, const GdbRunOptions &options, std::ostream &out, std::ostream &err);

}  // namespace sim
