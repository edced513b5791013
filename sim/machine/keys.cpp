#include "sim/machine/keys.h"

namespace sim {

Keys::Keys(board::Board &board) : board_(board), source_(board.pa.add_source("keys")) {}

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
        board_.clock.schedule_in(at, [this, key, level, generation] {
            if (generation_[key] == generation)
                drive(key, level);
        });
    }
    if (n % 2) {
        board_.clock.schedule_in(at + 1, [this, key, down, generation] {
            if (generation_[key] == generation)
                drive(key, down);
        });
    }
}

}  // namespace sim
