#include "sim/core/delay_loop.h"

namespace sim::core {

void delay_loop_closed(Cpu &, Decoded &d, uint32_t) { d.aux = kNotALoop; }

}  // namespace sim::core
