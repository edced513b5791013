#include "sim/frontends/gdb_target.h"

#include <csignal>
#include <sstream>

#include <yaml-cpp/yaml.h>

#include "sim/scenario/scenario_step.h"
#include "sim/machine/time_slices.h"
#include "sim/tools/trace.h"

namespace sim {

namespace {
bool overlaps(uint32_t a, uint32_t alen, uint32_t b, uint32_t blen)
{
    return uint64_t(a) < uint64_t(b) + blen && uint64_t(b) < uint64_t(a) + alen;
}
}  // namespace

MachineDebugTarget::MachineDebugTarget(Session &session) : session_(session) {}

MachineDebugTarget::~MachineDebugTarget() { clear_all(); }

void MachineDebugTarget::clear_all()
{
    for (auto &[address, count] : breakpoints_) session_.machine.remove_breakpoint(address);
    breakpoints_.clear();
    watchpoints_.clear();
    update_watchpoints();
}

uint32_t MachineDebugTarget::read_register(int n) { return session_.machine.cpu().reg(n); }

void MachineDebugTarget::write_register(int n, uint32_t value)
{
    Arm7tdmi &cpu = session_.machine.cpu();
    if (n != 15) {
        session_.set_register(n, value);
        return;
    }
    // A new pc (jump, call, "set $pc", "continue ADDR") runs in the state
    // its bit 0 or its function's symbol gives, else in the present one.
    const ElfImage *image = session_.machine.image();
    std::optional<bool> symbol = image ? image->thumb_at(value & ~1u) : std::nullopt;
    bool thumb = (value & 1u) ? true : symbol.value_or(cpu.thumb());
    uint32_t cpsr = cpu.cpsr();
    session_.set_cpsr(thumb ? cpsr | kCpsrT : cpsr & ~kCpsrT);
    session_.set_register(15, value & (thumb ? ~1u : ~3u));
}

bool MachineDebugTarget::read_memory(uint32_t address, uint8_t *out, uint32_t length)
{
    return session_.machine.peek(address, out, length);
}

bool MachineDebugTarget::write_memory(uint32_t address, const uint8_t *data, uint32_t length)
{
    return session_.poke(address, data, length);
}

bool MachineDebugTarget::set_breakpoint(uint32_t address, bool)
{
    address &= ~1u;
    if (breakpoints_[address]++ == 0) session_.machine.add_breakpoint(address);
    return true;
}

bool MachineDebugTarget::clear_breakpoint(uint32_t address, bool)
{
    address &= ~1u;
    auto it = breakpoints_.find(address);
    if (it == breakpoints_.end()) return false;
    if (--it->second == 0) {
        breakpoints_.erase(it);
        session_.machine.remove_breakpoint(address);
    }
    return true;
}

bool MachineDebugTarget::set_watchpoint(uint32_t address, uint32_t length, simtools::WatchKind kind)
{
    if (length == 0 || uint64_t(address) + length > 0x100000000ull) return false;
    ++watchpoints_[{address, length, kind}];
    update_watchpoints();
    return true;
}

bool MachineDebugTarget::clear_watchpoint(uint32_t address, uint32_t length, simtools::WatchKind kind)
{
    auto it = watchpoints_.find({address, length, kind});
    if (it == watchpoints_.end()) return false;
    if (--it->second == 0) watchpoints_.erase(it);
    update_watchpoints();
    return true;
}

void MachineDebugTarget::update_watchpoints()
{
    std::vector<Arm7tdmi::Watch> watches;
    for (const auto &[key, count] : watchpoints_) {
        auto [a, len, kind] = key;
        watches.push_back({a, len, kind != simtools::WatchKind::Write, kind != simtools::WatchKind::Read});
    }
    session_.machine.set_watchpoints(watches);
}

std::optional<simtools::StopEvent> MachineDebugTarget::after_run(Machine::Stop stop, uint64_t faults_before)
{
    if (stop == Machine::Stop::Watchpoint) return watch_stop(session_.machine.last_watch_hit());
    if (session_.machine.fault_count() > faults_before) {
        bool undefined = session_.machine.last_fault()->what.find("undefined") != std::string::npos;
        return simtools::StopEvent{simtools::StopCause::Fault, simtools::WatchKind::Write, 0, undefined ? SIGILL : SIGSEGV};
    }
    return std::nullopt;
}

simtools::StopEvent MachineDebugTarget::watch_stop(const Arm7tdmi::WatchHit &hit) const
{
    // The kind GDB set for the range, so that it names the watchpoint.
    simtools::WatchKind kind = hit.write ? simtools::WatchKind::Write : simtools::WatchKind::Read;
    for (const auto &[key, count] : watchpoints_) {
        auto [a, len, k] = key;
        if (!overlaps(a, len, hit.address, hit.size)) continue;
        if (k == simtools::WatchKind::Access || k == kind) {
            kind = k;
            break;
        }
    }
    return simtools::StopEvent{simtools::StopCause::Watchpoint, kind, hit.address, 5};
}

simtools::StopEvent MachineDebugTarget::step()
{
    uint64_t faults = session_.machine.fault_count();
    Machine::Stop stop = history_ ? history_->step() : session_.machine.step();
    if (auto ev = after_run(stop, faults)) return *ev;
    return {simtools::StopCause::Step};
}

simtools::StopEvent MachineDebugTarget::run_slice()
{
    uint64_t faults = session_.machine.fault_count();
    Machine::Stop stop;
    if (history_) {
        board::Picos end = session_.board.clock.now() + slices::kDebugger;
        stop = history_->run_until(slice_end_ ? std::min(*slice_end_, end) : end);
    } else {
        stop = sim::run_slice(session_.machine, slices::kDebugger, slice_end_);
    }
    if (auto ev = after_run(stop, faults)) return *ev;
    if (stop == Machine::Stop::Breakpoint) return {simtools::StopCause::Breakpoint};
    return {};
}

simtools::StopEvent MachineDebugTarget::step_back()
{
    if (!history_->step_back()) return {simtools::StopCause::HistoryStart};
    return {simtools::StopCause::Step};
}

simtools::StopEvent MachineDebugTarget::continue_back()
{
    auto hit = history_->continue_back();
    if (!hit) return {simtools::StopCause::HistoryStart};
    if (hit->stop == Machine::Stop::Watchpoint) return watch_stop(hit->watch);
    return {simtools::StopCause::Breakpoint};
}

// "time", and every scenario step that takes no time, written as in a
// scenario: "press KEY_INC", "expect-lcd { row: 1, text: STATUS }".
bool MachineDebugTarget::monitor(const std::string &command, std::string &output)
{
    std::istringstream in(command);
    std::string verb, args;
    in >> verb;
    std::getline(in >> std::ws, args);
    if (verb == "time") {
        output = "virtual time " + simtools::format_time(session_.board.clock.now()) + " s, " +
                 std::to_string(session_.machine.cycles()) + " cycles\n";
        return true;
    }
    const StepType *type = find_step_type(verb);
    if (type && type->instant) {
        try {
            auto step = type->parse(YAML::Load(args), "");
            StepContext context{session_, session_.board.clock.now()};
            StepOutcome outcome = step->run(context);
            output = outcome.failure.empty() ? command + ": done\n" : outcome.failure + "\n";
            return outcome.failure.empty();
        } catch (const BadScenario &bad) {
            output = bad.why + "\n";
        } catch (const YAML::Exception &e) {
            output = verb + ": malformed arguments: " + e.msg + "\n";
        }
        return false;
    }
    output = "monitor commands: time, and the scenario steps that take no time:\n";
    for (const auto &t : step_types())
        if (t.instant) output += std::string("  ") + t.name + " " + t.usage + "\n";
    return verb == "help";
}

}  // namespace sim
