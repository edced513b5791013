// Thumb instructions in a run's host code.
#include "sim/core/jit/run_emitter.h"

namespace sim::core::jit {

void emit_thumb(RunEmitter &e, Decoded &d, uint32_t pc, bool last)
{
    e.call_handler(d, pc);
    if (last) e.end_after_call();
}

}  // namespace sim::core::jit
