#include "sim/frontends/replay_run.h"

#include "sim/frontends/samba_run.h"
#include "sim/frontends/headless_run.h"
#include "sim/machine/duration.h"
#include "sim/machine/stop_signal.h"

namespace sim {

bool reach_boundary(Session &s, uint64_t cycle, uint64_t instructions, std::string &error)
{
    // In slices, for stop signals; where the slices end changes nothing.
    constexpr uint64_t kSlice = 4'000'000;
    error.clear();
    Machine &m = s.machine;
    while (m.cycles() < cycle && !stop_requested())
        m.run_to_cycle(std::min(cycle, m.cycles() + kSlice));
    if (m.cycles() < cycle) return false;
    if (m.cycles() == cycle && m.instructions() == instructions) return true;
    error = "cycle " + std::to_string(cycle) + ", instruction " + std::to_string(instructions) +
            " was recorded; the replay is at cycle " + std::to_string(m.cycles()) + ", instruction " +
            std::to_string(m.instructions());
    return false;
}

int run_replay(Session &s, const ReplayBundle &b, std::ostream &out, std::ostream &err)
{
    std::vector<InputEvent> line;
    for (const auto &e : b.inputs)
        if (e.on_line()) line.push_back(e);
    s.replay_line(std::move(line));

    size_t n = 0;
    std::string error;
    auto diverged = [&](const std::string &where) {
        err << "boardsim: the replay diverged from the recording at " << where << ": " << error << "\n";
        out << s.report();
        return 1;
    };
    for (const auto &e : b.inputs) {
        if (e.on_line()) continue;
        ++n;
        if (!reach_boundary(s, e.cycle, e.instructions, error)) {
            if (error.empty()) break;   // a stop signal
            return diverged("input " + std::to_string(n) + " (virtual time " + format_time(e.time) + ")");
        }
        s.apply(e);
    }
    // The boot monitor's run is its own loop, unpaced: it polls where it did.
    if (b.boot_program && !stop_requested()) run_samba(s, b.duration, err, b.end.cycle);
    if (!stop_requested() && !reach_boundary(s, b.end.cycle, b.end.instructions, error) && !error.empty())
        return diverged("the end of the run");
    out << s.report();
    if (stop_requested()) return status_after_signal(0);
    out << "replayed " << b.inputs.size() << " input(s) to virtual time " << format_time(s.board.clock.now()) << " ("
        << s.machine.cycles() << " cycles, " << s.machine.instructions() << " instructions)\n";
    return s.machine.faults().empty() ? 0 : kGuestFaulted;
}

}  // namespace sim
