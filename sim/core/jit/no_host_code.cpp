// Hosts without a code generator: every run is interpreted.
#include "sim/core/jit/compiled_runs.h"

namespace sim::core::jit {

Arena::Arena() = default;
Arena::~Arena() = default;

uintptr_t compile(Cpu &, Decoded *, unsigned) { return kNever; }

}  // namespace sim::core::jit
