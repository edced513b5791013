#include "board/keys.h"

namespace board {

Keys::Keys(Pins &pins, Clock &clock) : pins_(pins), clock_(clock), source_(pins.add_source("keys"))
{
    state_.field("pressed", pressed_).field("generator", random_);
    for (int k = 0; k < 3; ++k)
        state_.field(kKeys[k].name, plan_[k])
            .event(clock_, event_[k], "keys", {{"edge", [this, k] { on_edge(k); }}, {"bounce", [this, k] { on_edge(k); }}});
    state_.kept("bounce", bounce_).kept("window", window_).kept("seed", seed_);
}

Keys::~Keys()
{
    for (Clock::EventId id : event_)
        clock_.cancel(id);
}

std::optional<int> Keys::find(const std::string &name)
{
    for (int i = 0; i < 3; ++i)
        if (name == kKeys[i].name)
            return i;
    return std::nullopt;
}

void Keys::reset()
{
    state_.reset();
    random_ = seed_;
    pins_.release(source_, kLines);
}

void Keys::set_bounce(unsigned transitions, Picos window, uint64_t seed)
{
    bounce_ = transitions;
    window_ = window;
    seed_ = seed ? seed : 1;
    random_ = seed_;
}

uint64_t Keys::next_random()
{
    // xorshift64: small, and the same sequence everywhere.
    random_ ^= random_ << 13;
    random_ ^= random_ >> 7;
    random_ ^= random_ << 17;
    return random_;
}

void Keys::drive(int key, bool low)
{
    uint32_t bit = 1u << kKeys[key].line;
    if (low)
        pins_.drive(source_, bit, bit, 0);
    else
        pins_.release(source_, bit);
}

void Keys::press(int key)
{
    set(key, true);
}

void Keys::release(int key)
{
    set(key, false);
}

void Keys::set(int key, bool down)
{
    if (pressed(key) == down)
        return;
    pressed_ ^= 1u << key;
    // A new edge ends the bounce of the last one.
    clock_.cancel(event_[key]);
    event_[key] = 0;
    plan_[key].clear();
    drive(key, down);
    if (bounce_ == 0 || window_ == 0)
        return;
    // The contact makes and breaks a few times before it settles: an odd
    // number of toggles ends on the opposite level, so the last event puts
    // the settled level back.
    unsigned n = static_cast<unsigned>(next_random() % (bounce_ + 1));
    Picos at = clock_.now();
    bool level = down;
    for (unsigned i = 0; i < n; ++i) {
        at += 1 + next_random() % (window_ / (n + 1) + 1);
        level = !level;
        plan_[key].push_back({at, level, false});
    }
    if (n % 2)
        plan_[key].push_back({at + 1, down, true});
    schedule(key);
}

void Keys::schedule(int key)
{
    if (plan_[key].empty())
        return;
    const Edge &e = plan_[key].front();
    event_[key] = clock_.schedule_at({"keys", e.settles ? "bounce" : "edge"}, e.when, [this, key] { on_edge(key); });
}

void Keys::on_edge(int key)
{
    event_[key] = 0;
    if (plan_[key].empty())
        return;
    Edge e = plan_[key].front();
    plan_[key].erase(plan_[key].begin());
    drive(key, e.low);
    schedule(key);
}

}  // namespace board
