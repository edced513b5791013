// Everything that reaches the board from outside it during a run, each with
// the virtual moment it arrived: keys, bytes on the serial line, a debugger's
// writes to memory and registers, resets. The board is deterministic, so the
// image, the options and this log are the whole run; a replay feeds the log
// back instead of the outside world.
//
// Two kinds of moment:
// - at an instruction boundary between two runs of the core (a front end's
//   key, a debugger's write, a reset): the time, the cycle and
//   the instruction count there;
// - inside the clock's serial-line poll (bytes a host wrote to the line):
//   the clock's cycle of that poll.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/clock.h"
#include "board/state.h"

namespace sim {

struct InputEvent {
    enum class Kind : uint8_t {
        Press = 1,     // which: the key (board::Keys::kKeys)
        Release,       // which: the key
        LineBytes,     // bytes: what the host wrote on the serial line, at the link's poll
        SerialWrite,   // bytes: handed straight to the debug unit's receiver (write-serial)
        Poke,          // value: the address; bytes: what a debugger wrote there
        Register,      // which: the register (0..15, 16 the CPSR); value: what a debugger wrote
        Cpsr,          // value: the CPSR a debugger set
        PowerOn,       // the whole board reset (the terminal view's r)
    };
    static constexpr uint8_t kLastKind = static_cast<uint8_t>(Kind::PowerOn);

    Kind kind = Kind::Press;
    uint64_t cycle = 0;
    uint64_t instructions = 0;   // boundary inputs only
    board::Picos time = 0;       // boundary inputs only
    uint32_t which = 0;
    uint64_t value = 0;
    std::string bytes;

    // Arrives inside the serial line's poll rather than at a boundary.
    bool on_line() const { return kind == Kind::LineBytes; }
    bool operator==(const InputEvent &) const = default;

    void save(board::StateWriter &w) const;
    // Throws board::SnapshotError for an unknown kind or a short stream.
    static InputEvent load(board::StateReader &r);
};

// What a run has received so far; off until start() so that a run nobody
// records keeps nothing.
class InputLog {
public:
    void start() { on_ = true; }
    bool on() const { return on_; }
    void add(InputEvent e)
    {
        if (!on_ || replaying_) return;
        if (before_add_) before_add_();
        events_.push_back(std::move(e));
    }
    const std::vector<InputEvent> &events() const { return events_; }

    // Going back in a run (history.h): the inputs it gives again are not
    // new ones, and a new one in the past drops those recorded after it.
    void set_replaying(bool on) { replaying_ = on; }
    void set_before_add(std::function<void()> f) { before_add_ = std::move(f); }
    void keep_first(size_t n)
    {
        if (n < events_.size()) events_.resize(n);
    }
    // A recorded run's inputs, to be given again.
    void preload(std::vector<InputEvent> events)
    {
        on_ = true;
        events_ = std::move(events);
    }

private:
    bool on_ = false;
    bool replaying_ = false;
    std::function<void()> before_add_;
    std::vector<InputEvent> events_;
};

}  // namespace sim
