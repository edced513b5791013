#include "sim/machine/history.h"

#include <algorithm>

namespace sim {

namespace {

// Going to a point is not running the program: no breakpoint or watchpoint
// stops on the way.
class Quiet {
public:
    explicit Quiet(Machine &m) : m_(m), breakpoints_(m.breakpoints()), watches_(m.watchpoints())
    {
        for (uint32_t a : breakpoints_) m_.remove_breakpoint(a);
        if (!watches_.empty()) m_.set_watchpoints({});
    }
    ~Quiet()
    {
        for (uint32_t a : breakpoints_) m_.add_breakpoint(a);
        if (!watches_.empty()) m_.set_watchpoints(watches_);
    }
    Quiet(const Quiet &) = delete;
    Quiet &operator=(const Quiet &) = delete;

private:
    Machine &m_;
    std::set<uint32_t> breakpoints_;
    std::vector<Arm7tdmi::Watch> watches_;
};

bool stopped_by_debugger(Machine::Stop s) { return s == Machine::Stop::Breakpoint || s == Machine::Stop::Watchpoint; }

}  // namespace

History::History(Session &session, const HistoryOptions &options)
    : session_(session), machine_(session.machine), options_(options), timeline_(options.memory)
{
    session_.inputs().start();
    session_.inputs().set_before_add([this] { fork(); });
    session_.set_past([this] { return !live_; });
    start_ = end_ = here();
    timeline_.take(machine_, start_);
}

History::~History()
{
    session_.inputs().set_before_add(nullptr);
    session_.set_past(nullptr);
}

bool History::preload(std::vector<InputEvent> inputs, const RunPoint &end, std::string &error)
{
    for (const InputEvent &e : inputs)
        if (e.kind == InputEvent::Kind::PowerOn) {
            error = "the recording powers the board on again in its middle; it cannot be walked backwards";
            return false;
        }
    end_ = end;
    end_.inputs = inputs.size();
    session_.inputs().preload(std::move(inputs));
    next_ = 0;
    live_ = false;
    return true;
}

RunPoint History::here() const
{
    RunPoint p;
    p.cycle = machine_.cycles();
    p.instructions = machine_.instructions();
    p.inputs = live_ ? session_.inputs().events().size() : next_;
    p.time = session_.board.clock.now();
    return p;
}

void History::note()
{
    const RunPoint *last = timeline_.latest(machine_.cycles());
    if (!last || session_.board.clock.now() - last->time >= options_.interval)
        timeline_.take(machine_, here());
    timeline_.fit(machine_.cycles(), live_ ? machine_.cycles() : end_.cycle);
}

void History::settle()
{
    if (live_) return;
    const auto &events = session_.inputs().events();
    const uint64_t now = machine_.cycles();
    for (; next_ < events.size() && events[next_].cycle <= now; ++next_)
        if (!events[next_].on_line()) session_.give_again(events[next_]);
    if (next_ >= end_.inputs && now >= end_.cycle) live_ = true;
}

uint64_t History::next_input_cycle() const
{
    const auto &events = session_.inputs().events();
    for (size_t i = next_; i < events.size() && events[i].cycle < end_.cycle; ++i)
        if (!events[i].on_line()) return events[i].cycle;
    return end_.cycle;
}

void History::fork()
{
    if (live_) return;
    session_.inputs().keep_first(next_);
    timeline_.forget_after(machine_.cycles());
    live_ = true;
}

Machine::Stop History::run_until(board::Picos deadline)
{
    if (!live_) {
        // Up to the end of the history at most: the caller looks again (a
        // scenario's next step) before the run goes live.
        Machine::Stop s = Machine::Stop::Deadline;
        settle();
        while (!live_) {
            s = machine_.run_until(deadline, next_input_cycle());
            if (s != Machine::Stop::Deadline || session_.board.clock.now() >= deadline) break;
            settle();
        }
        note();
        return s;
    }
    Machine::Stop s = machine_.run_until(deadline);
    note();
    return s;
}

Machine::Stop History::step()
{
    settle();
    Machine::Stop s = machine_.step();
    note();
    return s;
}

void History::run_to_end()
{
    if (live_) return;
    {
        Quiet quiet(machine_);
        replay_to(end_.cycle, {});
    }
    settle();
}

void History::leave_live()
{
    if (live_) end_ = here();
}

void History::back_to(const RunPoint &snapshot)
{
    timeline_.restore(machine_, snapshot);
    next_ = snapshot.inputs;
    live_ = false;
}

void History::replay_to(uint64_t goal, const std::function<void(Machine::Stop)> &stopped)
{
    while (machine_.cycles() < goal) {
        settle();
        // A run resumes over a breakpoint where it starts: one there is seen here.
        if (stopped && machine_.breakpoints().count(machine_.cpu().pc())) stopped(Machine::Stop::Breakpoint);
        const RunPoint *last = timeline_.latest(machine_.cycles());
        const board::Picos now = session_.board.clock.now();
        board::Picos next_snapshot = last ? last->time + options_.interval : now;
        if (next_snapshot <= now) next_snapshot = now + options_.interval;
        Machine::Stop s = machine_.run_until(next_snapshot, std::min(goal, next_input_cycle()));
        if (stopped && stopped_by_debugger(s)) stopped(s);
        // Snapshots on the way keep the neighbourhood of the point dense.
        if (session_.board.clock.now() >= next_snapshot) note();
    }
}

void History::seek(uint64_t cycle)
{
    Quiet quiet(machine_);
    const RunPoint *from = timeline_.latest(cycle);
    back_to(*from);
    replay_to(cycle, {});
}

std::optional<uint64_t> History::boundary_before(uint64_t cycle)
{
    if (cycle <= start_.cycle) return std::nullopt;
    Quiet quiet(machine_);
    for (uint64_t span = 256;; span *= 16) {
        uint64_t from = cycle - std::min(span, cycle - start_.cycle);
        seek(from);
        if (machine_.cycles() < cycle) {
            uint64_t last = machine_.cycles();
            while (machine_.cycles() < cycle) {
                last = machine_.cycles();
                settle();
                machine_.step();
            }
            return last;
        }
        if (from == start_.cycle) return std::nullopt;
    }
}

bool History::step_back()
{
    leave_live();
    auto before = boundary_before(machine_.cycles());
    if (!before) return false;
    seek(*before);
    return true;
}

std::optional<History::Hit> History::continue_back()
{
    leave_live();
    const uint64_t limit = machine_.cycles();
    uint64_t segment_end = limit;
    while (const RunPoint *snapshot = timeline_.latest(segment_end, true)) {
        const RunPoint from = *snapshot;
        back_to(from);
        std::optional<Hit> last;
        replay_to(segment_end, [&](Machine::Stop s) {
            uint64_t at = machine_.cycles();
            // A watched access by the instruction that ends here counts; a
            // breakpoint here is the present point's own.
            if (s == Machine::Stop::Watchpoint ? at <= limit : at < limit)
                last = Hit{s, machine_.last_watch_hit(), at};
        });
        if (last) {
            seek(last->at);
            return last;
        }
        segment_end = from.cycle;
    }
    seek(start_.cycle);
    return std::nullopt;
}

}  // namespace sim
