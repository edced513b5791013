// boardsim --replay: a recorded run again, with nothing from outside. The
// session was opened with the recording's options and flash contents; the
// recorded inputs are given back at their instruction boundaries (the line's
// bytes at the link's polls, the boot monitor's polls with the same pacing)
// and the run ends where the recording ended. Every input is checked to
// arrive at its recorded cycle and instruction count: a replay that drifts
// says where, rather than showing another run as this one.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "sim/machine/replay_bundle.h"
#include "sim/machine/session.h"

namespace sim {

// Runs the machine to the first instruction boundary at or after `cycle`;
// false (with where it stopped in `error`) when that boundary is not at
// `cycle` and `instructions`, or when a stop signal came first (error empty).
bool reach_boundary(Session &session, uint64_t cycle, uint64_t instructions, std::string &error);

// 0 when the run was reproduced (kGuestFaulted when it faulted, as headless
// runs do), 1 when it diverged, 128 + N after stop signal N. The display,
// the LED and the end point are printed on `out`.
int run_replay(Session &session, const ReplayBundle &bundle, std::ostream &out, std::ostream &err);

}  // namespace sim
