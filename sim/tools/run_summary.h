// The summary printed at the end of a traced run: instructions, cycles,
// virtual time, exceptions taken, and for each processor mode the range its
// stack pointer covered. The stack figure is the distance from the highest
// to the lowest stack pointer seen in that mode, sampled wherever the
// simulator reports it (at least at every branch target), so a push and pop
// within one straight run of code can be missed by a few words.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>

#include "board/clock.h"
#include "board/rules.h"

namespace simtools {

class RunSummary {
public:
    // An exception was taken into the mode of `new_cpsr`.
    void exception(uint32_t new_cpsr);
    void stack_pointer(uint32_t cpsr, uint32_t sp);
    // Stack pointers outside [low, high] are not stacks yet (a mode whose sp
    // was never set) and are left out.
    void set_stack_region(uint32_t low, uint32_t high);
    // Forgets the range seen so far in `mode`: its stack starts anew here
    // (the supervisor stack of the program proper, after start-up code ran
    // on a temporary one).
    void restart_stack(uint32_t mode);

    // IRQ latency range from the interrupt trace, when it ran.
    void set_irq_latency(uint64_t min_cycles, uint64_t max_cycles);

    // The board's rule violations, listed at the end with their counts.
    void set_rules(const board::Rules *rules) { rules_ = rules; }

    void write(std::ostream &out, uint64_t instructions, uint64_t cycles, board::Picos time) const;

    uint64_t exceptions_into(uint32_t mode) const;
    // Highest minus lowest sp seen in `mode`; 0 when never seen.
    uint32_t stack_depth(uint32_t mode) const;

private:
    struct Range {
        uint32_t high, low;
    };
    std::map<uint32_t, uint64_t> exceptions_;   // by mode bits
    std::map<uint32_t, Range> stacks_;
    uint64_t min_latency_ = 0, max_latency_ = 0;
    uint32_t region_low_ = 0, region_high_ = 0xFFFFFFFF;
    const board::Rules *rules_ = nullptr;
};

}  // namespace simtools
