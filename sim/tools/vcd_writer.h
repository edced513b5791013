// Value change dump (IEEE 1364 VCD) of one-bit signals on the virtual clock.
//
// Changes may be handed in slightly out of order (a transfer is often known
// only once it has ended, while other lines changed meanwhile): they are held
// until flush() and written in time order, those at one instant in the order
// they were given. A change at an instant already flushed is written at the
// flushed instant and counted in late(). Times are truncated to the timescale;
// several changes of one signal within one tick leave only the last, and a
// "change" to the value a signal already has writes nothing, so idle
// stretches stay empty and a reader can skip them.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "board/clock.h"

namespace simtools {

class VcdWriter {
public:
    // timescale_ps: 1 (1 ps), 10, 100, 1000 (1 ns), ...: a power of ten.
    explicit VcdWriter(std::ostream &out, board::Picos timescale_ps = board::kPicosPerNs);

    int add_wire(const std::string &scope, const std::string &name, bool initial);
    // Writes the header and the values at time 0; no wire can be added after.
    void start();
    void change(board::Picos time, int wire, bool level);
    // Writes every held change at or before `up_to`.
    void flush(board::Picos up_to);
    // Writes everything held and a last timestamp at `end` (never earlier than the last change).
    void finish(board::Picos end);

    uint64_t late() const { return late_; }
    uint64_t written() const { return written_; }

private:
    struct Wire {
        std::string scope, name, code;
        bool value;
    };
    struct Change {
        uint64_t tick;
        uint64_t sequence;
        int wire;
        bool level;
    };
    static std::string code_for(int index);

    std::ostream &out_;
    board::Picos timescale_;
    std::vector<Wire> wires_;
    std::vector<Change> held_;
    uint64_t sequence_ = 0;
    uint64_t flushed_tick_ = 0;   // nothing before this tick can still be written
    uint64_t last_written_tick_ = 0;
    bool started_ = false;
    bool finished_ = false;
    uint64_t late_ = 0;
    uint64_t written_ = 0;
};

}  // namespace simtools
