// The benchmark: boots the image headless, runs a fixed number of status
// passes (a pass is counted each time the address shown after "ADR:"
// changes) and prints virtual seconds, wall seconds, the real-time factor
// (virtual / wall), guest instructions per wall second and the wall time
// to the first complete status screen. It reads the host's clock, as a
// benchmark must; nothing it measures feeds back into the run.
#pragma once

#include <ostream>
#include <string>

namespace sim {

class Session;

constexpr unsigned kBenchPasses = 16;

// The four rows as the firmware's status screen has them, all fields filled.
bool is_status_screen(const Session &session);

int run_bench(Session &session, unsigned passes, std::ostream &out);

}  // namespace sim
