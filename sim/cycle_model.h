// Time on this chip: the ARM7TDMI's own cycles, which the core charges
// instruction by instruction, and the memory timing the machine gives it.
//
// The core (sim/core) charges every instruction as the ARM7TDMI performs it,
// in code fetches and data accesses (S sequential, N non-sequential) and
// internal cycles (I):
//   data processing        1S            (+1I register-specified shift;
//                                          +1S+1N when it writes pc)
//   B, BL, BX              2S+1N          (Thumb BL: 1S for its first half)
//   LDR/LDRH/LDRB/LDRSx    1S+1N+1I       (+1S+1N into pc)
//   STR/STRH/STRB          2N
//   LDM, POP               nS+1N+1I       (+1S+1N with pc)
//   STM, PUSH              (n-1)S+2N
//   SWP                    1S+2N+1I
//   MUL / MLA              1S+mI / 1S+(m+1)I   (m = 1..4 by the multiplier's
//   UMULL.. / UMLAL..      1S+(m+1)I / 1S+(m+2)I   significant bytes)
//   SWI, exception entry   2S+1N
//   MRC / MCR              1S+1I+1C / 1N+1C    (coprocessor 14, the debug
//                                              channel: no busy-wait; C is
//                                              one cycle with no access)
//   a condition that fails 1S
// Each cycle is one master-clock cycle; an access adds the wait states of the
// memory it goes to:
//   flash   MC_FMR.FWS on every read (N and S alike), FWS + 1 on a store
//           (the flash takes stores into its page latch). The flash is read
//           32 bits at a time into two buffers, and fetching the second
//           halfword of a word in Thumb state starts reading the next word:
//           sequential Thumb fetches at FWS = 1 are all single-cycle but the
//           first, at FWS = 2 or 3 they alternate between FWS cycles and one.
//           ARM fetches and data reads pay FWS every time.
//   RAM     none
//   peripherals  none (single-cycle accesses through the bridge, as modelled)
#pragma once

#include <cstdint>

namespace sim {

struct MemoryTiming {
    uint8_t wait_n = 0;
    uint8_t wait_s = 0;
    bool read_buffer = false;
};

// Flash reads at MC_FMR.FWS = fws (0..3).
constexpr MemoryTiming flash_timing(unsigned fws)
{
    return MemoryTiming{static_cast<uint8_t>(fws), static_cast<uint8_t>(fws), true};
}

// A store into the flash's address range at MC_FMR.FWS = fws.
constexpr unsigned flash_store_wait(unsigned fws)
{
    return fws + 1;
}

}  // namespace sim
