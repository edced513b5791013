#include "sim/frontends/gdb_run.h"

#include <algorithm>
#include <memory>

#include "sim/frontends/gdb_target.h"
#include "sim/scenario/scenario_run.h"
#include "sim/machine/stop_signal.h"
#include "sim/machine/time_slices.h"
#include "sim/tools/gdb_server.h"

namespace sim {

namespace {

// The machine as the debugger sees it, with the scenario brought up to date
// before the core moves and never overrun.
class ScenarioPacedTarget : public simtools::DebugTarget {
public:
    ScenarioPacedTarget(MachineDebugTarget &machine, ScenarioRun &run) : machine_(machine), run_(run) {}

    uint32_t read_register(int n) override { return machine_.read_register(n); }
    void write_register(int n, uint32_t value) override { machine_.write_register(n, value); }
    bool read_memory(uint32_t a, uint8_t *out, uint32_t n) override { return machine_.read_memory(a, out, n); }
    bool write_memory(uint32_t a, const uint8_t *d, uint32_t n) override { return machine_.write_memory(a, d, n); }
    bool set_breakpoint(uint32_t a, bool hw) override { return machine_.set_breakpoint(a, hw); }
    bool clear_breakpoint(uint32_t a, bool hw) override { return machine_.clear_breakpoint(a, hw); }
    bool set_watchpoint(uint32_t a, uint32_t n, simtools::WatchKind k) override { return machine_.set_watchpoint(a, n, k); }
    bool clear_watchpoint(uint32_t a, uint32_t n, simtools::WatchKind k) override { return machine_.clear_watchpoint(a, n, k); }
    bool monitor(const std::string &command, std::string &output) override { return machine_.monitor(command, output); }
    bool can_reverse() const override { return machine_.can_reverse(); }
    simtools::StopEvent step_back() override { return machine_.step_back(); }
    simtools::StopEvent continue_back() override { return machine_.continue_back(); }

    // Going over the run's past again, the steps are not taken again: the
    // inputs they gave are the history's.
    simtools::StopEvent step() override
    {
        if (!machine_.in_past() && !run_.advance()) return exited();
        return machine_.step();
    }

    simtools::StopEvent run_slice() override
    {
        if (machine_.in_past()) return machine_.run_slice();
        auto until = run_.advance();
        if (!until) return exited();
        machine_.limit_slices(until);
        auto ev = machine_.run_slice();
        machine_.limit_slices(std::nullopt);
        return ev;
    }

private:
    simtools::StopEvent exited() { return {simtools::StopCause::Exited, simtools::WatchKind::Write, 0, run_.status()}; }

    MachineDebugTarget &machine_;
    ScenarioRun &run_;
};

}  // namespace

int run_with_gdb(Session &session, const GdbRunOptions &options, std::ostream &out, std::ostream &err)
{
    MachineDebugTarget machine(session);
    std::unique_ptr<History> history;
    if (options.history) {
        history = std::make_unique<History>(session, *options.history);
        std::string why;
        const ReplayBundle *r = options.replay;
        if (r && !history->preload(r->inputs, RunPoint{r->end.cycle, r->end.instructions, 0, r->end.time}, why)) {
            err << "boardsim: --replay with --gdb: " << why << "\n";
            return 2;
        }
        machine.use_history(history.get());
    }
    std::unique_ptr<ScenarioRun> run;
    std::unique_ptr<ScenarioPacedTarget> paced;
    if (options.scenario) {
        run = std::make_unique<ScenarioRun>(*options.scenario, session, out);
        paced = std::make_unique<ScenarioPacedTarget>(machine, *run);
    }
    simtools::GdbServer server(paced ? static_cast<simtools::DebugTarget &>(*paced) : machine);
    server.set_stop_check([] { return stop_signal(); });
    server.set_refusal_listener([&err] { err << "boardsim: a second debugger was turned away: one is attached\n"; });
    std::string error;
    if (!server.listen(options.port, error)) {
        err << "boardsim: --gdb: " << error << "\n";
        return 2;
    }
    err << "boardsim: GDB server on 127.0.0.1:" << server.port()
        << (options.wait ? ", the core held at reset until a debugger attaches" : "") << "\n";
    bool waiting = options.wait;
    bool killed = false;
    board::Clock &clock = session.board.clock;
    while (!stop_requested()) {
        if (server.accept(waiting ? 200 : 0)) {
            err << "boardsim: debugger attached\n";
            auto outcome = server.serve();
            machine.clear_all();
            if (outcome == simtools::GdbServer::Outcome::Killed) {
                err << "boardsim: killed by the debugger\n";
                killed = true;
                break;
            }
            if (outcome == simtools::GdbServer::Outcome::Ended) break;
            err << "boardsim: debugger " << (outcome == simtools::GdbServer::Outcome::Detached ? "detached" : "gone")
                << "; the board runs on\n";
            waiting = false;
            continue;
        }
        if (waiting) continue;
        std::optional<board::Picos> look = options.duration;
        if (history && history->in_past()) {
            look.reset();
        } else if (run) {
            look = run->advance();
            if (!look) break;
        } else if (options.duration && clock.now() >= *options.duration) {
            break;
        }
        if (history) {
            board::Picos end = clock.now() + slices::kScenario;
            history->run_until(look ? std::min(*look, end) : end);
        } else {
            run_slice(session.machine, slices::kScenario, look);
        }
    }
    // The run's outputs (the flash files, the report, a recording) are
    // those of where it left off, wherever the debugger last took it.
    if (history && !stop_requested()) history->run_to_end();
    if (!run) return status_after_signal(0);
    if (stop_requested())
        run->interrupt(std::string("interrupted by ") + stop_signal_name(), status_after_signal(1));
    else if (killed)
        run->interrupt("ended by the debugger's kill", 1);
    return run->finish(options.junit, err);
}

}  // namespace sim
