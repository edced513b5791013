#include "board/clock.h"

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
    return static_cast<Picos>((static_cast<unsigned __int128>(n) * period_fs_) / 1000);
}

void Clock::advance_cycles(uint64_t n)
{
    cycles_ += n;
    unsigned __int128 fs = static_cast<unsigned __int128>(n) * period_fs_ + remainder_fs_;
    remainder_fs_ = static_cast<uint64_t>(fs % 1000);
    advance_to(now_ + static_cast<Picos>(fs / 1000));
}

void Clock::advance_to(Picos t)
{
    if (t < now_)
        return;
    fire_until(t);
    now_ = t;
}

void Clock::fire_until(Picos t)
{
    while (!queue_.empty() && queue_.begin()->first.when <= t) {
        auto it = queue_.begin();
        Key key = it->first;
        auto action = std::move(it->second.second);
        index_.erase(it->second.first);
        queue_.erase(it);
        if (key.when > now_)
            now_ = key.when;
        action();
    }
}

Clock::EventId Clock::schedule_at(Picos when, std::function<void()> action)
{
    if (when < now_)
        when = now_;
    Key key{when, next_sequence_};
    EventId id = next_sequence_++;
    queue_.emplace(key, std::make_pair(id, std::move(action)));
    index_.emplace(id, key);
    return id;
}

void Clock::cancel(EventId id)
{
    auto it = index_.find(id);
    if (it == index_.end())
        return;
    queue_.erase(it->second);
    index_.erase(it);
}

std::optional<Picos> Clock::next_event() const
{
    if (queue_.empty())
        return std::nullopt;
    return queue_.begin()->first.when;
}

void Clock::reset()
{
    now_ = 0;
    cycles_ = 0;
    period_fs_ = kSlowClockPeriodFs;
    remainder_fs_ = 0;
    queue_.clear();
    index_.clear();
}

}  // namespace board
