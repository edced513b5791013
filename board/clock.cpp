#include "board/clock.h"

#include <algorithm>

namespace board {

Clock::Clock() = default;

void Clock::set_master_period_fs(uint64_t femtoseconds)
{
    uint64_t old = period_fs_;
    period_fs_ = femtoseconds == 0 ? 1 : femtoseconds;
    if (old != period_fs_)
        for (auto &l : rate_listeners_)
            l(old);
}

Picos Clock::cycles_to_picos(uint64_t n) const
{
    uint64_t fs;
    if (!__builtin_mul_overflow(n, period_fs_, &fs))
        return fs / 1000;
    return static_cast<Picos>((static_cast<unsigned __int128>(n) * period_fs_) / 1000);
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
        }
        return;
    }
}

void Clock::reset()
{
    now_ = 0;
    cycles_ = 0;
    period_fs_ = kSlowClockPeriodFs;
    remainder_fs_ = 0;
    heap_.clear();
    slots_.clear();
    free_slots_.clear();
}

}  // namespace board
