// SIGINT and SIGTERM end a run at the next slice, so that the serial flash is
// still written back (atomically) and the terminal restored.
#pragma once

namespace sim {

void install_stop_signals();
bool stop_requested();

}  // namespace sim
