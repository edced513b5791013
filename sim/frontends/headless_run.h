// The plain headless run: the board runs for a stretch of virtual time (or
// until a stop signal), then its display, LED and any guest faults are
// printed. On a terminal, a run that takes more than a few seconds of wall
// time shows its progress (virtual time, speed) on the error stream; when
// that is not a terminal, nothing.
#pragma once

#include <optional>
#include <ostream>

#include "board/clock.h"

namespace sim {

class Session;

// Exit status 3 when the guest faulted.
constexpr int kGuestFaulted = 3;

// Returns 0, kGuestFaulted, or 128 + the stop signal.
int run_headless(Session &session, std::optional<board::Picos> duration, std::ostream &out, std::ostream &err);

}  // namespace sim
