#include "sim/cycle_model.h"

#include <bit>

namespace sim {

namespace {

constexpr uint8_t kMultiplierCycles = 2;

InstrTiming data_processing(uint32_t w)
{
    InstrTiming t;
    t.seq_fetches = 1;
    bool register_shift = !(w & (1u << 25)) && (w & (1u << 4));
    if (register_shift)
        t.internal = 1;
    unsigned opcode = (w >> 21) & 0xF;
    bool test_only = opcode >= 8 && opcode <= 11;   // TST, TEQ, CMP, CMN (or MRS/MSR)
    unsigned rd = (w >> 12) & 0xF;
    if (rd == 15 && !test_only) {
        t.writes_pc = true;
        t.seq_fetches += 1;
        t.nonseq_fetches += 1;
    }
    return t;
}

InstrTiming load(bool to_pc)
{
    InstrTiming t;
    t.seq_fetches = 1;
    t.data = 1;
    t.internal = 1;
    if (to_pc) {
        t.writes_pc = true;
        t.seq_fetches += 1;
        t.nonseq_fetches += 1;
    }
    return t;
}

InstrTiming store()
{
    InstrTiming t;
    t.nonseq_fetches = 1;
    t.data = 1;
    return t;
}

InstrTiming load_multiple(unsigned n, bool with_pc)
{
    InstrTiming t = load(with_pc);
    t.data = static_cast<uint8_t>(n);
    return t;
}

InstrTiming store_multiple(unsigned n)
{
    InstrTiming t = store();
    t.data = static_cast<uint8_t>(n);
    return t;
}

InstrTiming branch()
{
    InstrTiming t;
    t.seq_fetches = 2;
    t.nonseq_fetches = 1;
    t.writes_pc = true;
    return t;
}

InstrTiming simple(uint8_t internal = 0)
{
    InstrTiming t;
    t.seq_fetches = 1;
    t.internal = internal;
    return t;
}

}  // namespace

InstrTiming arm_timing(uint32_t w, uint32_t address)
{
    InstrTiming t;
    unsigned cond = w >> 28;
    if ((w & 0x0FFFFFF0u) == 0x012FFF10u) {                 // BX
        t = branch();
    } else if ((w & 0x0FC000F0u) == 0x00000090u) {          // MUL, MLA
        t = simple(static_cast<uint8_t>(kMultiplierCycles + ((w >> 21) & 1u)));
    } else if ((w & 0x0F8000F0u) == 0x00800090u) {          // long multiplies
        t = simple(static_cast<uint8_t>(kMultiplierCycles + 1 + ((w >> 21) & 1u)));
    } else if ((w & 0x0FB00FF0u) == 0x01000090u) {          // SWP, SWPB
        t.seq_fetches = 1;
        t.data = 2;
        t.internal = 1;
    } else if ((w & 0x0E000090u) == 0x00000090u && (w & 0x60u)) {   // halfword and signed transfers
        bool is_load = w & (1u << 20);
        unsigned rn = (w >> 16) & 0xF, rd = (w >> 12) & 0xF;
        t = is_load ? load(rd == 15) : store();
        t.literal = rn == 15;
    } else if ((w & 0x0C000000u) == 0x00000000u) {          // data processing, MRS, MSR
        t = data_processing(w);
    } else if ((w & 0x0C000000u) == 0x04000000u) {          // LDR, STR
        bool is_load = w & (1u << 20);
        unsigned rn = (w >> 16) & 0xF, rd = (w >> 12) & 0xF;
        t = is_load ? load(rd == 15) : store();
        t.literal = rn == 15;
    } else if ((w & 0x0E000000u) == 0x08000000u) {          // LDM, STM
        unsigned n = static_cast<unsigned>(std::popcount(w & 0xFFFFu));
        if (n == 0)
            n = 1;
        bool is_load = w & (1u << 20);
        t = is_load ? load_multiple(n, w & (1u << 15)) : store_multiple(n);
    } else if ((w & 0x0E000000u) == 0x0A000000u) {          // B, BL
        t = branch();
        int32_t offset = static_cast<int32_t>(w << 8) >> 6;
        t.direct_branch = !(w & (1u << 24));
        t.target = address + 8 + static_cast<uint32_t>(offset);
    } else if ((w & 0x0F000000u) == 0x0F000000u) {          // SWI
        t = branch();
    } else {                                                 // coprocessor space: undefined here
        t = simple();
    }
    t.conditional = cond != 0xE;
    return t;
}

InstrTiming thumb_timing(uint16_t h, uint32_t address)
{
    InstrTiming t;
    unsigned top5 = h >> 11;
    if (top5 <= 0x03) {                                      // shifts by immediate, ADD/SUB
        t = simple();
    } else if (top5 <= 0x07) {                               // MOV/CMP/ADD/SUB immediate
        t = simple();
    } else if ((h & 0xFC00) == 0x4000) {                     // ALU operations
        unsigned op = (h >> 6) & 0xF;
        if (op == 2 || op == 3 || op == 4 || op == 7)
            t = simple(1);                                   // shift by register
        else if (op == 13)
            t = simple(kMultiplierCycles);
        else
            t = simple();
    } else if ((h & 0xFC00) == 0x4400) {                     // hi-register operations, BX
        unsigned op = (h >> 8) & 3;
        unsigned rd = (h & 7) | ((h >> 4) & 8);
        if (op == 3)
            t = branch();
        else if (op != 1 && rd == 15)
            t = branch();
        else
            t = simple();
    } else if ((h & 0xF800) == 0x4800) {                     // LDR pc-relative
        t = load(false);
        t.literal = true;
    } else if ((h & 0xF000) == 0x5000) {                     // load/store with register offset
        unsigned op = (h >> 9) & 7;
        t = (op == 0 || op == 1 || op == 2) ? store() : load(false);
    } else if ((h & 0xE000) == 0x6000 || (h & 0xF000) == 0x8000 || (h & 0xF000) == 0x9000) {
        t = (h & 0x0800) ? load(false) : store();            // immediate offset, halfword, sp-relative
    } else if ((h & 0xF000) == 0xA000 || (h & 0xFF00) == 0xB000) {
        t = simple();                                        // ADD to pc/sp, adjust sp
    } else if ((h & 0xF600) == 0xB400) {                     // PUSH, POP
        unsigned n = static_cast<unsigned>(std::popcount(static_cast<unsigned>(h & 0x1FF)));
        if (n == 0)
            n = 1;
        bool pop = h & 0x0800;
        t = pop ? load_multiple(n, h & 0x100) : store_multiple(n);
    } else if ((h & 0xF000) == 0xC000) {                     // LDMIA, STMIA
        unsigned n = static_cast<unsigned>(std::popcount(static_cast<unsigned>(h & 0xFF)));
        if (n == 0)
            n = 1;
        t = (h & 0x0800) ? load_multiple(n, false) : store_multiple(n);
    } else if ((h & 0xF000) == 0xD000) {                     // Bcc, SWI
        unsigned cond = (h >> 8) & 0xF;
        if (cond == 0xF) {
            t = branch();
        } else if (cond == 0xE) {
            t = simple();                                    // undefined
        } else {
            t = branch();
            t.conditional = true;
            t.direct_branch = true;
            int32_t offset = static_cast<int8_t>(h & 0xFF) * 2;
            t.target = address + 4 + static_cast<uint32_t>(offset);
        }
    } else if ((h & 0xF800) == 0xE000) {                     // B
        t = branch();
        t.direct_branch = true;
        int32_t offset = (static_cast<int32_t>(static_cast<uint32_t>(h) << 21) >> 20);
        t.target = address + 4 + static_cast<uint32_t>(offset);
    } else if ((h & 0xF800) == 0xF000) {                     // BL, first half
        t = simple();
    } else if ((h & 0xF800) == 0xF800) {                     // BL, second half
        t = branch();
    } else {                                                 // 0xE800: undefined on ARMv4T
        t = simple();
    }
    return t;
}

InstrCost instruction_cost(const InstrTiming &t, uint32_t address, bool thumb, bool in_flash)
{
    InstrCost c;
    c.cycles = t.seq_fetches + t.nonseq_fetches + t.data + t.internal;
    if (t.literal && in_flash)
        c.literal = t.data;
    if (!in_flash) {
        c.flash = c.literal;
        return c;
    }
    if (!thumb) {
        c.flash = t.seq_fetches + t.nonseq_fetches + c.literal;
        return c;
    }
    // Thumb: the ordinary sequential fetch pays only when it opens a new
    // word; a non-sequential fetch always pays, and so does the refill
    // fetch after a write to pc.
    uint32_t flash = t.nonseq_fetches + c.literal;
    if (t.seq_fetches > 0 && (address & 2u) == 0)
        flash += 1;
    if (t.writes_pc)
        flash += 1;
    c.flash = flash;
    return c;
}

BlockCost block_cost(const uint8_t *code, uint32_t address, uint32_t size, bool thumb, bool in_flash)
{
    BlockCost b;
    uint32_t step = thumb ? 2 : 4;
    for (uint32_t off = 0; off + step <= size; off += step) {
        uint32_t a = address + off;
        InstrTiming t;
        if (thumb)
            t = thumb_timing(static_cast<uint16_t>(code[off] | (code[off + 1] << 8)), a);
        else
            t = arm_timing(static_cast<uint32_t>(code[off] | (code[off + 1] << 8) | (code[off + 2] << 16) |
                                                 (static_cast<uint32_t>(code[off + 3]) << 24)), a);
        InstrCost c = instruction_cost(t, a, thumb, in_flash);
        bool last = off + 2 * step > size;
        b.instructions++;
        if (last && t.writes_pc && t.conditional) {
            // Counted as not taken (one sequential fetch); the run loop adds
            // the rest when the branch turns out taken.
            InstrTiming not_taken;
            not_taken.seq_fetches = 1;
            InstrCost n = instruction_cost(not_taken, a, thumb, in_flash);
            b.cycles += n.cycles;
            b.flash += n.flash;
            b.taken_cycles = c.cycles - n.cycles;
            b.taken_flash = c.flash - n.flash;
            b.conditional_end = true;
        } else {
            b.cycles += c.cycles;
            b.flash += c.flash;
        }
        if (last && t.direct_branch && !t.conditional && t.target == address)
            b.self_loop = true;
    }
    return b;
}

}  // namespace sim
