// boardsim --samba: the board as a chip after the TST procedure. The boot
// program brings the chip up; once its monitor serves the debug unit's line
// (on the session's pseudo-terminal, whose path is printed then), the run
// keeps virtual time no faster than the host's so that the monitor's
// timeouts mean what they mean to the host tool. The host's clock only
// delays the board, never changes where it polls: a session is replayed by
// this same loop, unpaced. When the host resets the
// chip (RSTC_CR) it boots whatever its flash now holds.
#pragma once

#include <optional>
#include <ostream>

#include "board/clock.h"
#include "sim/machine/session.h"

namespace sim {

// `after_reset`: end the run this much virtual time after the chip has left
// the boot program; without it, run until stopped by a signal. 0 on a
// normal end, kGuestFaulted (3) when the guest faulted (the faults are in
// the session's report), 1 when the boot program never reached its monitor.
// `replay_end`: a replay, unpaced, to that cycle.
int run_samba(Session &session, std::optional<board::Picos> after_reset, std::ostream &err,
              std::optional<uint64_t> replay_end = std::nullopt);

}  // namespace sim
