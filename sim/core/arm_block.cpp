// ARM code run a straight run at a time. A run goes from an instruction to
// the first one after it that may change the course by itself (a branch, a
// write to pc, a trap), within one granule of the decoded-code cache (the
// unit its invalidation works in). Between its instructions the run loop
// makes only the cycle test every instruction needs (an access that raises
// an interrupt line, requests a stop or moves the limit sets run_until to
// stop at the next boundary); the code window is looked up, and the
// instruction counter moved, once a run. Whatever leaves straight-line code
// otherwise says so through Cpu::moved_code, which stops the run at that
// boundary: an exception entry (Cpu::take), an instruction decoded anew
// (its entry was a stub: the bytes may have changed since the run was
// found) and a change of state.
#include "sim/core/cpu.h"

namespace sim::core {

namespace {

constexpr unsigned kGranuleEntries = (1u << CodeCache::kPageShift) / 4;

// An ARM encoding that may leave straight-line code by itself.
bool ends_run(uint32_t raw)
{
    if ((raw >> 28) == 0xF) return false;   // never executes
    const bool to_pc = ((raw >> 12) & 15) == 15, load = raw & (1u << 20);
    const uint32_t op = (raw >> 20) & 0xFF;
    switch ((raw >> 25) & 7) {
    case 0: {
        const uint32_t low = (raw >> 4) & 0xF;
        if (low == 0x9) return (op & 0xFB) == 0x10 ? to_pc : (op & 0xF0) != 0;   // SWP; multiplies; the rest undefined
        if ((low & 0x9) == 0x9) return load ? to_pc : ((raw >> 5) & 3) != 1;      // halfword transfers; LDRD/STRD undefined
        if ((op & 0x19) == 0x10) return !(low == 0 && (op & 0x1B) == 0x10);       // only MRS goes straight on
        return to_pc && (op & 0x18) != 0x10;   // data processing into pc (tests write no register)
    }
    case 1:
        if ((op & 0x19) == 0x10) return true;   // MSR, undefined
        return to_pc && (op & 0x18) != 0x10;
    case 2: return load && to_pc;
    case 3: return (load && to_pc) || (raw & (1u << 4));   // undefined with bit 4
    case 4: return load && (raw & (1u << 15));
    default: return true;   // branches, coprocessors, SWI
    }
}

// The data accesses an ARM encoding makes at most.
unsigned accesses_of(uint32_t raw)
{
    switch ((raw >> 25) & 7) {
    case 0: {
        const uint32_t low = (raw >> 4) & 0xF;
        if (low == 0x9) return 2;   // SWP (the multiplies make none)
        return (low & 0x9) == 0x9 ? 1 : 0;
    }
    case 2:
    case 3: return 1;
    case 4: return raw & 0xFFFF ? static_cast<unsigned>(__builtin_popcount(raw & 0xFFFF)) : 1;
    default: return 0;
    }
}

// Decoded::block: the length of the run, and whether an instruction of it
// has a condition the run loop tests.
constexpr uint8_t kConditional = 0x80;

struct Run {
    unsigned length;
    unsigned memory;    // memory cycles at most: fetches, data accesses, the refill at its end
    bool conditional;
};

// The run from `d` (r[15]'s entry): at least one instruction. The runs
// from `d` and every later entry of it are kept, once all its instructions
// have been decoded.
Run find_run(const Cpu &c, Decoded *d)
{
    Decoded *const cache = c.code_cache->arm.data();
    Decoded *const granule_end = cache + ((d - cache) / kGranuleEntries + 1) * kGranuleEntries;
    Decoded *e = d;
    unsigned accesses = 0;
    bool conditional = false;
    for (;;) {
        if (e->fn == decode_arm_stub) {
            if (e == d) return {1, 16 + 3, true};
            return {static_cast<unsigned>(e - d), static_cast<unsigned>(e - d) + accesses + 2, true};
        }
        accesses += accesses_of(e->raw);
        conditional = conditional || e->cond != 0xE;
        const bool last = ends_run(e->raw);
        ++e;
        if (last || e == granule_end) break;
    }
    const Run run{static_cast<unsigned>(e - d), static_cast<unsigned>(e - d) + accesses + 2, conditional};
    conditional = false;
    accesses = 0;
    for (Decoded *k = e; k-- != d;) {
        accesses += accesses_of(k->raw);
        conditional = conditional || k->cond != 0xE;
        k->block = static_cast<uint8_t>((e - k) | (conditional ? kConditional : 0));
        k->block_memory = static_cast<uint16_t>((e - k) + accesses + 2);
    }
    return run;
}

template <bool Conditional>
[[gnu::always_inline]] inline void execute(Cpu &c, Decoded &d)
{
    if (Conditional && d.cond != 0xE && !c.cond(d.cond)) [[unlikely]] {
        c.fetch_s_arm();
        c.r[15] += 4;
    } else {
        d.fn(c, d);
    }
}

// The run from `d`, at `pc`, up to `end`, when it cannot reach run_until:
// only what ends it early (Cpu::end_run) is looked at between its
// instructions. False when the run loop must look.
template <bool Conditional>
[[gnu::always_inline]] inline bool run_unchecked(Cpu &c, Decoded *d, uintptr_t end, uint32_t pc)
{
    Decoded *const first = d;
    c.run_end = end;
    do {
        execute<Conditional>(c, *d);
    } while (reinterpret_cast<uintptr_t>(++d) < c.run_end);
    // Less those the last one counted itself (Cpu::count_run).
    c.instructions += static_cast<uint64_t>(d - first) - (c.block_pc - pc) / 4;
    return c.run_end && c.cycles < c.run_until;
}

// The same with the cycles looked at after every instruction.
[[gnu::noinline]] bool run_checked(Cpu &c, Decoded *d, Decoded *end, uint32_t pc)
{
    Decoded *const first = d;
    do {
        execute<true>(c, *d);
        ++d;
    } while (c.cycles < c.run_until && d != end);
    c.instructions += static_cast<uint64_t>(d - first) - (c.block_pc - pc) / 4;
    return c.cycles < c.run_until;
}

}  // namespace

void run_arm(Cpu &c)
{
    const uint32_t base = c.code_base, size = c.code_size;
    Decoded *const code = c.code_arm;
    Decoded *const window_end = code + (size >> 2);
    // Besides its memory cycles, an instruction of a run takes at most six
    // internal ones (a long multiply with accumulate).
    const uint64_t memory = c.memory_cycle_max;
    c.in_block = true;
    for (;;) {
        const uint32_t pc = c.r[15];
        const uint32_t offset = pc - base;
        if (offset >= size) [[unlikely]]
            break;
        Decoded *d = code + (offset >> 2);
        const unsigned tag = d->block;
        const Run run = tag ? Run{tag & ~kConditional & 0xFFu, d->block_memory, (tag & kConditional) != 0}
                            : find_run(c, d);
        Decoded *const end = d + run.length;
        c.block_pc = pc;
        const uint64_t most = run.memory * memory + 6 * run.length;
        bool go_on;
        if (end <= window_end && c.cycles + most < c.run_until) [[likely]]
            go_on = run.conditional ? run_unchecked<true>(c, d, reinterpret_cast<uintptr_t>(end), pc)
                                    : run_unchecked<false>(c, d, reinterpret_cast<uintptr_t>(end), pc);
        else
            go_on = run_checked(c, d, end <= window_end ? end : window_end, pc);
        if (!go_on) break;
    }
    c.in_block = false;
}

}  // namespace sim::core
