// The board's three keys (nets.h): a press pulls the line low, a release
// leaves it to its pull-up. Edges are clean unless bounce is asked for; then
// each edge is followed by a burst of extra transitions, chosen by a seeded
// generator when the key changes and timed in virtual time, so a run repeats
// exactly. The transitions still to come are state, one event per key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/clock.h"
#include "board/nets.h"
#include "board/pins.h"
#include "board/state.h"

namespace board {

struct KeyInfo {
    const char *name;
    int line;
};

class Keys {
public:
    static constexpr KeyInfo kKeys[3] = {{"KEY_INC", net::kKeyInc}, {"KEY_DEC", net::kKeyDec}, {"KEY_CLR", net::kKeyClr}};
    static constexpr uint32_t kLines = (1u << kKeys[0].line) | (1u << kKeys[1].line) | (1u << kKeys[2].line);

    Keys(Pins &pins, Clock &clock);
    ~Keys();
    Keys(const Keys &) = delete;
    Keys &operator=(const Keys &) = delete;

    // Index into kKeys for "KEY_INC" etc., or nullopt.
    static std::optional<int> find(const std::string &name);

    void press(int key);
    void release(int key);
    bool pressed(int key) const { return (pressed_ >> key) & 1u; }

    // Bounce: up to `transitions` extra changes within `window` after each
    // edge (0 turns it off). A setting of the board: a reset keeps it.
    void set_bounce(unsigned transitions, Picos window, uint64_t seed);

    // Power-on: nothing pressed, the generator back at its seed.
    void reset();

    State &state() { return state_; }

private:
    // A transition still to come: the contact makes (low) or breaks. Words,
    // not bools: a saved value has no padding.
    struct Edge {
        Picos when;
        uint32_t low;
        uint32_t settles;   // the last one, which puts the settled level back
    };
    void set(int key, bool down);
    void drive(int key, bool low);
    void schedule(int key);
    void on_edge(int key);
    uint64_t next_random();

    Pins &pins_;
    Clock &clock_;
    Pins::SourceId source_;
    uint32_t pressed_ = 0;
    unsigned bounce_ = 0;
    Picos window_ = 0;
    uint64_t seed_ = 1, random_ = 1;
    std::vector<Edge> plan_[3];
    Clock::EventId event_[3] = {};
    State state_{"keys"};
};

}  // namespace board
