// Random ARM and Thumb instruction sequences for the differential test, with
// the random machine state they start from.
//
// Every sequence is well defined on the ARMv4T: it runs from its start to
// its end address without an exception, every memory access lands aligned
// inside the data window, branches go forward (but for the closing branch
// of a counted loop), and encodings whose result the architecture leaves
// UNPREDICTABLE are not generated (each exclusion is named where it is made
// in the generator).
#pragma once

#include <cstdint>
#include <vector>

#include "tests/core/diff_state.h"

namespace diff {

// One item of the generated code, for the listing of a failing sequence.
struct Piece {
    uint32_t address;
    uint8_t size;      // 2 or 4 bytes (a Thumb BL pair is one piece of 4)
    bool thumb;
    bool literal;      // a data word of the literal pool
};

struct Program {
    uint64_t seed = 0;
    uint32_t end = 0;              // execution stops when the pc reaches it
    std::vector<Piece> listing;
    MachineState initial;          // its cpu.pc and cpsr.T give the start
};

Program generate(uint64_t seed);

}  // namespace diff
