// What a debugger needs from the machine it controls. The GDB server speaks
// the protocol; the simulator (or a test) implements this. Registers are
// numbered as the target description names them: r0..r15 are 0..15 and
// cpsr is 16.
#pragma once

#include <cstdint>
#include <string>

namespace simtools {

enum class WatchKind { Write, Read, Access };

enum class StopCause {
    None,        // a slice of execution ended without a reason to stop
    Step,        // one instruction was executed
    Breakpoint,  // about to execute an instruction at a breakpoint
    Watchpoint,  // an access to a watched address was made
    Interrupt,   // halted on the debugger's request
    Fault,       // the target cannot go on (an exception it has no way out of, or the run ended)
    Exited,      // the run is over (a scenario finished): `signal` holds its exit status
    HistoryStart,  // going back, the start of the recorded history was reached
};

struct StopEvent {
    StopCause cause = StopCause::None;
    WatchKind watch = WatchKind::Write;  // Watchpoint only
    uint32_t data_address = 0;           // Watchpoint only: the address accessed
    int signal = 5;                      // Fault only: the POSIX signal to report (4 ILL, 11 SEGV, ...)
};

class DebugTarget {
public:
    static constexpr int kRegisters = 17;
    static constexpr int kCpsr = 16;

    virtual ~DebugTarget() = default;

    virtual uint32_t read_register(int n) = 0;
    virtual void write_register(int n, uint32_t value) = 0;

    // Reads must not change the machine: a peripheral register is read with
    // its model's peek. False when any byte of the range answers nothing.
    virtual bool read_memory(uint32_t address, uint8_t *out, uint32_t length) = 0;
    virtual bool write_memory(uint32_t address, const uint8_t *data, uint32_t length) = 0;

    // Breakpoints stop before the instruction at `address` runs (ARM or
    // Thumb alike); software and hardware ones behave the same on a model.
    virtual bool set_breakpoint(uint32_t address, bool hardware) = 0;
    virtual bool clear_breakpoint(uint32_t address, bool hardware) = 0;
    virtual bool set_watchpoint(uint32_t address, uint32_t length, WatchKind kind) = 0;
    virtual bool clear_watchpoint(uint32_t address, uint32_t length, WatchKind kind) = 0;

    // Executes one instruction (an interrupt that is due is taken first, as
    // the core would), and reports why it stopped.
    virtual StopEvent step() = 0;
    // Runs for a while, stopping early at a breakpoint, watchpoint or fault.
    // Returns StopCause::None when the slice ran out, so that the caller can
    // look for the debugger's interrupt request between slices.
    virtual StopEvent run_slice() = 0;

    // Going back, for a target that keeps its run's history: to the
    // previous instruction boundary, or to the last breakpoint or watchpoint
    // hit before the present point (a watchpoint's at the instruction that
    // made the access). StopCause::HistoryStart when there is nothing
    // earlier; the target is then at the start of its history.
    virtual bool can_reverse() const { return false; }
    virtual StopEvent step_back() { return {StopCause::HistoryStart}; }
    virtual StopEvent continue_back() { return {StopCause::HistoryStart}; }

    // A "monitor" command from the debugger (for the board: press and release
    // a key, show the virtual time). Sets the text to show; false when the
    // command is not known.
    virtual bool monitor(const std::string &command, std::string &output)
    {
        output = "no monitor commands here\n";
        (void)command;
        return false;
    }
};

}  // namespace simtools
