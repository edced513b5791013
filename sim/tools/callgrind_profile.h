// A profile in the callgrind format (callgrind_annotate, KCachegrind): two
// events, Cycles and Instructions; each function's self cost by source line
// (inlined code under the function it was inlined into, on its own file and
// line); and its calls with their counts and inclusive cost, from the call
// site's line. Interrupts and other exceptions are roots of their own.
//
// Source files under the directory the profile is written in are named
// relative to it (see write_callgrind's file names for why).
//
// The costs add up to the run's cycle count: were the core to charge cycles
// outside any instruction, they would appear as one function of their own.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "sim/tools/execution_recorder.h"
#include "sim/tools/source_map.h"

namespace simtools {

void write_callgrind(std::ostream &out, ExecutionRecorder &recorder, const SourceMap &map, uint64_t run_cycles,
                     const std::string &command);

}  // namespace simtools
