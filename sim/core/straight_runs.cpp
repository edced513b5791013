// Code runs a straight run of decoded instructions at a time, in ARM and in
// Thumb state. A run goes from an instruction to the first one after it
// that may change the course by itself (a branch, a write to pc, a trap),
// within one granule of the decoded-code cache (the unit its invalidation
// works in). When the run cannot reach run_until (its instructions' most
// cycles are known from its memory cycles), only what ends it early is
// looked at between its instructions: anything that says so through
// Cpu::end_run (an access through the bus that cost more than a memory
// cycle of the run's reckoning, or was refused; a change of attention or
// of the code, which is how a peripheral raising an interrupt or asking
// for a stop ends it; an exception entry; a delay-loop skip the rest of
// the run has no room for). Near run_until, the cycles are looked at after
// every instruction. The code window is looked up once a run. Finding a
// run pairs the compares in it with the conditional branches after them,
// and the halves of a BL (pairs.h).
#include "sim/core/cpu.h"
#include "sim/core/jit/compiled_runs.h"
#include "sim/core/pairs.h"

namespace sim::core {

namespace {

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

// The same for Thumb encodings.
bool thumb_ends_run(uint32_t raw)
{
    switch (raw >> 13) {
    case 2:
        if ((raw >> 10) == 0x11) {   // high registers and BX: CMP, and ADD and MOV not into pc
            const unsigned op = (raw >> 8) & 3, rd = (raw & 7) | ((raw >> 4) & 8);
            return op == 3 || (op != 1 && rd == 15);
        }
        return false;
    case 5:
        if (!(raw & (1u << 12)) || (raw & 0x0F00) == 0x0000) return false;   // ADR, ADD SP
        if ((raw & 0x0600) == 0x0400) return (raw & 0x0900) == 0x0900;       // POP with pc
        return true;                                                          // undefined
    case 6: return (raw & (1u << 12)) || !(raw & 0xFF);   // branches, SWI; LDMIA/STMIA of pc alone
    case 7: return true;   // branches; BL's first half also runs the second
    default: return false;
    }
}

unsigned thumb_accesses_of(uint32_t raw)
{
    switch (raw >> 13) {
    case 2: return (raw >> 10) == 0x10 || (raw >> 10) == 0x11 ? 0 : 1;
    case 3:
    case 4: return 1;
    case 5:
        if ((raw & 0x1600) == 0x1400) return static_cast<unsigned>(__builtin_popcount(raw & 0x1FF));   // PUSH, POP
        return 0;
    case 6: return raw & (1u << 12) ? 0 : raw & 0xFF ? static_cast<unsigned>(__builtin_popcount(raw & 0xFF)) : 1;
    case 7: return ((raw >> 11) & 3) == 2 ? 1 : 0;   // BL's first half: the second half's fetch
    default: return 0;
    }
}

// What the runs of each state differ in.
template <bool Thumb>
struct StateOf;
template <>
struct StateOf<false> {
    static constexpr unsigned kShift = 2;   // bytes per instruction, as a shift
    static Decoded *cache(const CodeCache &cc) { return const_cast<Decoded *>(cc.arm.data()); }
    static Decoded *window(const Cpu &c) { return c.code_arm; }
    static uintptr_t *runs(const Cpu &c) { return c.runs_arm; }
    static bool ends(uint32_t raw) { return ends_run(raw); }
    static unsigned accesses(uint32_t raw) { return accesses_of(raw); }
    // ARM compares stay apart from their branches: paired, the probe's ARM
    // code ran slower by the clock (the run loop's dispatch of the branch
    // costs less than the pair's own call out of line).
    static bool pair(Decoded &, const Decoded &) { return false; }
};
template <>
struct StateOf<true> {
    static constexpr unsigned kShift = 1;
    static Decoded *cache(const CodeCache &cc) { return const_cast<Decoded *>(cc.thumb.data()); }
    static Decoded *window(const Cpu &c) { return c.code_thumb; }
    static uintptr_t *runs(const Cpu &c) { return c.runs_thumb; }
    static bool ends(uint32_t raw) { return thumb_ends_run(raw); }
    static unsigned accesses(uint32_t raw) { return thumb_accesses_of(raw); }
    static bool pair(Decoded &compare, const Decoded &next) { return pair_thumb(compare, next); }
};

// An entry's data accesses at most; a paired compare's, those of the
// branch it runs too: the branch's fetch (its refill is the run's last).
template <bool Thumb>
unsigned accesses_of_entry(const Decoded &e)
{
    return StateOf<Thumb>::accesses(e.raw) + e.paired;
}

// Decoded::block: the length of the run (127 at most, a Thumb granule holds
// 128), and whether an instruction of it has a condition the run loop tests.
constexpr uint8_t kConditional = Decoded::kConditional;
constexpr unsigned kLongestRun = 127;

struct Run {
    unsigned length;
    unsigned memory;    // memory cycles at most: fetches, data accesses, the refill at its end
    bool conditional;
};

// The run from `d` (r[15]'s entry): at least one instruction. The runs
// from `d` and every later entry of it are kept, once all its instructions
// have been decoded. Thumb has no condition the run loop tests (a branch
// tests its own). A compare of it is paired with the conditional branch
// after it where both are decoded, which ends the run there; so is the
// first half of a BL with the second (pairs.h), and until that is decoded
// the run is not kept.
template <bool Thumb>
[[gnu::noinline]] Run find_run(const Cpu &c, Decoded *d)
{
    using S = StateOf<Thumb>;
    constexpr unsigned kGranuleEntries = (1u << CodeCache::kPageShift) >> S::kShift;
    Decoded *const cache = S::cache(*c.code_cache);
    Decoded *const granule_end = cache + ((d - cache) / kGranuleEntries + 1) * kGranuleEntries;
    Decoded *e = d;
    unsigned accesses = 0;
    bool conditional = false;
    for (;;) {
        if (undecoded(*e, Thumb)) {
            if (e == d) {
                stub_of(*d, Thumb);
                return {1, 16 + 3, !Thumb};
            }
            return {static_cast<unsigned>(e - d), static_cast<unsigned>(e - d) + accesses + 2, !Thumb};
        }
        if (!e->paired && e + 1 != granule_end && !undecoded(e[1], Thumb) && S::pair(*e, e[1]))
            c.code_cache->forget_runs_through(*e, Thumb);
        accesses += accesses_of_entry<Thumb>(*e);
        conditional = conditional || (!Thumb && e->cond != 0xE);
        const bool last = S::ends(e->raw) || e->paired;
        ++e;
        if (last || e == granule_end || e - d == kLongestRun) break;
    }
    const Run run{static_cast<unsigned>(e - d), static_cast<unsigned>(e - d) + accesses + 2, conditional};
    if (Thumb && e != granule_end && undecoded(*e, Thumb) && bl_first_half(e[-1].raw)) return run;
    conditional = false;
    accesses = 0;
    for (Decoded *k = e; k-- != d;) {
        accesses += accesses_of_entry<Thumb>(*k);
        conditional = conditional || (!Thumb && k->cond != 0xE);
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

// The run from `d` up to `end`, when it cannot reach run_until: only what
// ends it early (Cpu::end_run) is looked at between its instructions.
// False when the run loop must look. A run ended early goes on from pc
// with the next run: whatever else needs the outer loop (attention, code
// that moved, a stop) has set run_until to 0 as well.
template <bool Conditional>
[[gnu::always_inline]] inline bool run_unchecked(Cpu &c, Decoded *d, uintptr_t end)
{
    c.run_end = end;
    do {
        execute<Conditional>(c, *d);
        ++c.instructions;
    } while (reinterpret_cast<uintptr_t>(++d) < c.run_end);
    return c.cycles < c.run_until;
}

// The same with the cycles looked at after every instruction.
template <bool Thumb>
[[gnu::noinline]] bool run_checked(Cpu &c, Decoded *d, Decoded *end)
{
    do {
        execute<!Thumb>(c, *d);
        ++c.instructions;
    } while (c.cycles < c.run_until && ++d != end);
    return c.cycles < c.run_until;
}

// The run from `d` as host code, where it has some (`slot`, see
// jit/compiled_runs.h) or starts often enough to get some now. False where
// the run is to be interpreted.
template <bool Thumb>
[[gnu::always_inline]] inline bool run_compiled(Cpu &c, Decoded *d, uintptr_t end, uintptr_t &slot)
{
    if (slot <= jit::kNever) [[unlikely]] {
        if (slot == jit::kNever || ++slot < c.host_code_after) return false;
        slot = jit::compile(c, d, static_cast<unsigned>(reinterpret_cast<Decoded *>(end) - d));
        if (slot == jit::kNever) return false;
    }
    c.run_end = end;
    const int outcome = reinterpret_cast<jit::Code>(slot)(c);
    if (outcome == jit::kStale) slot = 0;
    return outcome == jit::kRan;
}

// Plain execution in state Thumb while cycles < run_until and pc stays in
// the window.
template <bool Thumb>
void run(Cpu &c)
{
    using S = StateOf<Thumb>;
    const uint32_t base = c.code_base, size = c.code_size;
    Decoded *const code = S::window(c);
    uintptr_t *const runs = S::runs(c);
    Decoded *const window_end = code + (size >> S::kShift);
    const uint64_t per_memory_cycle = c.run_cycles_per_memory_cycle();
    for (;;) {
        const uint32_t offset = c.r[15] - base;
        if (offset >= size) [[unlikely]]
            return;
        Decoded *d = code + (offset >> S::kShift);
        const unsigned tag = d->block;
        const Run run = tag ? Run{tag & ~kConditional & 0xFFu, d->block_memory, (tag & kConditional) != 0}
                            : find_run<Thumb>(c, d);
        Decoded *const end = d + run.length;
        bool go_on;
        if (end <= window_end && c.cycles + run.memory * per_memory_cycle < c.run_until) [[likely]] {
            // Only runs that are kept (all of them decoded) get host code.
            if (c.host_code && d->block && run_compiled<Thumb>(c, d, reinterpret_cast<uintptr_t>(end), runs[d - code]))
                go_on = c.cycles < c.run_until;
            else
                go_on = !Thumb && run.conditional ? run_unchecked<true>(c, d, reinterpret_cast<uintptr_t>(end))
                                                  : run_unchecked<false>(c, d, reinterpret_cast<uintptr_t>(end));
        } else
            go_on = run_checked<Thumb>(c, d, end <= window_end ? end : window_end);
        if (!go_on) return;
    }
}

}  // namespace

void run_arm(Cpu &c) { run<false>(c); }
void run_thumb(Cpu &c) { run<true>(c); }

}  // namespace sim::core
