// Cycle estimate of straight-line ARM7TDMI code, charged per translated block.
//
// Every instruction is counted from the ARM7TDMI's timings as code fetches,
// data accesses and internal cycles:
//   data processing        1S            (+1I register-specified shift;
//                                          +1S+1N when it writes pc)
//   B, BL, BX, SWI         2S+1N          (Thumb BL: 1S for its first half)
//   LDR/LDRH/LDRB          1S+1N+1I       (+1S+1N into pc)
//   STR/STRH/STRB          2N
//   LDM, POP               nS+1N+1I       (+1S+1N with pc)
//   STM, PUSH              (n-1)S+2N
//   SWP                    1S+2N+1I
//   MUL / MLA              1S+2I / 1S+3I  (m taken as 2: operands are unknown
//   UMULL.. / UMLAL..      1S+3I / 1S+4I   when the block is translated)
// Each cycle is one master-clock cycle; an access to flash adds the wait
// states that MC_FMR.FWS sets:
//   - ARM state fetches 32 bits per instruction: every code fetch from flash
//     pays them.
//   - Thumb state: the flash's 32-bit interface and prefetch buffer hand out
//     two instructions per read, so a sequential fetch pays only when it
//     starts a new word (the instruction being executed is word-aligned);
//     after a branch the non-sequential fetch and one refill fetch pay.
//   - A pc-relative load (literal pool) is a data access to the code's
//     memory and pays when that is flash; other data accesses are taken to
//     go to RAM or peripherals, without wait states.
// A conditional instruction is counted as executed, except the conditional
// branch (or pc write) that ends a block: that is counted as not taken (1S),
// and the run loop adds the difference when the next block is not the one
// that follows it. Multiplier cycles use m = 2.
#pragma once

#include <cstdint>

namespace sim {

struct InstrCost {
    uint32_t cycles = 0;      // at zero wait states
    uint32_t flash = 0;       // accesses that pay the flash wait states when the code is in flash
    uint32_t literal = 0;     // of which pc-relative data accesses
};

struct BlockCost {
    uint32_t cycles = 0;        // whole block, final conditional branch not taken
    uint32_t flash = 0;         // accesses paying wait states if the code is in flash
    uint32_t taken_cycles = 0;  // extra when the final conditional branch is taken
    uint32_t taken_flash = 0;
    bool conditional_end = false;
    bool self_loop = false;     // ends in an unconditional branch to its own start
    uint32_t instructions = 0;

    uint64_t charge(unsigned wait_states) const { return cycles + uint64_t{wait_states} * flash; }
    uint64_t taken_charge(unsigned wait_states) const { return taken_cycles + uint64_t{wait_states} * taken_flash; }
};

// One instruction as the timing sees it.
struct InstrTiming {
    uint8_t seq_fetches = 0;     // S cycles fetching code
    uint8_t nonseq_fetches = 0;  // N cycles fetching code
    uint8_t data = 0;            // data transfers (N or S)
    uint8_t internal = 0;        // I cycles
    bool literal = false;        // the data access is pc-relative
    bool writes_pc = false;      // a branch, or any other write to pc
    bool conditional = false;    // ARM condition other than AL, or a Thumb Bcc
    bool direct_branch = false;  // B (or Thumb B/Bcc) with its target in `target`
    uint32_t target = 0;
};

InstrTiming arm_timing(uint32_t word, uint32_t address);
InstrTiming thumb_timing(uint16_t half, uint32_t address);

// Cycles and wait-state-paying accesses of one instruction at `address`.
InstrCost instruction_cost(const InstrTiming &t, uint32_t address, bool thumb, bool in_flash);

// Cost of the block of `size` bytes at `address` whose code is `code`.
// `in_flash`: the code sits in flash (its fetches and literals pay wait states).
BlockCost block_cost(const uint8_t *code, uint32_t address, uint32_t size, bool thumb, bool in_flash);

// Cost of taking an exception: 2S+1N, fetched from the vector (ARM code).
inline uint64_t exception_entry_cycles(unsigned vector_wait_states) { return 3 + 3ull * vector_wait_states; }

}  // namespace sim
