// Delay-loop fast-forward. Private to sim/core.
//
// A backward branch that closes a loop is analysed the first time it is
// taken. The loop qualifies when the path around it is straight-line code
// whose whole effect is a counter (a register or a word at a fixed offset
// from an unchanging base register) moving by a constant step, values
// derived from the counter, constants, and the flags of a compare or add/sub
// of the counter with a constant or an unchanging register; its only way
// out is one conditional branch on those flags. Its data accesses must go
// to host memory (never to a peripheral).
//
// When such a loop comes round again after one complete iteration run in
// full (which is how the cost of an iteration is measured, wait states and
// all), the iterations before the one that leaves are computed at once: the
// counter and the locations derived from it get the values of the last
// skipped iteration, the flags those of its last flag-setting instruction,
// and the cycle and instruction counts the measured cost times the number
// skipped. It never skips past the run's cycle limit, and never while
// anything wants the core's attention (an interrupt, a stop, tools).
#pragma once

#include "sim/core/cpu.h"

namespace sim::core {

constexpr uint32_t kNotALoop = 0xFFFFFFFF;

// The branch in `d` at `pc` has just been taken backwards (r[15] is its target).
void delay_loop_closed(Cpu &c, Decoded &d, uint32_t pc);

}  // namespace sim::core
