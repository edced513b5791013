#include "sim/machine/keys.h"

#include <algorithm>
#include <memory>

namespace sim {

Keys::Keys(board::Board &board) : board_(board), source_(board.pa.add_source("keys"))
{
    declare_state();
    board_.attach_state(declared_);
}

void Keys::declare_state()
{
    declared_.field("pressed", pressed_)
        .field("bounce generator", state_)
        .custom(
            "generations", [this](board::StateWriter &w) { w.bytes(generation_, sizeof generation_); },
            [this](board::StateReader &r) { r.bytes(generation_, sizeof generation_); }, nullptr)
        .custom(
            "bounce edges",
            [this](board::StateWriter &w) {
                std::vector<std::pair<Edge, board::Picos>> pending;
                for (const Edge &e : edges_)
                    if (auto p = board_.clock.find(e.id))
                        pending.emplace_back(e, p->when);
                w.u32(static_cast<uint32_t>(pending.size()));
                for (const auto &[e, when] : pending) {
                    w.u64(when);
                    w.u64(e.id);
                    w.u8(static_cast<uint8_t>(e.key));
                    w.u8(e.low);
                    w.u64(e.generation);
                    w.text(e.what);
                }
            },
            [this](board::StateReader &r) {
                edges_.clear();
                for (uint32_t i = 0, n = r.u32(); i < n; ++i) {
                    board::Picos when = r.u64();
                    Edge e{r.u64(), r.u8(), r.u8() != 0, 0, nullptr};
                    e.generation = r.u64();
                    std::string what = r.text();
                    e.what = what == "edge" ? "edge" : what == "bounce" ? "bounce" : nullptr;
                    if (!e.what || e.key < 0 || e.key > 2)
                        r.fail("keys: no bounce edge \"" + what + "\"");
                    board::Clock::EventId id = e.id;
                    edges_.push_back(e);
                    board_.clock.restore_event(id, when, {"keys", e.what}, [this, id] { fire(id); });
                }
            },
            nullptr);
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
    pressed_ = 0;
    state_ = seed_;
    edges_.clear();   // the clock's reset dropped them
    for (auto &g : generation_)
        ++g;
    board_.pa.release(source_, kLines);
}

void Keys::set_bounce(unsigned transitions, board::Picos window, uint64_t seed)
{
    bounce_ = transitions;
    window_ = window;
    seed_ = seed ? seed : 1;
    state_ = seed_;
}

uint64_t Keys::next_random()
{
    // xorshift64: small, and the same sequence everywhere.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
}

void Keys::drive(int key, bool low)
{
    uint32_t bit = 1u << kKeys[key].line;
    if (low)
        board_.pa.drive(source_, bit, bit, 0);
    else
        board_.pa.release(source_, bit);
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
    uint64_t generation = ++generation_[key];
    if (bounce_ == 0 || window_ == 0) {
        drive(key, down);
        return;
    }
    // The contact makes and breaks a few times before it settles: an odd
    // number of toggles ends on the opposite level, so the last event puts
    // the settled level back.
    drive(key, down);
    unsigned n = static_cast<unsigned>(next_random() % (bounce_ + 1));
    board::Picos at = 0;
    bool level = down;
    for (unsigned i = 0; i < n; ++i) {
        at += 1 + next_random() % (window_ / (n + 1) + 1);
        level = !level;
        schedule("edge", at, key, level, generation);
    }
    if (n % 2)
        schedule("bounce", at + 1, key, down, generation);
}

void Keys::schedule(const char *what, board::Picos at, int key, bool low, uint64_t generation)
{
    // The id is known only once scheduled: the action finds its edge by it.
    auto id = std::make_shared<board::Clock::EventId>(0);
    *id = board_.clock.schedule_in({"keys", what}, at, [this, id] { fire(*id); });
    edges_.push_back(Edge{*id, key, low, generation, what});
}

void Keys::fire(board::Clock::EventId id)
{
    auto it = std::find_if(edges_.begin(), edges_.end(), [id](const Edge &e) { return e.id == id; });
    if (it == edges_.end())
        return;
    Edge e = *it;
    edges_.erase(it);
    if (generation_[e.key] == e.generation)
        drive(e.key, e.low);
}

}  // namespace sim
