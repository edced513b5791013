#include "sim/machine/stop_signal.h"

#include <csignal>
#include <initializer_list>

namespace sim {

namespace {
volatile std::sig_atomic_t g_signal = 0;
void on_signal(int s)
{
    if (g_signal == 0) g_signal = s;
}
}  // namespace

void install_stop_signals()
{
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a wait for a debugger's packet returns to look at the flag.
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
}

bool stop_requested() { return g_signal != 0; }

int stop_signal() { return g_signal; }

const char *stop_signal_name()
{
    switch (g_signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

int status_after_signal(int status) { return g_signal ? 128 + g_signal : status; }

}  // namespace sim
