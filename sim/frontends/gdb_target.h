// The simulated board as a debugger sees it: the core's registers, memory
// (peripherals through their side-effect-free peek), breakpoints, watchpoints
// on memory and peripheral registers, stepping and running in slices of
// virtual time, and monitor
// commands that act on the board: "time" and every scenario step that takes
// no time ("press KEY_INC", "expect-lcd { row: 1, text: STATUS }"). Virtual time advances only while the debugger lets the core run.
// A watchpoint stops the core right after the instruction that made the
// access: the pc shown is the next instruction's (the first of a handler,
// when the access was the last thing before an exception).
#pragma once

#include <map>
#include <optional>
#include <tuple>

#include "sim/machine/history.h"
#include "sim/machine/session.h"
#include "sim/tools/debug_target.h"

namespace sim {

class MachineDebugTarget : public simtools::DebugTarget {
public:
    explicit MachineDebugTarget(Session &session);
    ~MachineDebugTarget() override;
    MachineDebugTarget(const MachineDebugTarget &) = delete;
    MachineDebugTarget &operator=(const MachineDebugTarget &) = delete;

    uint32_t read_register(int n) override;
    void write_register(int n, uint32_t value) override;
    bool read_memory(uint32_t address, uint8_t *out, uint32_t length) override;
    bool write_memory(uint32_t address, const uint8_t *data, uint32_t length) override;
    bool set_breakpoint(uint32_t address, bool hardware) override;
    bool clear_breakpoint(uint32_t address, bool hardware) override;
    bool set_watchpoint(uint32_t address, uint32_t length, simtools::WatchKind kind) override;
    bool clear_watchpoint(uint32_t address, uint32_t length, simtools::WatchKind kind) override;
    simtools::StopEvent step() override;
    simtools::StopEvent run_slice() override;
    bool monitor(const std::string &command, std::string &output) override;
    bool can_reverse() const override { return history_ != nullptr; }
    simtools::StopEvent step_back() override;
    simtools::StopEvent continue_back() override;

    // The run's history, through which the core runs forward and back
    // (nullptr: forward only).
    void use_history(History *history) { history_ = history; }
    bool in_past() const { return history_ && history_->in_past(); }

    // Removes every breakpoint and watchpoint (the debugger detached).
    void clear_all();
    // A run slice ends at `end` at the latest (a scenario's next look).
    void limit_slices(std::optional<board::Picos> end) { slice_end_ = end; }

private:
    void update_watchpoints();
    std::optional<simtools::StopEvent> after_run(Machine::Stop stop, uint64_t faults_before);
    simtools::StopEvent watch_stop(const Arm7tdmi::WatchHit &hit) const;

    Session &session_;
    std::map<uint32_t, int> breakpoints_;   // address -> insertions (software and hardware alike)
    std::map<std::tuple<uint32_t, uint32_t, simtools::WatchKind>, int> watchpoints_;
    std::optional<board::Picos> slice_end_;
    History *history_ = nullptr;
};

}  // namespace sim
