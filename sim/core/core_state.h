// The core's state declared for snapshots and reset. Private to sim/core.
#pragma once

#include "sim/core/cpu.h"

namespace board {
class State;
}

namespace sim::core {

void declare_state(Cpu &c, board::State &s);

}  // namespace sim::core
