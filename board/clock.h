// The board's one virtual clock. Time is counted in picoseconds from power-on;
// the CPU (or the host port) charges master-clock cycles, and devices schedule
// events on it. Nothing here reads the host's clock: the same sequence of
// calls always gives the same times.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace board {

class StateWriter;
class StateReader;

using Picos = uint64_t;

constexpr Picos kPicosPerNs = 1000;
constexpr Picos kPicosPerUs = 1000 * kPicosPerNs;
constexpr Picos kPicosPerMs = 1000 * kPicosPerUs;
constexpr Picos kPicosPerSecond = 1000 * kPicosPerMs;

constexpr uint32_t kSlowClockHz = 32768;
constexpr Picos kSlowClockPeriodFs = 30517578125ull;   // 1e15 / 32768, exact

// Who scheduled an event and what it stands for ("PIT", "period end"), so
// that a trace can say what fired and a list of pending events can be read
// (and, later, saved). Both strings outlive the event.
struct EventName {
    const char *owner = nullptr;
    const char *what = nullptr;
};

class Clock {
public:
    using EventId = uint64_t;
    struct PendingEvent {
        Picos when;
        EventId id;
        EventName name;
    };

    Clock();

    Picos now() const { return now_; }
    uint64_t cycles() const { return cycles_; }

    // Master-clock period in femtoseconds (so that 48.05 MHz keeps its precision).
    void set_master_period_fs(uint64_t femtoseconds);
    uint64_t master_period_fs() const { return period_fs_; }
    double master_hz() const { return 1e15 / static_cast<double>(period_fs_); }
    // Called after every change of the master-clock period with the period
    // before it, so that a model counting master-clock cycles can close the
    // span it counted at the old rate. Not called by reset().
    using RateListener = std::function<void(uint64_t old_period_fs)>;
    void add_rate_listener(RateListener l) { rate_listeners_.push_back(std::move(l)); }

    // Time that n master-clock cycles take at the current frequency.
    Picos cycles_to_picos(uint64_t n) const
    {
        uint64_t fs;
        if (!__builtin_mul_overflow(n, period_fs_, &fs)) [[likely]]
            return fs / 1000;
        return cycles_to_picos_wide(n);
    }
    // cycles_to_picos(1), kept at hand for whoever stamps a time one cycle
    // ahead on every change of a line (a PIO's input sample).
    Picos cycle_picos() const { return cycle_picos_; }
    // Cycles from now to the first cycle boundary at or after t (0 when t
    // has come). Counted from the true time, now() and the fraction of a
    // picosecond the clock keeps, so the answer does not depend on where
    // the clock last stopped: a run restored from a snapshot, or cut into
    // other slices, ends and meets its events on the same cycles.
    uint64_t cycles_until(Picos t) const;

    // Charges n master-clock cycles, firing every event that falls due. The
    // core charges a handful of cycles at a time, with nothing due mostly:
    // 64 bits hold that product, and dividing by a constant is a multiply.
    void advance_cycles(uint64_t n)
    {
        uint64_t fs;
        if (__builtin_mul_overflow(n, period_fs_, &fs) || __builtin_add_overflow(fs, remainder_fs_, &fs)) [[unlikely]] {
            advance_cycles_wide(n);
            return;
        }
        cycles_ += n;
        remainder_fs_ = fs % 1000;
        const Picos t = now_ + fs / 1000;
        if (next_when_ <= t)
            fire_until(t);
        now_ = t;
    }
    // The same when no event falls due in those cycles: false, with
    // nothing done, when one does (or the product needs more than 64 bits).
    bool advance_cycles_quietly(uint64_t n)
    {
        uint64_t fs;
        if (__builtin_mul_overflow(n, period_fs_, &fs) || __builtin_add_overflow(fs, remainder_fs_, &fs)) [[unlikely]]
            return false;
        const Picos t = now_ + fs / 1000;
        if (next_when_ <= t) [[unlikely]]
            return false;
        cycles_ += n;
        remainder_fs_ = fs % 1000;
        now_ = t;
        return true;
    }
    // Moves time to t (never backwards), firing due events in order.
    void advance_to(Picos t);

    // Events due at the same time fire in the order they were scheduled.
    // An id is never reused, so cancelling one that has fired (or 0) is
    // harmless.
    EventId schedule_at(Picos when, std::function<void()> action, EventName name = {});
    EventId schedule_in(Picos delay, std::function<void()> action, EventName name = {})
    {
        return schedule_at(now_ + delay, std::move(action), name);
    }
    // The same, named first (models name every event they schedule).
    EventId schedule_at(EventName name, Picos when, std::function<void()> action) { return schedule_at(when, std::move(action), name); }
    EventId schedule_in(EventName name, Picos delay, std::function<void()> action)
    {
        return schedule_at(now_ + delay, std::move(action), name);
    }
    // The events still to fire, in the order they will.
    std::vector<PendingEvent> pending_events() const;
    // Told of every event just before it fires.
    using FireObserver = std::function<void(Picos when, EventName name)>;
    void add_fire_observer(FireObserver o) { fire_observers_.push_back(std::move(o)); }
    void cancel(EventId id);
    bool pending(EventId id) const;
    std::optional<Picos> next_event() const
    {
        if (heap_.empty())
            return std::nullopt;
        return heap_.front().when;
    }
    // The same as a plain time, kNever when nothing is pending: one load
    // for whoever looks after every access.
    static constexpr Picos kNever = ~Picos{0};
    Picos next_event_time() const { return next_when_; }

    // Entries the queue holds, cancelled ones not yet dropped included.
    size_t queue_size() const { return heap_.size(); }

    // Back to power-on: time 0, slow clock, no events.
    void reset();

    // The event with this id, if it is still to fire.
    std::optional<PendingEvent> find(EventId id) const;

    // Snapshots. save() writes the time, the rate and the list of pending
    // events; restore() sets the time and the rate and empties the queue
    // (firing nothing, telling no listener). Each part then gives its
    // pending events back with restore_event(), under their saved ids so
    // that events due at one time keep their order; finish_restore() fails
    // if a saved event was not given back or one came that was not saved.
    void save(StateWriter &w) const;
    void restore(StateReader &r);
    EventId restore_event(EventId id, Picos when, EventName name, std::function<void()> action);
    void finish_restore();

private:
    void advance_cycles_wide(uint64_t n);
    Picos cycles_to_picos_wide(uint64_t n) const;
    void fire_until(Picos t);

    // Devices schedule and cancel events all the time (a PIO line's sample,
    // a display's busy time), so nothing here allocates once the pools have
    // grown: the actions live in reused slots and a binary heap orders the
    // slots by (time, sequence). A cancelled entry stays in the heap, marked
    // dead by its slot no longer holding its id, and is dropped when it comes
    // to the top; the top is always a live entry.
    struct Entry {
        Picos when;
        uint64_t sequence;   // also the event's id
        uint32_t slot;
    };
    struct Slot {
        EventId id = 0;      // 0: free
        std::function<void()> action;
        EventName name;
    };
    static bool later(const Entry &a, const Entry &b)
    {
        return a.when != b.when ? a.when > b.when : a.sequence > b.sequence;
    }
    void drop_dead_tops();
    void pop_top();
    // After every change of the heap: its top's time, kept apart.
    void top_changed() { next_when_ = heap_.empty() ? kNever : heap_.front().when; }

    Picos now_ = 0;
    uint64_t cycles_ = 0;
    uint64_t period_fs_ = kSlowClockPeriodFs;
    Picos cycle_picos_ = kSlowClockPeriodFs / 1000;   // follows period_fs_
    uint64_t remainder_fs_ = 0;
    uint64_t next_sequence_ = 1;
    std::vector<Entry> heap_;
    Picos next_when_ = kNever;   // heap_.front().when, or kNever
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_slots_;
    std::vector<RateListener> rate_listeners_;
    std::vector<FireObserver> fire_observers_;
    struct Expected {
        Picos when;
        EventId id;
        std::string name;
    };
    std::vector<Expected> expected_;   // saved events a restore has yet to see
};

}  // namespace board
