// SIGINT, SIGTERM and SIGHUP end a run at the next slice of virtual time, so
// that the serial flash and every output are still written back and the
// terminal restored; the run then exits with the shell's status for the
// signal (128 + its number: 130 for SIGINT).
#pragma once

namespace sim {

void install_stop_signals();
bool stop_requested();
// The first stop signal received, 0 if none.
int stop_signal();
// "SIGINT", "SIGTERM", "SIGHUP".
const char *stop_signal_name();
// 128 + the signal when one was received, `status` otherwise.
int status_after_signal(int status);

}  // namespace sim
