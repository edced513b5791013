// boardsim --gdb: the board runs headless while a debugger may attach on
// 127.0.0.1:PORT. Attached, the debugger controls the core; detached, the
// board runs on (and another debugger may attach). The run ends at the
// duration, on a stop signal, or when the debugger kills it.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>

#include "board/clock.h"
#include "sim/session.h"

namespace sim {

struct GdbRunOptions {
    uint16_t port = 0;
    bool wait = false;                          // hold the core at reset until a debugger attaches
    std::optional<board::Picos> duration;       // virtual time to run, outside debugging
};

// Returns the exit status: 0, or 2 when the port cannot be opened.
int run_with_gdb(Session &session, const GdbRunOptions &options, std::ostream &err);

}  // namespace sim
