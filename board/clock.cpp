#include "board/clock.h"

#include <algorithm>

#include "board/state.h"

namespace board {

Clock::Clock() = default;

void Clock::set_master_period_fs(uint64_t femtoseconds)
{
    uint64_t old = period_fs_;
    period_fs_ = femtoseconds == 0 ? 1 : femtoseconds;
    cycle_picos_ = period_fs_ / 1000;
    if (old != period_fs_)
        for (auto &l : rate_listeners_)
            l(old);
}

Picos Clock::cycles_to_picos_wide(uint64_t n) const
{
    return static_cast<Picos>((static_cast<unsigned __int128>(n) * period_fs_) / 1000);
}

uint64_t Clock::cycles_until(Picos t) const
{
    if (t <= now_)
        return 0;
    unsigned __int128 fs = static_cast<unsigned __int128>(t - now_) * 1000 - remainder_fs_;
    return static_cast<uint64_t>((fs + period_fs_ - 1) / period_fs_);
}

void Clock::advance_cycles_wide(uint64_t n)
{
    cycles_ += n;
    unsigned __int128 wide = static_cast<unsigned __int128>(n) * period_fs_ + remainder_fs_;
    remainder_fs_ = static_cast<uint64_t>(wide % 1000);
    advance_to(now_ + static_cast<Picos>(wide / 1000));
}

void Clock::advance_to(Picos t)
{
    if (t < now_)
        return;
    fire_until(t);
    now_ = t;
}

void Clock::pop_top()
{
    std::pop_heap(heap_.begin(), heap_.end(), later);
    heap_.pop_back();
    top_changed();
}

void Clock::drop_dead_tops()
{
    while (!heap_.empty() && slots_[heap_.front().slot].id != heap_.front().sequence)
        pop_top();
}

void Clock::fire_until(Picos t)
{
    while (!heap_.empty() && heap_.front().when <= t) {
        Entry e = heap_.front();
        pop_top();
        Slot &s = slots_[e.slot];
        std::function<void()> action = std::move(s.action);
        EventName name = s.name;
        s.action = nullptr;
        s.id = 0;
        free_slots_.push_back(e.slot);
        drop_dead_tops();
        if (e.when > now_)
            now_ = e.when;
        for (auto &o : fire_observers_)
            o(e.when, name);
        action();
    }
}

Clock::EventId Clock::schedule_at(Picos when, std::function<void()> action, EventName name)
{
    if (when < now_)
        when = now_;
    EventId id = next_sequence_++;
    uint32_t slot;
    if (!free_slots_.empty()) {
        slot = free_slots_.back();
        free_slots_.pop_back();
    } else {
        slot = static_cast<uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    slots_[slot].id = id;
    slots_[slot].action = std::move(action);
    slots_[slot].name = name;
    heap_.push_back(Entry{when, id, slot});
    std::push_heap(heap_.begin(), heap_.end(), later);
    top_changed();
    return id;
}

std::vector<Clock::PendingEvent> Clock::pending_events() const
{
    std::vector<Entry> live;
    for (const Entry &e : heap_)
        if (slots_[e.slot].id == e.sequence)
            live.push_back(e);
    std::sort(live.begin(), live.end(), [](const Entry &a, const Entry &b) { return later(b, a); });
    std::vector<PendingEvent> out;
    for (const Entry &e : live)
        out.push_back(PendingEvent{e.when, e.sequence, slots_[e.slot].name});
    return out;
}

bool Clock::pending(EventId id) const
{
    if (id == 0)
        return false;
    for (const Slot &s : slots_)
        if (s.id == id)
            return true;
    return false;
}

void Clock::cancel(EventId id)
{
    if (id == 0)
        return;
    for (uint32_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].id != id)
            continue;
        slots_[i].id = 0;
        slots_[i].action = nullptr;
        free_slots_.push_back(i);
        drop_dead_tops();
        // A model that keeps re-arming a far timeout (a watchdog restarted
        // in a loop) would otherwise fill the heap with dead entries.
        size_t live = slots_.size() - free_slots_.size();
        if (heap_.size() > 2 * live + 64) {
            std::erase_if(heap_, [this](const Entry &e) { return slots_[e.slot].id != e.sequence; });
            std::make_heap(heap_.begin(), heap_.end(), later);
            top_changed();
        }
        return;
    }
}

void Clock::reset()
{
    now_ = 0;
    cycles_ = 0;
    period_fs_ = kSlowClockPeriodFs;
    cycle_picos_ = period_fs_ / 1000;
    remainder_fs_ = 0;
    heap_.clear();
    top_changed();
    slots_.clear();
    free_slots_.clear();
}

std::optional<Clock::PendingEvent> Clock::find(EventId id) const
{
    if (id == 0)
        return std::nullopt;
    for (const Entry &e : heap_)
        if (e.sequence == id && slots_[e.slot].id == id)
            return PendingEvent{e.when, id, slots_[e.slot].name};
    return std::nullopt;
}

namespace {
std::string full_name(EventName n)
{
    return std::string(n.owner ? n.owner : "?") + " " + (n.what ? n.what : "?");
}
}  // namespace

void Clock::save(StateWriter &w) const
{
    w.text("clock");
    w.u64(now_);
    w.u64(cycles_);
    w.u64(period_fs_);
    w.u64(remainder_fs_);
    w.u64(next_sequence_);
    auto pending = pending_events();
    w.u32(static_cast<uint32_t>(pending.size()));
    for (const PendingEvent &e : pending) {
        w.u64(e.when);
        w.u64(e.id);
        w.text(full_name(e.name));
    }
}

void Clock::restore(StateReader &r)
{
    if (r.text() != "clock")
        r.fail("expected the clock's state");
    now_ = r.u64();
    cycles_ = r.u64();
    period_fs_ = r.u64();
    remainder_fs_ = r.u64();
    next_sequence_ = r.u64();
    cycle_picos_ = period_fs_ / 1000;
    if (period_fs_ == 0)
        r.fail("clock: a master-clock period of 0");
    heap_.clear();
    top_changed();
    slots_.clear();
    free_slots_.clear();
    expected_.clear();
    uint32_t n = r.u32();
    for (uint32_t i = 0; i < n; ++i) {
        Expected e;
        e.when = r.u64();
        e.id = r.u64();
        e.name = r.text();
        if (e.when < now_ || e.id >= next_sequence_)
            r.fail("clock: event \"" + e.name + "\" is out of range");
        expected_.push_back(std::move(e));
    }
}

Clock::EventId Clock::restore_event(EventId id, Picos when, EventName name, std::function<void()> action)
{
    auto it = std::find_if(expected_.begin(), expected_.end(), [&](const Expected &e) { return e.id == id; });
    if (it == expected_.end() || it->when != when || it->name != full_name(name))
        throw SnapshotError("snapshot: event \"" + full_name(name) + "\" was not pending when it was saved");
    expected_.erase(it);
    uint32_t slot = static_cast<uint32_t>(slots_.size());
    slots_.push_back(Slot{id, std::move(action), name});
    heap_.push_back(Entry{when, id, slot});
    std::push_heap(heap_.begin(), heap_.end(), later);
    top_changed();
    return id;
}

void Clock::finish_restore()
{
    if (expected_.empty())
        return;
    std::string missing;
    for (const Expected &e : expected_)
        missing += (missing.empty() ? "" : ", ") + e.name;
    expected_.clear();
    throw SnapshotError("snapshot: no part restored the pending event(s) " + missing);
}

}  // namespace board
