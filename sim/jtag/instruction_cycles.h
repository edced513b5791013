// How many data reads and internal cycles an instruction takes on the
// ARM7TDMI, from its encoding (the debug logic clocks the core through them
// one by one in debug state). Writes are not counted here: a store's data is
// known once it has run. A failed condition makes an instruction a single
// fetch cycle.
#pragma once

#include <cstdint>

namespace jtag {

struct CycleShape {
    unsigned reads = 0;      // data reads from the bus
    unsigned internal = 0;   // internal cycles after the transfers
    bool transfers = false;  // a load or store (whether or not its condition passes)
};

CycleShape cycle_shape(uint32_t encoding, bool thumb, uint32_t cpsr);

}  // namespace jtag
