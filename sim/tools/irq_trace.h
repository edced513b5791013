// The interrupt trace. It follows each IRQ from the moment its source
// became pending in the interrupt controller, through the assertion of nIRQ
// and the exception entry, to the first instruction of the handler that the
// entry code fetched from the interrupt controller's vector register, and on
// to the return to the interrupted code (same address, mode and state). The
// latency reported is in master-clock cycles from the source to that first
// handler instruction, so it includes the controller's synchronisation, the
// core's own response and the firmware's entry code. Nested interrupts are
// followed as a stack.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "board/clock.h"

namespace simtools {

class IrqTrace {
public:
    // out may be null: the interrupts are then only counted.
    explicit IrqTrace(std::ostream *out) : out_(out) {}

    // Level of nIRQ: true = asserted (the line is low); requested_cycle is
    // when the request behind an assertion began in the controller.
    void line(bool asserted, uint64_t cycle, uint64_t requested_cycle);
    // The core took the IRQ exception; resume_address is the instruction that
    // runs again on return, interrupted_cpsr the state it was taken from.
    void taken(board::Picos t, uint64_t cycle, uint32_t resume_address, uint32_t interrupted_cpsr);
    // The entry code read this handler address from the interrupt controller.
    void vector(uint32_t handler);
    // The core is about to execute at pc (called at least at every branch target).
    void executing(board::Picos t, uint64_t cycle, uint32_t pc, uint32_t cpsr);

    uint64_t taken_count() const { return taken_; }
    uint64_t returned_count() const { return returned_; }
    // Over the handlers entered so far; 0 when none.
    uint64_t min_latency() const { return min_latency_; }
    uint64_t max_latency() const { return max_latency_; }

private:
    struct Frame {
        uint64_t asserted_cycle;
        uint64_t requested_cycle;
        bool asserted_known;
        uint64_t taken_cycle;
        uint32_t resume;
        uint32_t cpsr;
        uint32_t handler = 0;
        bool has_handler = false;
        bool entered = false;
    };

    std::ostream *out_;
    std::vector<Frame> frames_;
    bool asserted_ = false;
    uint64_t asserted_cycle_ = 0, requested_cycle_ = 0;
    uint64_t taken_ = 0, returned_ = 0;
    uint64_t min_latency_ = 0, max_latency_ = 0;
};

}  // namespace simtools
