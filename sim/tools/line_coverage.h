// Coverage of an image's sources from what ran: the counts of an
// ExecutionRecorder read through the image's SourceMap.
//
//  - A line's count: for each place its code was put (the function body, or
//    each inlined copy), the count of its most-run instruction there; summed
//    over the places. A line with code that never ran counts 0.
//  - A branch: every conditional instruction (ARM condition other than
//    always; a Thumb conditional branch) gives two, taken (its condition
//    passed) and not taken; block = the place, in line order.
//  - A function: the times it was called (calls, tail calls, exceptions
//    entering it), or where no call was seen, the times its first
//    instruction ran; plus the times each inlined copy was entered.
// Files whose source is not on this machine (a library's) are left out and
// named in `left_out`, so that the report can be rendered.
#pragma once

#include <string>
#include <vector>

#include "sim/tools/execution_recorder.h"
#include "sim/tools/lcov_tracefile.h"
#include "sim/tools/source_map.h"

namespace simtools {

LcovTracefile line_coverage(ExecutionRecorder &recorder, const SourceMap &map, std::vector<std::string> &left_out);

}  // namespace simtools
