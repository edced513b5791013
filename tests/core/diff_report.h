// Reports of the differential test: the first difference between two runs
// and a failing sequence's listing, disassembled.
#pragma once

#include <string>

#include "tests/core/diff_generator.h"

namespace diff {

// Empty when both runs ended alike; otherwise the first differing register
// or memory word with both values, and how many more differ.
std::string compare(const Outcome &ours, const Outcome &oracle);
// The code (address, encoding, disassembly) and the starting registers.
std::string describe(const Program &program);

}  // namespace diff
