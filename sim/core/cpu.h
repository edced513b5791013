// The core's state and the inline pieces every instruction uses: register
// banks, flags, memory access with its cycle cost, and the decoded-code
// cache. Private to sim/core.
// The cycle table and the order of accesses are documented in arm7tdmi.h.
#pragma once

#include "sim/core/arm7tdmi.h"
#include "sim/core/zeroed_array.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace sim::core {

struct Cpu;
struct LoopInfo;

constexpr uint32_t kN = 1u << 31, kZ = 1u << 30, kC = 1u << 29, kV = 1u << 28;
constexpr uint32_t kFlagBits = kN | kZ | kC | kV;

// An ARM condition code against the N, Z, C and V bits of `flags`: a table
// of 16 bits per condition, one per NZCV combination. 1111 is "never" (NV)
// on the ARM7TDMI: such an instruction is not executed and costs 1S, as any
// whose condition fails (ARMv5 made it the unconditional space).
struct ConditionTable {
    uint16_t pass[16];
    constexpr ConditionTable() : pass{}
    {
        for (unsigned c = 0; c < 16; ++c) {
            for (unsigned f = 0; f < 16; ++f) {
                bool n = f & 8, z = f & 4, cf = f & 2, v = f & 1, p = false;
                switch (c) {
                case 0x0: p = z; break;
                case 0x1: p = !z; break;
                case 0x2: p = cf; break;
                case 0x3: p = !cf; break;
                case 0x4: p = n; break;
                case 0x5: p = !n; break;
                case 0x6: p = v; break;
                case 0x7: p = !v; break;
                case 0x8: p = cf && !z; break;
                case 0x9: p = !cf || z; break;
                case 0xA: p = n == v; break;
                case 0xB: p = n != v; break;
                case 0xC: p = !z && n == v; break;
                case 0xD: p = z || n != v; break;
                case 0xE: p = true; break;
                default: p = false; break;   // NV
                }
                if (p) pass[c] = static_cast<uint16_t>(pass[c] | (1u << f));
            }
        }
    }
};
inline constexpr ConditionTable kConditions{};
inline bool condition_passed(uint32_t flags, uint32_t c) { return (kConditions.pass[c & 15] >> (flags >> 28)) & 1; }

// N, Z, C and V of a + b (add) or a - b (subtract), as the ALU sets them.
inline uint32_t alu_flags(uint32_t a, uint32_t b, bool subtract)
{
    uint32_t bb = subtract ? ~b : b;
    uint64_t wide = uint64_t{a} + bb + (subtract ? 1 : 0);
    uint32_t res = static_cast<uint32_t>(wide);
    return (res & kN) | (res == 0 ? kZ : 0) | ((wide >> 32) ? kC : 0) | (((~(a ^ bb) & (a ^ res)) >> 31) ? kV : 0);
}
struct Decoded;
using Handler = void (*)(Cpu &, Decoded &);

// One instruction decoded: its handler and encoding. `aux` belongs to the
// handler (loop table index of a closing branch). The common forms take
// their operands from the fields after it, filled once at decoding
// (decode_arm_into, decode_thumb_into), instead of from `raw` every time.
struct Decoded {
    constexpr Decoded(Handler f = nullptr, uint32_t encoding = 0, uint32_t a = 0)
        : fn(f), raw(encoding), aux(a), cond(static_cast<uint8_t>(encoding >> 28))
    {
    }
    Handler fn;
    uint32_t raw;
    uint32_t aux;
    uint8_t rd = 0, rn = 0, rm = 0;
    uint8_t shift = 0, amount = 0;   // of the operand register
    uint8_t bits = 0;                // form flags of the handler
    // The condition the run loop tests before an ARM instruction (the top
    // bits of raw, or "always" where the handler tests it itself, see
    // decode_arm_into; meaningless for Thumb).
    uint8_t cond;
    // The straight run from this one (see straight_runs.cpp): its length
    // with kConditional, and the memory cycles it makes at most; 0 until
    // the run loop has found it.
    static constexpr uint8_t kConditional = 0x80;   // an instruction of it has a condition the run loop tests
    uint8_t block = 0;
    uint32_t imm = 0;                // immediate operand, offset or branch displacement
    uint16_t block_memory = 0;
    // A compare that runs the conditional branch after it too (pairs.h):
    // a straight run ends with it.
    bool paired = false;
};
static_assert(sizeof(Decoded) <= 32, "decoded entries stay two to a cache line");

// The encoding an ARM entry's stub shows: condition "always", so that the
// run loop calls it.
constexpr uint32_t kUndecoded = 0xE0000000;

// Decoded instructions of one piece of host memory, shared by every region
// that shows it (a remap shows the same RAM at two addresses). Entries are
// position independent so that aliases can share them.
struct CodeCache {
    static constexpr unsigned kPageShift = 8;   // granule of "has decoded code"
    static constexpr uint32_t kFetchedAhead = 8;  // bytes fetched past an executing instruction
    uint8_t *host = nullptr;
    uint32_t size = 0;
    // One entry per word and one per halfword, allocated on first use. An
    // entry not decoded yet is all zero (no handler): it gets its stub
    // (stub_of) when it is about to run, so that only the pages of the
    // tables where code runs are ever touched.
    ZeroedArray<Decoded> arm;
    ZeroedArray<Decoded> thumb;
    // Beside each entry, the host code of the straight run from it, or how
    // often the run has started since it was found (jit/compiled_runs.h).
    ZeroedArray<uintptr_t> arm_runs;
    ZeroedArray<uintptr_t> thumb_runs;
    std::vector<uint8_t> page_has_code;
    void allocate_entries()
    {
        if (!arm.empty()) return;
        arm.allocate(size / 4);
        thumb.allocate(size / 2);
        arm_runs.allocate(size / 4);
        thumb_runs.allocate(size / 2);
    }
    // True when some page held decoded code.
    bool invalidate_pages(uint32_t first_page, uint32_t last_page);
    // The entry `d` (of the ARM or Thumb entries) was rewritten in place: the
    // host code of the runs through it goes (all of its granule's: a run
    // stays within one).
    void forget_runs_through(const Decoded &d, bool in_thumb);
    // The host code of every run goes.
    void forget_all_runs()
    {
        arm_runs.zero();
        thumb_runs.zero();
    }
};

struct Region {
    uint32_t base = 0, mask = 0;  // mask = size - 1
    uint8_t *host = nullptr;
    bool writable = true;
    bool read_buffer = false;     // read through the two-word buffer (wait states > 0)
    uint8_t wait_n = 0, wait_s = 0;
    CodeCache *cache = nullptr;
    uint32_t cache_offset = 0;    // of host within cache->host
    uint8_t *code_pages = nullptr;   // cache->page_has_code, for the store path
};
namespace jit {
class Arena;
}

// The read buffers of a memory read 32 bits at a time (see arm7tdmi.h,
// MemoryRegion::read_buffer): the word held and the word being read ahead,
// each named by the host address of its bytes (its key), so that every
// view of the memory shares them. The word read ahead is only ever the one
// after the word held, so both follow from one key, that of the halfword
// which code running straight on fetches next:
//   - the second half of a word W: W is held, nothing is read ahead;
//   - the first half of a word W: W - 4 is held, W is being read ahead
//     (ready at ahead_ready);
//   - kEmpty (odd): nothing is held.
// Such code then meets the one case that costs no look-up: the halfword it
// fetches is `next`, and `next` moves on by one halfword.
// While the code window is in the buffered memory, `next` is kept as a code
// address of the window (the key less Cpu::code_key), so that a fetch
// compares its address with it as it is; elsewhere it is the key with
// kElsewhere set, which no code address matches (Cpu::buffer_key).
struct ReadBuffer {
    static constexpr uintptr_t kNone = 0;    // no word
    static constexpr uintptr_t kEmpty = 1;
    static constexpr uint64_t kElsewhere = uint64_t{1} << 63;
    uint64_t next = kEmpty | kElsewhere;
    uint64_t ahead_ready = 0;   // cycle at which the read-ahead ends
    // The words the key `next_key` stands for.
    static uintptr_t held_of(uintptr_t next_key)
    {
        return next_key & 1 ? kNone : next_key & 2 ? next_key - 2 : next_key - 4;
    }
    static uintptr_t ahead_of(uintptr_t next_key) { return next_key & 3 ? kNone : next_key; }
};

// Bank index of a mode's r13, r14 and SPSR.
enum Bank : int { kBankUser = 0, kBankFiq, kBankIrq, kBankSvc, kBankAbt, kBankUnd, kBankCount };
int bank_of(uint32_t mode);   // -1 for an invalid mode
bool valid_mode(uint32_t mode);

struct Cpu {
    // Current registers; r[15] is the address of the instruction executing
    // (not the pipeline's pc+8): instructions reading pc add it themselves.
    uint32_t r[16] = {};
    // The CPSR is kept in two pieces, so that setting the condition flags
    // is a few byte stores rather than a merge into one word: `control`
    // holds all but the flags (bits 31..28 always clear: the mode, T, I, F
    // and whatever was written to the reserved bits), `flags` the flags.
    // cpsr() joins them; every write of a whole value splits it.
    uint32_t control = 0;
    struct Flags {
        uint8_t v = 0, c = 0, z = 0, n = 0;   // each 0 or 1
    } flags;
    uint32_t bank_r13[kBankCount] = {}, bank_r14[kBankCount] = {}, bank_spsr[kBankCount] = {};
    uint32_t user_r8_12[5] = {}, fiq_r8_12[5] = {};

    uint64_t cycles = 0;
    uint64_t instructions = 0;
    uint64_t limit = 0;
    // The run loop's one test per instruction: plain execution goes on
    // while cycles < run_until, which is 0 whenever attention is wanted
    // and when the code moved.
    uint64_t run_until = 0;
    // The code window or the state changed (a refill into another memory,
    // new regions, a switch between ARM and Thumb), or execution left
    // straight-line code where the run loop does not look for it (an
    // exception entry, an instruction decoded anew): plain execution keeps
    // the window and the run it is in at hand and must look again.
    bool code_moved = false;
    // Where the straight run being executed ends (one past its last entry);
    // 0 once something wants the run loop to look before the next
    // instruction: an access through the bus, a change of attention or of
    // the code (Cpu::end_run).
    uintptr_t run_end = 0;
    // The most a memory cycle costs in any region (1 + its wait states),
    // for the cycles a run can take at most.
    uint32_t memory_cycle_max = 1;

    CoreBus *bus = nullptr;
    DebugChannel debug_channel;

    // Anything other than plain execution wanted at the next boundary:
    // an unmasked interrupt line, a stop request, breakpoints, an observer,
    // instructions the pipeline holds as fetched before a store rewrote them.
    bool attention = false;
    bool irq_line = false, fiq_line = false;
    bool stop_requested = false;
    bool tools = false;          // breakpoints, watchpoints or an observer
    bool access_hooks = false;   // watchpoints or an observer see each data access
    bool watch_hit_pending = false;
    bool debug_hit_pending = false;   // the EmbeddedICE matched a data access
    bool fast_forward = true;
    bool aborted = false;        // set by a refused data access of this instruction
    bool in_bus_access = false;  // inside a CoreBus data access of the instruction executing
    // With an observer the exception an instruction raises is entered after
    // the observer has seen the instruction.
    bool defer_exceptions = false;
    int deferred = -1;
    uint32_t deferred_link = 0;

    // Memories.
    std::vector<Region> regions;
    std::vector<std::unique_ptr<CodeCache>> caches;
    ZeroedArray<uint8_t> page_region{1u << 20};  // per 4 KiB page: 0 none, k region k-1, 0xFF search
    // What the short path of data accesses looks in: page_region, or no
    // region anywhere while a tool sees every access (set_plain_pages).
    const uint8_t *plain_pages = nullptr;
    const Region *region_table = nullptr;   // regions.data(), for host code
    // Straight runs that start often run as host code made for them
    // (sim/core/jit); off, every run is interpreted.
    bool host_code = true;
    uint8_t host_code_after = 16;   // starts of a run before it is compiled
    std::shared_ptr<jit::Arena> arena;
    // The region the current code runs from.
    uint32_t code_base = 1, code_size = 0;   // empty until looked up
    uint8_t *code_host = nullptr;
    Decoded *code_arm = nullptr, *code_thumb = nullptr;
    uintptr_t *runs_arm = nullptr, *runs_thumb = nullptr;   // the window's part of CodeCache::arm_runs, thumb_runs
    CodeCache *code_cache = nullptr;
    uint32_t code_cache_offset = 0;
    uint32_t code_s = 1, code_n = 1;          // cost of a sequential / non-sequential fetch
    // Thumb code from a memory with read buffers: fetches go through them.
    bool code_buffered = false;
    uintptr_t code_key = 0;                    // host address of code address 0, for the buffers
    uint32_t code_wait = 0;                    // wait states of one read of the memory
    ReadBuffer read_buffer;
    uint64_t code_generation = 0;              // bumped whenever decoded code is forgotten

    // Tools.
    ExecutionObserver *observer = nullptr;
    DebugWatch *debug_watch = nullptr;
    std::vector<uint32_t> breakpoints;
    std::vector<Arm7tdmi::Watch> watches;
    Arm7tdmi::WatchHit watch_hit{};
    uint64_t exceptions[6] = {};
    uint64_t exceptions_total = 0;
    bool stepping = false;
    std::vector<LoopInfo> loops;     // analysed loops, see delay_loop.h
    // Iterations a closing branch skipped, for the observer after the branch.
    const LoopInfo *repeat_loop = nullptr;
    uint64_t repeat_iterations = 0, repeat_cycles = 0;
    bool prefetch_aborted = false;   // the last execute_one took a prefetch abort

    // The instructions ahead in the pipeline, once a store of the core has
    // rewritten the bytes of one of them: the ARM7TDMI had fetched both
    // before the store's data cycle (the one right after the instruction
    // while it executed, the next in its first cycle), so both run as
    // fetched. A refill (branch, exception) throws them away. Empty (count
    // 0) otherwise: the pipeline is then the decoded-code cache itself.
    struct Pipeline {
        uint32_t address = 0;   // of raw[0]; raw[1] is the instruction after it
        uint32_t raw[2] = {};
        uint8_t count = 0;
        bool thumb = false;
    } pipeline;

    // ---- state ----
    uint32_t cpsr() const { return control | nzcv() << 28; }
    // The CPSR := value as it stands, without switching banks (a restore).
    void load_cpsr(uint32_t value)
    {
        control = value & ~kFlagBits;
        set_flags_of(value);
    }
    bool thumb() const { return control & kCpsrT; }
    uint32_t mode() const { return control & 0x1F; }
    bool has_spsr() const { int b = bank_of(mode()); return b > kBankUser; }
    uint32_t spsr() const { return has_spsr() ? bank_spsr[bank_of(mode())] : 0; }
    void set_spsr(uint32_t v) { if (has_spsr()) bank_spsr[bank_of(mode())] = v; }
    // Switch register banks to the mode of `value` and set the CPSR.
    void write_cpsr(uint32_t value);
    void update_attention()
    {
        attention = stop_requested || tools || pipeline.count || (irq_line && !(control & kCpsrI)) ||
                    (fiq_line && !(control & kCpsrF));
        run_until = attention || code_moved ? 0 : limit;
        end_run();
    }
    void moved_code()
    {
        code_moved = true;
        run_until = 0;
        end_run();
    }
    // The straight run being executed ends after this instruction.
    void end_run() { run_end = 0; }
    // The most cycles a run may take per memory cycle of it: an instruction
    // takes at most six internal cycles (a long multiply with accumulate)
    // besides its memory cycles, of which it makes one at least (its fetch).
    uint64_t run_cycles_per_memory_cycle() const { return memory_cycle_max + 6; }
    // For an instruction of a straight run that moved the cycles on past
    // what the run loop allowed for it (a delay-loop skip) before it runs:
    // whether the run from `d`, its entry, to the run's end still cannot
    // reach run_until, as the run loop reckons it, so that it goes on.
    bool run_fits_from(const Decoded &d) const
    {
        const unsigned length = d.block & ~Decoded::kConditional & 0xFFu;
        return length && run_end == reinterpret_cast<uintptr_t>(&d + length) &&
               cycles + d.block_memory * run_cycles_per_memory_cycle() < run_until;
    }
    uint32_t user_reg(int n) const;
    void set_user_reg(int n, uint32_t v);

    // ---- flags ----
    // The NZCV nibble of the flags (N in bit 3), read byte by byte: a word
    // read of the four bytes just stored one by one would wait for the
    // stores to reach the cache (no store forwarding), about 5 % of ARM
    // code's speed.
    uint32_t nzcv() const
    {
        return static_cast<uint32_t>(flags.n) << 3 | static_cast<uint32_t>(flags.z) << 2 |
               static_cast<uint32_t>(flags.c) << 1 | flags.v;
    }
    // The flags from bits 31..28 of a PSR value.
    void set_flags_of(uint32_t psr)
    {
        flags.n = psr >> 31;
        flags.z = (psr >> 30) & 1;
        flags.c = (psr >> 29) & 1;
        flags.v = (psr >> 28) & 1;
    }
    bool carry() const
    {
        const uint8_t c = flags.c;
        if (c > 1) __builtin_unreachable();   // a flag byte is 0 or 1: no test to make it a bool
        return c;
    }
    bool cond(uint32_t c) const
    {
        // A condition known when compiling (an ARM branch's) on one flag
        // tests its byte alone.
        if (__builtin_constant_p(c)) {
            switch (c & 15) {
            case 0x0: return flags.z;
            case 0x1: return !flags.z;
            case 0x2: return flags.c;
            case 0x3: return !flags.c;
            case 0x4: return flags.n;
            case 0x5: return !flags.n;
            case 0x6: return flags.v;
            case 0x7: return !flags.v;
            case 0xE: return true;
            default: break;
            }
        }
        return (kConditions.pass[c & 15] >> nzcv()) & 1;
    }
    // N, Z, C and V match the x86-64 host's SF, ZF, CF and OF (CF inverted
    // after a subtraction): there the host's own ALU sets them and each is
    // stored straight from its condition code.
#if defined(__x86_64__) && defined(__GCC_ASM_FLAG_OUTPUTS__)
    void set_nz(uint32_t res) { asm("testl %[r], %[r]" : "=@ccs"(flags.n), "=@ccz"(flags.z) : [r] "r"(res)); }
#else
    void set_nz(uint32_t res)
    {
        flags.n = res >> 31;
        flags.z = res == 0;
    }
#endif
    void set_nzc(uint32_t res, bool c)
    {
        set_nz(res);
        flags.c = c;
    }
    void set_nzcv(uint32_t res, bool c, bool v)
    {
        set_nzc(res, c);
        flags.v = v;
    }
    uint32_t add_flags(uint32_t a, uint32_t b, uint32_t carry_in)
    {
#if defined(__x86_64__) && defined(__GCC_ASM_FLAG_OUTPUTS__)
        uint32_t res = a;
        if (__builtin_constant_p(carry_in) && carry_in == 0)
            asm("addl %[b], %[r]"
                : [r] "+r"(res), "=@ccs"(flags.n), "=@ccz"(flags.z), "=@ccc"(flags.c), "=@cco"(flags.v)
                : [b] "rm"(b));
        else   // the carry in through CF (bit 0 of carry_in)
            asm("btl $0, %[cin]\n\tadcl %[b], %[r]"
                : [r] "+r"(res), "=@ccs"(flags.n), "=@ccz"(flags.z), "=@ccc"(flags.c), "=@cco"(flags.v)
                : [b] "rm"(b), [cin] "r"(carry_in));
        return res;
#else
        if (__builtin_constant_p(carry_in) && carry_in == 0) {
            int32_t unused;
            const bool v = __builtin_add_overflow(static_cast<int32_t>(a), static_cast<int32_t>(b), &unused);
            const uint32_t res = a + b;
            set_nzcv(res, res < a, v);
            return res;
        }
        const uint64_t wide = uint64_t{a} + b + carry_in;
        const uint32_t res = static_cast<uint32_t>(wide);
        set_nzcv(res, wide >> 32, (~(a ^ b) & (a ^ res)) >> 31);
        return res;
#endif
    }
    bool interrupt_due() const { return (fiq_line && !(control & kCpsrF)) || (irq_line && !(control & kCpsrI)); }
    // a - b - !carry_in, ARM carry = no borrow.
    uint32_t sub_flags(uint32_t a, uint32_t b, uint32_t carry_in)
    {
        if (__builtin_constant_p(carry_in) && carry_in == 1) {
#if defined(__x86_64__) && defined(__GCC_ASM_FLAG_OUTPUTS__)
            uint32_t res = a;
            asm("subl %[b], %[r]"
                : [r] "+r"(res), "=@ccs"(flags.n), "=@ccz"(flags.z), "=@ccae"(flags.c), "=@cco"(flags.v)
                : [b] "rm"(b));
            return res;
#else
            int32_t unused;
            const bool v = __builtin_sub_overflow(static_cast<int32_t>(a), static_cast<int32_t>(b), &unused);
            const uint32_t res = a - b;
            set_nzcv(res, a >= b, v);
            return res;
#endif
        }
        return add_flags(a, ~b, carry_in);
    }

    // ---- time ----
    // Every code fetch is charged here, at the costs of the memory the code
    // runs from (set by enter_code_region): N or S, and Thumb code from a
    // memory with read buffers through them (fetch_buffered). `address` is
    // the fetched one.
    [[gnu::always_inline]] void fetch(bool sequential, bool in_thumb, uint32_t address)
    {
        if (in_thumb && fetch_straight(address)) [[likely]]
            return;
        if (in_thumb && code_buffered)
            fetch_buffered_any(address);
        else
            cycles += sequential ? code_s : code_n;
    }
    // A Thumb fetch of the halfword at `address` through the read buffers:
    // the held word costs one cycle, the word being read ahead whatever is
    // left of its read (one cycle at least), any other word a whole read.
    // Fetching a word's second half starts the read of the next word, once
    // the memory is free. Code running straight on fetches the halfword
    // the buffers' key names (ReadBuffer): a second half then comes from
    // the held word and starts the read of the next, a first half from the
    // word read ahead. False (nothing done) for any other halfword, and
    // outside the buffered memory.
    [[gnu::always_inline]] bool fetch_straight(uint32_t address)
    {
        ReadBuffer &b = read_buffer;
        if (address != b.next) return false;
        const uint64_t t = cycles;
        b.next = uint64_t{address} + 2;
        if (address & 2) {
            cycles = t + 1;
            b.ahead_ready = t + code_wait + 1;
        } else {
            cycles = b.ahead_ready > t + 1 ? b.ahead_ready : t + 1;
        }
        return true;
    }
    [[gnu::always_inline]] void fetch_buffered(uint32_t address)
    {
        if (!fetch_straight(address)) fetch_buffered_any(address);
    }
    // The same, for any halfword (the rare cases above, and branch targets).
    [[gnu::noinline]] void fetch_buffered_any(uint32_t address) { fetch_buffered_general(address); }
    // With the keys as code addresses of the window (see ReadBuffer): the
    // word of `address` is held when `next` is one of its halves' keys
    // after it, read ahead when `next` is its first half.
    [[gnu::always_inline]] void fetch_buffered_general(uint32_t address)
    {
        ReadBuffer &b = read_buffer;
        const uint64_t w = address & ~3u, s = b.next, t = cycles;
        const bool second = address & 2;
        if (s == w + 2 || s == w + 4) {
            cycles = t + 1;
            if (second && s != w + 4) {
                b.next = w + 4;
                b.ahead_ready = t + code_wait + 1;
            }
            return;
        }
        uint64_t free_at;
        if (s == w) {
            cycles = b.ahead_ready > t + 1 ? b.ahead_ready : t + 1;
            free_at = b.ahead_ready > t ? b.ahead_ready : t;
        } else {
            cycles = t + code_wait + 1;
            free_at = cycles;
        }
        if (second) {
            b.next = w + 4;
            b.ahead_ready = free_at + code_wait + 1;
        } else {
            b.next = w + 2;
        }
    }
    // A Thumb pipeline refill through the read buffers: the target as any
    // fetch, then the halfword after it, which is then either the second
    // half of the word just fetched (held) or the first of the word whose
    // read the target's fetch started (read ahead). The two fetches are
    // worked out at once, to the same cycles and buffers as one after the
    // other. Unless the target's word is held with the word after it read
    // ahead (`next` is that word), the target's word is in the buffers at
    // `free`: at once if held, when its read ahead ends, or after a read.
    [[gnu::always_inline]] void refill_buffered(uint32_t target)
    {
        ReadBuffer &b = read_buffer;
        const uint64_t w = target & ~3u, s = b.next, t = cycles, a = b.ahead_ready, wait = code_wait;
        b.next = uint64_t{target} + 4;
        if (s == w + 4) {
            // The halves the two fetches take are held or, for a second-half
            // target, the first of them held and the other read ahead.
            cycles = target & 2 ? std::max(a, t + 2) : t + 2;
            return;
        }
        const uint64_t free = s == w + 2 ? t : s == w ? std::max(a, t) : t + wait + 1;
        if (target & 2) {
            b.ahead_ready = free + wait + 1;
            cycles = std::max(b.ahead_ready, t + 2);
        } else {
            const uint64_t first = std::max(free, t + 1);
            cycles = first + 1;
            b.ahead_ready = first + wait + 1;
        }
    }
    // The key of the halfword code running straight on fetches next (see
    // ReadBuffer), whatever the code window; and the same set.
    uintptr_t buffer_key() const
    {
        return code_buffered ? read_buffer.next + code_key : read_buffer.next & ~ReadBuffer::kElsewhere;
    }
    void set_buffer_key(uintptr_t key)
    {
        read_buffer.next = code_buffered ? key - code_key : key | ReadBuffer::kElsewhere;
    }
    // A data read of the memory, or ARM code, takes it from the buffers.
    void clear_read_buffers() { set_buffer_key(ReadBuffer::kEmpty); }
    // The instruction's own fetch of the instruction two ahead.
    void fetch_s()
    {
        if (control & kCpsrT)
            fetch_s_thumb();
        else
            fetch_s_arm();
    }
    // The same, for handlers that run in one state only.
    void fetch_s_arm() { fetch(true, false, r[15] + 8); }
    void fetch_s_thumb() { fetch(true, true, r[15] + 4); }
    // pc on to the next instruction, and the fetch this one made of the
    // one two ahead: for handlers that touch registers only, where the
    // order of the two does not matter, as their last act (so that the
    // read buffers' general case is a tail call).
    [[gnu::always_inline]] void next_thumb_fetched()
    {
        const uint32_t next = r[15] + 2;
        r[15] = next;
        fetch(true, true, next + 2);
    }
    // The same fetch made N: a store's (its data cycle is not sequential to it).
    void fetch_n()
    {
        const bool in_thumb = control & kCpsrT;
        fetch(false, in_thumb, r[15] + (in_thumb ? 4 : 8));
    }
    void idle(uint32_t n = 1) { cycles += n; }
    // pc := target (already aligned for the state), and the pipeline refill:
    // N fetch of the target, S fetch of the next one. Code outside every
    // region pays one cycle a fetch, without wait states.
    void branch(uint32_t target)
    {
        if (control & kCpsrT)
            branch_in<true>(target);
        else
            branch_in<false>(target);
    }
    // The same for handlers that know the state they branch in.
    template <bool InThumb>
    void branch_in(uint32_t target)
    {
        r[15] = target;
        if (target - code_base >= code_size && !enter_code_region(target)) [[unlikely]] {
            cycles += 2;
            return;
        }
        refill<InThumb>(target);
    }
    // The same within the code window (the caller has checked).
    template <bool InThumb>
    void branch_near(uint32_t target)
    {
        r[15] = target;
        refill<InThumb>(target);
    }
    bool in_window(uint32_t target) const { return target - code_base < code_size; }
    // A taken Thumb branch of the instruction at `pc` to `target`: its fetch
    // of pc + 4 and the refill, where both are the common case (code running
    // straight on through the read buffers, the target in the window), with
    // no call, so that a handler keeps no registers for it. False, and
    // nothing done, where the handler must take the general way.
    [[gnu::always_inline]] bool thumb_branch_straight(uint32_t pc, uint32_t target)
    {
        if (read_buffer.next != uint64_t{pc} + 4 || !in_window(target)) return false;
        fetch_straight(pc + 4);
        r[15] = target;
        refill_buffered(target);
        return true;
    }
    template <bool InThumb>
    [[gnu::always_inline]] void refill(uint32_t target)
    {
        if constexpr (InThumb) {
            if (code_buffered) {
                refill_buffered(target);
            } else {
                cycles += code_n + code_s;
            }
        } else {
            // ARM code reads whole words past the buffers.
            if (code_buffered) clear_read_buffers();
            cycles += code_n + code_s;
        }
    }
    // Look up the region holding `address` as the code region; false when
    // none does (code then comes through CoreBus).
    bool enter_code_region(uint32_t address);
    // The encoding at r[15] (`size` bytes) for the decoded-code cache. Its
    // page, and that of the instruction two ahead (fetched while it runs),
    // are then marked as holding code, so that stores there are seen.
    uint32_t code_for_decoding(unsigned size)
    {
        uint32_t offset = r[15] - code_base, raw = 0;
        std::memcpy(&raw, code_host + offset, size);
        uint32_t at = code_cache_offset + offset;
        code_cache->page_has_code[at >> CodeCache::kPageShift] = 1;
        if (at + 2 * size < code_cache->size) code_cache->page_has_code[(at + 2 * size) >> CodeCache::kPageShift] = 1;
        return raw;
    }

    // ---- memory ----
    const Region *region_of(uint32_t address) const
    {
        uint8_t i = page_region[address >> 12];
        if (i != 0 && i != 0xFF) [[likely]]
            return &regions[i - 1];
        return i == 0 ? nullptr : search_region(address);
    }
    const Region *search_region(uint32_t address) const;
    // Where the bytes of `address` are in host memory; null outside every region.
    const uint8_t *host_at(uint32_t address) const
    {
        const Region *g = region_of(address);
        return g ? g->host + (address & g->mask) : nullptr;
    }

    // Data accesses. `seq`: an S cycle (the later transfers of LDM/STM).
    // False: the access was refused and the abort reported (`aborted` set).
    // Plain memory without read buffers, a store to a page holding no code
    // and no tool watching accesses take the short path inline; everything
    // else the long one.
    template <unsigned Size>
    [[gnu::always_inline]] bool read(uint32_t address, bool seq, uint32_t &value)
    {
        if (const Region *g = plain<false>(address)) [[likely]] {
            value = load_host<Size>(g->host + (address & g->mask));
            cycles += 1 + (seq ? g->wait_s : g->wait_n);
            return true;
        }
        return read_long<Size>(address, seq, value);
    }
    template <unsigned Size>
    [[gnu::always_inline]] bool write(uint32_t address, bool seq, uint32_t value)
    {
        if (const Region *g = plain<true>(address)) [[likely]] {
            store_host<Size>(g->host + (address & g->mask), value);
            cycles += 1 + (seq ? g->wait_s : g->wait_n);
            return true;
        }
        return write_long<Size>(address, seq, value);
    }
    // The region of a data access that takes the short path: memory alone
    // in its 4 KiB page, without read buffers for a read, writable and with
    // no decoded code in the address's page for a store, and no tool
    // watching accesses. Null: the long path.
    template <bool Write>
    [[gnu::always_inline]] const Region *plain(uint32_t address) const
    {
        const uint8_t i = plain_pages[address >> 12];
        if (static_cast<uint8_t>(i - 1) >= 0xFE) [[unlikely]]
            return nullptr;
        const Region *g = regions.data() + (i - 1);
        if constexpr (Write) {
            if (!g->writable || g->code_pages[(g->cache_offset + (address & g->mask)) >> CodeCache::kPageShift])
                return nullptr;
        } else if (g->read_buffer) {
            return nullptr;
        }
        return g;
    }
    template <unsigned Size>
    static uint32_t load_host(const uint8_t *p)
    {
        if constexpr (Size == 4) {
            uint32_t w;
            std::memcpy(&w, p, 4);
            return w;
        } else if constexpr (Size == 2) {
            uint16_t h;
            std::memcpy(&h, p, 2);
            return h;
        } else {
            return *p;
        }
    }
    template <unsigned Size>
    static void store_host(uint8_t *p, uint32_t value)
    {
        if constexpr (Size == 4) {
            std::memcpy(p, &value, 4);
        } else if constexpr (Size == 2) {
            uint16_t h = static_cast<uint16_t>(value);
            std::memcpy(p, &h, 2);
        } else {
            *p = static_cast<uint8_t>(value);
        }
    }
    template <unsigned Size>
    [[gnu::noinline]] bool read_long(uint32_t address, bool seq, uint32_t &value)
    {
        const Region *g = region_of(address);
        if (g) {
            value = load_host<Size>(g->host + (address & g->mask));
            cycles += 1 + (seq ? g->wait_s : g->wait_n);
            // A data read takes the memory from the code's buffers.
            if (g->read_buffer) clear_read_buffers();
        } else if (!bus_read(address, Size, value)) {
            return false;
        }
        if (access_hooks) hook_access(address, Size, false, value);
        return true;
    }
    template <unsigned Size>
    [[gnu::noinline]] bool write_long(uint32_t address, bool seq, uint32_t value)
    {
        const Region *g = region_of(address);
        if (g && g->writable) {
            uint32_t off = address & g->mask;
            uint8_t *p = g->host + off;
            // Before the bytes change: the pipeline keeps what it fetched.
            uint32_t page = (g->cache_offset + off) >> CodeCache::kPageShift;
            if (g->code_pages[page]) code_written(g->cache, page, p, Size);
            store_host<Size>(p, value);
            cycles += 1 + (seq ? g->wait_s : g->wait_n);
        } else if (!bus_write(address, Size, value)) {
            return false;
        }
        if (access_hooks) hook_access(address, Size, true, value);
        return true;
    }
    // After access_hooks or page_region changed.
    void set_plain_pages();
    bool bus_read(uint32_t address, unsigned size, uint32_t &value);
    bool bus_write(uint32_t address, unsigned size, uint32_t value);
    // The same past the bus's ports.
    bool bus_write_whole(uint32_t address, unsigned size, uint32_t value);
    // A word store to `address` taken by a port of the bus (CoreBus::Port)
    // as bus_write() would make it; false, nothing done, where there is no
    // port for it or the port refuses it.
    [[gnu::always_inline]] bool stored_at_port(uint32_t address, uint32_t value)
    {
        const CoreBus::Port &p = bus->port(address);
        if (p.address != address) return false;
        in_bus_access = true;
        const bool taken = p.store(p, cycles, value);
        in_bus_access = false;
        // No wait states: never more than a memory cycle.
        cycles += taken;
        return taken;
    }
    void hook_access(uint32_t address, unsigned size, bool write, uint32_t value);
    // A store of the core is about to change `size` bytes at `host`, in a
    // page of `cache` that holds code.
    void code_written(CodeCache *cache, uint32_t page, const uint8_t *host, unsigned size);
    // The pipeline keeps the instructions ahead as they are now, if one of
    // them lies in the `size` bytes at `host`.
    void hold_pipeline(const uint8_t *host, unsigned size);
    // The two instructions after the one executing as fetched by now: those
    // the pipeline holds, the others from memory (bit i of `from_memory`
    // set for those); fewer where code would come through the bus.
    Pipeline fetched_ahead(unsigned &from_memory) const;
    // Instructions held in the pipeline whose bytes lie in [host, host + size)
    // become what memory holds now (a debugger's write takes effect at once).
    void refetch_pipeline(const uint8_t *host, uint32_t size);
    // Marks the page of `address` as holding code: an instruction there is
    // in the pipeline without having been decoded into the cache.
    void mark_fetched(uint32_t address);
    void empty_pipeline()
    {
        pipeline.count = 0;
        update_attention();
    }
    // Reports a refused data access of the current instruction.
    void refuse(uint32_t address, unsigned size, AccessKind kind, AbortCause cause);
    // A misaligned data access: false when the memory system aborts it (reported).
    bool misaligned_allowed(uint32_t address, unsigned size, bool write)
    {
        if (!bus->aborts_misaligned())
            return true;
        refuse(address, size, write ? AccessKind::Write : AccessKind::Read, AbortCause::Misaligned);
        return false;
    }
    // Charge the cycle of a transfer that the core makes no more (after an
    // abort in LDM/STM): one cycle, no memory reached.
    void dead_transfer() { cycles += 1; }

    // ---- exceptions ----
    void take(Exception e, uint32_t return_link);
    // Entry timing of an exception taken between instructions (2S+1N).
    void take_between(Exception e, uint32_t return_link)
    {
        fetch_s();
        take(e, return_link);
    }
    void data_abort() { take(Exception::DataAbort, r[15] + 8); }
    void undefined();
};

// Decoding: the handler for an encoding.
Handler decode_arm(uint32_t raw);
Handler decode_thumb(uint32_t raw);
// The same into `d` (all but `aux`): the handler, and for the common forms
// one that takes its operands from the fields, filled here.
void decode_arm_into(Decoded &d, uint32_t raw);
void decode_thumb_into(Decoded &d, uint32_t raw);
// The common ARM forms (data processing, single transfers, branches)
// without pc among their registers: true when `d` is one, given its
// handler and fields.
bool predecode_arm(Decoded &d);
// `d` by the general handler of its encoding (for a common form that
// leaves the rare cases to it).
void execute_general_arm(Cpu &c, Decoded &d);
void execute_general_thumb(Cpu &c, Decoded &d);
// Stubs filling not-yet-decoded entries: decode, store, run.
void decode_arm_stub(Cpu &c, Decoded &d);
void decode_thumb_stub(Cpu &c, Decoded &d);
// An entry not decoded yet: its stub, put in place before it runs.
inline bool undecoded(const Decoded &d, bool thumb)
{
    return !d.fn || d.fn == (thumb ? decode_thumb_stub : decode_arm_stub);
}
inline Decoded &stub_of(Decoded &d, bool thumb)
{
    if (!d.fn) d = thumb ? Decoded{decode_thumb_stub, 0, 0} : Decoded{decode_arm_stub, kUndecoded, 0};
    return d;
}
// Plain execution in the current window and state, a straight run at a
// time, while cycles < run_until (straight_runs.cpp).
void run_arm(Cpu &c);
void run_thumb(Cpu &c);


inline uint32_t rotr(uint32_t v, unsigned n)
{
    n &= 31;
    return n ? (v >> n) | (v << (32 - n)) : v;
}

// The ARM7TDMI's multiplier cycles for an operand (m in the table above).
inline uint32_t multiplier_cycles(uint32_t rs, bool signed_ok)
{
    auto top_clear = [&](unsigned shift) {
        uint32_t t = rs >> shift;
        return t == 0 || (signed_ok && t == (0xFFFFFFFFu >> shift));
    };
    if (top_clear(8)) return 1;
    if (top_clear(16)) return 2;
    if (top_clear(24)) return 3;
    return 4;
}

}  // namespace sim::core
