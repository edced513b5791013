// A run that can go back: its history is the run's inputs (input_log.h)
// and snapshots taken as it goes (timeline.h). The board is deterministic,
// so any earlier instruction boundary is reached again by restoring the
// nearest snapshot before it and running forward, giving the recorded inputs
// at their recorded boundaries.
//
// The run is either live (at the end of its history: inputs come from
// outside and are recorded) or in its past. In the past, running forward
// gives the recorded inputs again (the serial line's bytes too) and sends
// nothing to the host a second time, until the end of the history, where
// the run is live again. A new input while in the past (a debugger's write,
// a key) starts another future: what was recorded after that point is
// dropped, and the run is live from there.
//
// Points are instruction boundaries; an interrupt's entry is one of its own,
// as stepping takes it. Inputs recorded at a boundary are given when the run
// leaves it, so going back to a boundary shows the board as the instruction
// there found it the first time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/machine/session.h"
#include "sim/machine/timeline.h"

namespace sim {

struct HistoryOptions {
    // Virtual time between snapshots: going back costs at most about this
    // much of re-execution.
    board::Picos interval = 50 * board::kPicosPerMs;
    // What the snapshots may hold together.
    size_t memory = size_t{128} << 20;
};

class History {
public:
    // From the session's present point on; starts its input log.
    History(Session &session, const HistoryOptions &options);
    ~History();
    History(const History &) = delete;
    History &operator=(const History &) = delete;

    // A recorded run ahead (a replay bundle's inputs and end), the session
    // at its start: running forward gives it again, and past its end the
    // run is live. False with `error` for a recording that starts the board
    // again in its middle, which no history can cross.
    bool preload(std::vector<InputEvent> inputs, const RunPoint &end, std::string &error);

    bool in_past() const { return !live_; }

    // Forward, as Machine's calls of the same names.
    Machine::Stop run_until(board::Picos deadline);
    Machine::Stop step();
    // To where the run left off.
    void run_to_end();

    // Backward: to the previous instruction boundary; false at the start
    // of the history (the run stays there).
    bool step_back();
    // A breakpoint or watchpoint stop while going back, where the run going
    // forward stopped: before a breakpoint's instruction, right after the
    // instruction whose access a watchpoint caught (a debugger then steps
    // back over that instruction, as it steps over it going forward).
    struct Hit {
        Machine::Stop stop = Machine::Stop::Breakpoint;
        Arm7tdmi::WatchHit watch{};
        uint64_t at = 0;   // the cycle of the stop as the forward run saw it
    };
    // Back to the last hit before the present point; nullopt when there is
    // none since the start of the history, where the run then stands.
    std::optional<Hit> continue_back();

    RunPoint here() const;
    const RunPoint &start() const { return start_; }
    const Timeline &timeline() const { return timeline_; }

private:
    void note();
    void settle();
    uint64_t next_input_cycle() const;
    void leave_live();
    void back_to(const RunPoint &snapshot);
    void seek(uint64_t cycle);
    // Forward in the past to `goal`; each breakpoint or watchpoint stop is
    // handed to `stopped` and the run goes on.
    void replay_to(uint64_t goal, const std::function<void(Machine::Stop)> &stopped);
    std::optional<uint64_t> boundary_before(uint64_t cycle);
    void fork();

    Session &session_;
    Machine &machine_;
    HistoryOptions options_;
    Timeline timeline_;
    RunPoint start_, end_;
    bool live_ = true;
    size_t next_ = 0;   // in the past: the first input not given yet
};

}  // namespace sim
