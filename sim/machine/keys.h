// The board's three keys (nets.h): a press pulls the line low, a release
// leaves it to its pull-up. Edges are clean unless bounce is asked for; then
// each edge is followed by a burst of extra transitions, chosen by a seeded
// generator and timed in virtual time, so a run repeats exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"

namespace sim {

struct KeyInfo {
    const char *name;
    int line;
};

class Keys {
public:
    static constexpr KeyInfo kKeys[3] = {
        {"KEY_INC", board::net::kKeyInc}, {"KEY_DEC", board::net::kKeyDec}, {"KEY_CLR", board::net::kKeyClr}};
    static constexpr uint32_t kLines = (1u << kKeys[0].line) | (1u << kKeys[1].line) | (1u << kKeys[2].line);

    explicit Keys(board::Board &board);

    // Index into kKeys for "KEY_INC" etc., or nullopt.
    static std::optional<int> find(const std::string &name);

    void press(int key);
    void release(int key);
    bool pressed(int key) const { return (pressed_ >> key) & 1u; }

    // Bounce: up to `transitions` extra changes within `window` after each
    // edge (0 turns it off).
    void set_bounce(unsigned transitions, board::Picos window, uint64_t seed);

    // Power-on: nothing pressed.
    void reset();

    // What is pressed, the bounce generator's place and the bounce edges
    // still to come, for snapshots (attached to the board).
    board::State &state() { return declared_; }

private:
    // A bounce edge on the clock: the key's line goes to `low` then, unless
    // the key has changed since (its generation moved on).
    struct Edge {
        board::Clock::EventId id;
        int key;
        bool low;
        uint64_t generation;
        const char *what;   // "edge", or "bounce": the settled level back
    };
    void set(int key, bool down);
    void drive(int key, bool low);
    uint64_t next_random();
    void schedule(const char *what, board::Picos at, int key, bool low, uint64_t generation);
    void fire(board::Clock::EventId id);
    void declare_state();

    board::Board &board_;
    board::Pins::SourceId source_;
    uint32_t pressed_ = 0;
    unsigned bounce_ = 0;
    board::Picos window_ = 0;
    uint64_t seed_ = 1, state_ = 1;
    uint64_t generation_[3] = {};
    std::vector<Edge> edges_;
    board::State declared_{"keys"};
};

}  // namespace sim
