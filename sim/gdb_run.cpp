#include "sim/gdb_run.h"

#include <algorithm>

#include "sim/gdb_target.h"
#include "sim/stop_signal.h"
#include "sim/tools/gdb_server.h"

namespace sim {

int run_with_gdb(Session &session, const GdbRunOptions &options, std::ostream &err)
{
    constexpr board::Picos kSlice = 10 * board::kPicosPerMs;
    MachineDebugTarget target(session);
    simtools::GdbServer server(target);
    std::string error;
    if (!server.listen(options.port, error)) {
        err << "boardsim: --gdb: " << error << "\n";
        return 2;
    }
    err << "boardsim: GDB server on 127.0.0.1:" << server.port()
        << (options.wait ? ", the core held at reset until a debugger attaches" : "") << "\n";
    bool waiting = options.wait;
    board::Clock &clock = session.board.clock;
    while (!stop_requested()) {
        if (server.accept(waiting ? 200 : 0)) {
            err << "boardsim: debugger attached\n";
            auto outcome = server.serve();
            target.clear_all();
            if (outcome == simtools::GdbServer::Outcome::Killed) {
                err << "boardsim: killed by the debugger\n";
                return 0;
            }
            err << "boardsim: debugger " << (outcome == simtools::GdbServer::Outcome::Detached ? "detached" : "gone")
                << "; the board runs on\n";
            waiting = false;
            continue;
        }
        if (waiting) continue;
        if (options.duration && clock.now() >= *options.duration) break;
        board::Picos until = clock.now() + kSlice;
        if (options.duration) until = std::min(until, *options.duration);
        session.machine.run_until(until);
    }
    return 0;
}

}  // namespace sim
