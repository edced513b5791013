// The core's public face: the run loop, the instruction boundary (interrupts,
// stops, tools), memory regions, and the register view of a debugger.
#include "sim/core/arm7tdmi.h"

#include "board/state.h"
#include "sim/core/core_state.h"
#include "sim/core/cpu.h"
#include "sim/core/delay_loop.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {

using core::Cpu;
using core::Decoded;

struct Arm7tdmi::State {
    Cpu cpu;
    board::State declared{"core"};
    // All zero: no address in any region (debug-speed instructions reach
    // only the debug bus). Made on first use.
    core::ZeroedArray<uint8_t> no_regions;
};

namespace core {

namespace {

// One instruction from its encoding, decoded for this run only.
void execute_encoding(Cpu &c, uint32_t raw)
{
    const bool thumb = c.thumb();
    Decoded d{nullptr, raw, kNotALoop};
    if (thumb)
        decode_thumb_into(d, raw);
    else
        decode_arm_into(d, raw);
    uint32_t cond = raw >> 28;
    if (!thumb && cond != 0xE && !c.cond(cond)) {
        c.fetch_s();
        c.r[15] += 4;
    } else {
        d.fn(c, d);
    }
    ++c.instructions;
}

// Code outside every region: fetched through the bus, decoded each time.
void execute_from_bus(Cpu &c)
{
    const uint32_t pc = c.r[15];
    const bool thumb = c.thumb();
    const unsigned size = thumb ? 2 : 4;
    uint32_t raw = 0;
    unsigned wait = 0;
    if (!c.bus->read(pc, size, c.cycles, raw, wait)) {
        AbortInfo info;
        info.pc = pc;
        info.address = pc;
        info.size = static_cast<uint8_t>(size);
        info.kind = AccessKind::Fetch;
        c.bus->aborted(info);
        bool defer = c.defer_exceptions;
        c.defer_exceptions = false;
        c.take_between(Exception::PrefetchAbort, pc + 4);
        c.defer_exceptions = defer;
        c.prefetch_aborted = true;
        return;
    }
    execute_encoding(c, raw);
}

// One instruction at r[15], through the decoded-code cache.
[[gnu::always_inline]] inline void execute_one(Cpu &c)
{
    const uint32_t pc = c.r[15];
    uint32_t offset = pc - c.code_base;
    if (offset >= c.code_size) [[unlikely]] {
        if (!c.enter_code_region(pc)) {
            execute_from_bus(c);
            return;
        }
        offset = pc - c.code_base;
    }
    if (c.thumb()) {
        Decoded &d = stub_of(c.code_thumb[offset >> 1], true);
        d.fn(c, d);
    } else {
        Decoded &d = stub_of(c.code_arm[offset >> 2], false);
        uint32_t cond = d.raw >> 28;
        if (cond != 0xE && !c.cond(cond)) {
            c.fetch_s();
            c.r[15] = pc + 4;
        } else {
            d.fn(c, d);
        }
    }
    ++c.instructions;
}

// A code window no region has (regions are aligned): every pipeline refill
// (a branch, an exception entry) replaces it through enter_code_region().
constexpr uint32_t kRefillWatch = 3;

// The next instruction as the pipeline holds it, fetched before a store
// rewrote its bytes. If it refills the pipeline, the instruction after it
// is fetched anew.
void execute_held(Cpu &c)
{
    Cpu::Pipeline &p = c.pipeline;
    const unsigned step = p.thumb ? 2 : 4;
    if (c.r[15] != p.address || c.thumb() != p.thumb) {
        c.empty_pipeline();
        execute_one(c);
        return;
    }
    const uint32_t raw = p.raw[0];
    p.raw[0] = p.raw[1];
    p.address += step;
    --p.count;
    // It fetches the instruction two ahead while it runs: a store of its
    // own there must be seen.
    c.mark_fetched(c.r[15] + 2 * step);
    c.enter_code_region(c.r[15]);   // the costs of its fetches
    c.code_base = kRefillWatch;
    c.code_size = 0;
    execute_encoding(c, raw);
    if (c.code_base == kRefillWatch)
        c.code_base = 1;   // no refill: the window is looked up again at the next fetch
    else
        p.count = 0;
    c.update_attention();
}

inline void execute_next(Cpu &c)
{
    if (c.pipeline.count) [[unlikely]]
        execute_held(c);
    else
        execute_one(c);
}

// Plain execution: the code window and the state stay as they are (a
// change sets code_moved, which ends it), so they are looked up once a run
// of straight-line code.
void run_plain(Cpu &c)
{
    if (c.code_size == 0) return;   // not looked up yet
    if (c.thumb())
        run_thumb(c);
    else
        run_arm(c);
}

// FIQ before IRQ; LR is the next instruction's address + 4 in both states.
void take_interrupt(Cpu &c)
{
    Exception e = c.fiq_line && !(c.control & kCpsrF) ? Exception::Fiq : Exception::Irq;
    c.take_between(e, c.r[15] + 4);
}

uint32_t encoding_at(const Cpu &c, uint32_t pc, bool thumb)
{
    const Region *g = c.region_of(pc);
    if (!g) return 0;
    uint32_t v = 0;
    std::memcpy(&v, g->host + (pc & g->mask), thumb ? 2 : 4);
    return v;
}

// One instruction with the observer told about it (and its exception
// entered only after that).
void execute_observed(Cpu &c)
{
    const uint32_t pc = c.r[15];
    const bool thumb = c.thumb();
    const uint64_t start = c.cycles;
    const Cpu::Pipeline &held = c.pipeline;
    const uint32_t encoding =
        held.count && held.address == pc && held.thumb == thumb ? held.raw[0] : encoding_at(c, pc, thumb);
    bool passed = true;
    if (!thumb && (encoding >> 28) != 0xE) passed = c.cond(encoding >> 28);
    if (thumb && (encoding & 0xF000) == 0xD000 && ((encoding >> 8) & 15) < 0xE) passed = c.cond((encoding >> 8) & 15);
    c.defer_exceptions = c.observer != nullptr;
    c.prefetch_aborted = false;
    execute_next(c);
    c.defer_exceptions = false;
    if (c.prefetch_aborted) return;
    if (c.observer) {
        uint32_t next = c.deferred >= 0 ? vector_of(static_cast<Exception>(c.deferred)) : c.r[15];
        // A closing branch that skipped iterations: its own cycles, then the skip.
        uint64_t own = c.cycles - start - c.repeat_cycles;
        c.observer->executed(pc, thumb, encoding, passed, static_cast<uint32_t>(own), next);
        if (c.repeat_loop) tell_repeated(c);
    }
    if (c.deferred >= 0) {
        Exception e = static_cast<Exception>(c.deferred);
        c.deferred = -1;
        c.take(e, c.deferred_link);
    }
}

// The instruction at pc as its fetch put it on the data bus (the aligned word).
bool ice_breakpoint(Cpu &c)
{
    const uint32_t pc = c.r[15];
    uint32_t word = 0;
    if (const Region *g = c.region_of(pc)) std::memcpy(&word, g->host + ((pc & ~3u) & g->mask), 4);
    return c.debug_watch->fetched(pc, word, c.thumb(), c.mode() != static_cast<uint32_t>(Mode::User));
}

void update_tools(Cpu &c)
{
    c.tools = c.observer || !c.breakpoints.empty() || !c.watches.empty() || c.debug_watch;
    c.access_hooks = c.observer || !c.watches.empty() || c.debug_watch;
    c.set_plain_pages();
    c.update_attention();
}

}  // namespace

}  // namespace core

Arm7tdmi::Arm7tdmi(CoreBus &bus) : s_(std::make_unique<State>())
{
    Cpu &c = s_->cpu;
    c.bus = &bus;
    c.set_plain_pages();
    core::declare_state(c, s_->declared);
    reset();
}

Arm7tdmi::~Arm7tdmi() = default;

void Arm7tdmi::set_regions(const std::vector<MemoryRegion> &regions)
{
    Cpu &c = s_->cpu;
    // A data access of the instruction executing changes what memory shows
    // (a flash command makes the flash unreadable, a remap swaps the memory
    // at 0): the two instructions after it were fetched before its data
    // cycle, and run as fetched if their bytes are no longer where they were.
    unsigned from_memory = 0;
    core::Cpu::Pipeline ahead;
    const uint8_t *was[2] = {};
    if (c.in_bus_access) {
        ahead = c.fetched_ahead(from_memory);
        for (unsigned i = 0; i < ahead.count; ++i)
            if ((from_memory >> i) & 1u) was[i] = c.host_at(ahead.address + i * (ahead.thumb ? 2 : 4));
    }
    std::vector<std::unique_ptr<core::CodeCache>> old = std::move(c.caches);
    c.caches.clear();
    // Only the old regions' pages were written (the table is mostly pages
    // the process has never touched, and stays so).
    for (const core::Region &g : c.regions)
        std::memset(c.page_region.data() + (g.base >> 12), 0, (g.mask >> 12) + 1);
    c.regions.clear();
    c.memory_cycle_max = 1;
    // Largest first, so that a smaller view of the same host memory shares
    // the larger one's decoded code.
    std::vector<MemoryRegion> sorted = regions;
    std::stable_sort(sorted.begin(), sorted.end(), [](const MemoryRegion &a, const MemoryRegion &b) { return a.size > b.size; });
    for (const MemoryRegion &m : sorted) {
        if (m.size < 4 || (m.size & (m.size - 1)) || (m.base & (m.size - 1)) || !m.host) {
            char what[160];
            std::snprintf(what, sizeof what,
                          "memory region at 0x%08x of 0x%x bytes: needs host memory, a power-of-two size of at least "
                          "4 and a base aligned to it",
                          m.base, m.size);
            throw std::invalid_argument(what);
        }
        if (c.regions.size() >= 254) throw std::invalid_argument("more than 254 memory regions");
        core::Region g;
        g.base = m.base;
        g.mask = m.size - 1;
        g.host = m.host;
        g.writable = m.writable;
        g.read_buffer = m.read_buffer && (m.wait_n || m.wait_s);
        // The buffers tell a word's halves apart by their host addresses.
        if (g.read_buffer && (reinterpret_cast<uintptr_t>(m.host) & 3))
            throw std::invalid_argument("memory region with read buffers: host memory not aligned to 4 bytes");
        g.wait_n = m.wait_n;
        c.memory_cycle_max = std::max<uint32_t>(c.memory_cycle_max, 1u + std::max(m.wait_n, m.wait_s));
        g.wait_s = m.wait_s;
        for (auto &cc : c.caches) {
            if (m.host >= cc->host && m.host + m.size <= cc->host + cc->size) {
                g.cache = cc.get();
                g.cache_offset = static_cast<uint32_t>(m.host - cc->host);
            }
        }
        if (!g.cache) {
            // Keep what was decoded from this very memory before.
            std::unique_ptr<core::CodeCache> cc;
            for (auto &o : old)
                if (o && o->host == m.host && o->size == m.size) cc = std::move(o);
            if (!cc) {
                cc = std::make_unique<core::CodeCache>();
                cc->host = m.host;
                cc->size = m.size;
                cc->page_has_code.assign((m.size + (1u << core::CodeCache::kPageShift) - 1) >> core::CodeCache::kPageShift, 0);
            }
            g.cache = cc.get();
            c.caches.push_back(std::move(cc));
        }
        g.code_pages = g.cache->page_has_code.data();
        c.regions.push_back(g);
        uint8_t index = static_cast<uint8_t>(c.regions.size());
        uint32_t first = m.base >> 12, last = (m.base + (m.size - 1)) >> 12;
        for (uint32_t p = first; p <= last; ++p) c.page_region[p] = m.size >= 4096 && !c.page_region[p] ? index : 0xFF;
    }
    c.region_table = c.regions.data();
    // Host code knows the regions as they were when it was made.
    for (auto &cc : c.caches) cc->forget_all_runs();
    // (An instruction held in the pipeline may be the one changing them.)
    c.code_base = c.code_base == core::kRefillWatch ? core::kRefillWatch : 1;
    c.code_size = 0;
    c.moved_code();
    c.clear_read_buffers();
    ++c.code_generation;
    for (unsigned i = 0; i < ahead.count; ++i) {
        if (((from_memory >> i) & 1u) && c.host_at(ahead.address + i * (ahead.thumb ? 2 : 4)) != was[i]) {
            c.pipeline = ahead;
            c.update_attention();
            break;
        }
    }
}

void Arm7tdmi::invalidate_code(uint32_t address, uint32_t length)
{
    Cpu &c = s_->cpu;
    if (length == 0) return;
    uint64_t end = uint64_t{address} + length;
    for (const core::Region &g : c.regions) {
        uint64_t lo = std::max<uint64_t>(address, g.base), hi = std::min<uint64_t>(end, uint64_t{g.base} + g.mask + 1);
        if (lo < hi) invalidate_host(g.host + (lo - g.base), static_cast<uint32_t>(hi - lo));
    }
}

void Arm7tdmi::invalidate_host(const uint8_t *host, uint32_t length)
{
    Cpu &c = s_->cpu;
    if (length == 0) return;
    const uint8_t *end = host + length;
    bool forgot = false;
    for (auto &cc : c.caches) {
        const uint8_t *lo = std::max<const uint8_t *>(host, cc->host), *hi = std::min<const uint8_t *>(end, cc->host + cc->size);
        if (lo >= hi) continue;
        uint32_t first = static_cast<uint32_t>(lo - cc->host), last = static_cast<uint32_t>(hi - 1 - cc->host);
        forgot = cc->invalidate_pages(first >> core::CodeCache::kPageShift, last >> core::CodeCache::kPageShift) || forgot;
        // Not pipeline-relative: even an instruction already fetched runs as written.
        if (c.pipeline.count) {
            c.refetch_pipeline(lo, static_cast<uint32_t>(hi - lo));
            forgot = true;
        }
    }
    // Loops analysed from code that did not change stay as they are.
    if (forgot) ++c.code_generation;
}

void Arm7tdmi::reset()
{
    s_->declared.reset();
    s_->cpu.code_moved = true;
    s_->cpu.update_attention();
}

board::State &Arm7tdmi::state() { return s_->declared; }

uint32_t Arm7tdmi::reg(int n) const
{
    const Cpu &c = s_->cpu;
    if (n == kCpsr) return c.cpsr();
    return n >= 0 && n < 16 ? c.r[n] : 0;
}

void Arm7tdmi::set_reg(int n, uint32_t value)
{
    Cpu &c = s_->cpu;
    if (n == kCpsr)
        set_cpsr(value);
    else if (n == 15) {
        c.r[15] = value & (c.thumb() ? ~1u : ~3u);
        c.empty_pipeline();   // execution goes on from there, fetched anew
    } else if (n >= 0 && n < 15)
        c.r[n] = value;
}

uint32_t Arm7tdmi::cpsr() const { return s_->cpu.cpsr(); }
void Arm7tdmi::set_cpsr(uint32_t value)
{
    Cpu &c = s_->cpu;
    if ((value ^ c.control) & kCpsrT) c.pipeline.count = 0;   // the other state's instructions, fetched anew
    c.write_cpsr(value);
}
uint32_t Arm7tdmi::spsr() const { return s_->cpu.spsr(); }
void Arm7tdmi::set_spsr(uint32_t value) { s_->cpu.set_spsr(value); }

uint32_t Arm7tdmi::banked(Mode mode, int n) const
{
    const Cpu &c = s_->cpu;
    if (n < 0 || n > 15) return 0;
    int want = core::bank_of(static_cast<uint32_t>(mode)), cur = core::bank_of(c.mode());
    if (want < 0 || n < 8 || n == 15) return c.r[n];
    if (n <= 12) {
        bool want_fiq = want == core::kBankFiq, cur_fiq = cur == core::kBankFiq;
        if (want_fiq == cur_fiq) return c.r[n];
        return want_fiq ? c.fiq_r8_12[n - 8] : c.user_r8_12[n - 8];
    }
    if (want == cur) return c.r[n];
    return n == 13 ? c.bank_r13[want] : c.bank_r14[want];
}

Registers Arm7tdmi::registers() const
{
    const Cpu &c = s_->cpu;
    Registers regs;
    std::memcpy(regs.r, c.r, sizeof regs.r);
    regs.cpsr = c.cpsr();
    regs.spsr = c.spsr();
    return regs;
}

void Arm7tdmi::set_interrupt_lines(bool irq, bool fiq)
{
    Cpu &c = s_->cpu;
    c.irq_line = irq;
    c.fiq_line = fiq;
    c.update_attention();
}

void Arm7tdmi::enter(Exception e, uint32_t return_link) { s_->cpu.take_between(e, return_link); }

Arm7tdmi::Stop Arm7tdmi::run(uint64_t cycle_limit)
{
    Cpu &c = s_->cpu;
    c.limit = cycle_limit;
    c.update_attention();
    bool first = true;
    for (;;) {
        if (c.code_moved) [[unlikely]] {
            c.code_moved = false;
            c.update_attention();
        }
        if (c.cycles < c.run_until) {
            const uint64_t before = c.instructions;
            core::run_plain(c);
            if (c.instructions != before) first = false;
            if (c.code_moved) continue;
        }
        if (c.attention) [[unlikely]] {
            if (c.stop_requested) {
                c.stop_requested = false;
                c.update_attention();
                return Stop::Requested;
            }
            if (c.cycles >= cycle_limit) return Stop::Limit;
            if (c.interrupt_due()) {
                core::take_interrupt(c);
                first = false;
                continue;
            }
            if (c.tools) {
                if (!first && std::find(c.breakpoints.begin(), c.breakpoints.end(), c.r[15]) != c.breakpoints.end())
                    return Stop::Breakpoint;
                if (c.debug_watch && core::ice_breakpoint(c)) return Stop::DebugBreakpoint;
                first = false;
                core::execute_observed(c);
                if (c.watch_hit_pending) {
                    c.watch_hit_pending = false;
                    c.debug_hit_pending = false;
                    return Stop::Watchpoint;
                }
                if (c.debug_hit_pending) {
                    c.debug_hit_pending = false;
                    return Stop::DebugWatchpoint;
                }
                continue;
            }
            if (c.pipeline.count) {
                core::execute_held(c);
                first = false;
                continue;
            }
        }
        if (c.cycles >= cycle_limit) return Stop::Limit;
        core::execute_one(c);
        first = false;
    }
}

void Arm7tdmi::step()
{
    Cpu &c = s_->cpu;
    c.stepping = true;
    c.run_until = 0;   // nothing runs on into the next instruction (see pairs.h)
    if (c.interrupt_due())
        core::take_interrupt(c);
    else if (c.tools)
        core::execute_observed(c);
    else
        core::execute_next(c);
    c.watch_hit_pending = false;
    c.debug_hit_pending = false;
    c.stepping = false;
}

void Arm7tdmi::request_stop()
{
    Cpu &c = s_->cpu;
    c.stop_requested = true;
    c.update_attention();
}

uint64_t Arm7tdmi::cycles() const { return s_->cpu.cycles; }
uint64_t Arm7tdmi::instructions() const { return s_->cpu.instructions; }
void Arm7tdmi::add_cycles(uint64_t n) { s_->cpu.cycles += n; }

void Arm7tdmi::set_breakpoints(const std::vector<uint32_t> &addresses)
{
    s_->cpu.breakpoints = addresses;
    core::update_tools(s_->cpu);
}

void Arm7tdmi::set_watchpoints(const std::vector<Watch> &watches)
{
    s_->cpu.watches = watches;
    core::update_tools(s_->cpu);
}

Arm7tdmi::WatchHit Arm7tdmi::last_watch_hit() const { return s_->cpu.watch_hit; }

void Arm7tdmi::set_observer(ExecutionObserver *observer)
{
    s_->cpu.observer = observer;
    core::update_tools(s_->cpu);
}

void Arm7tdmi::set_debug_watch(DebugWatch *watch)
{
    s_->cpu.debug_watch = watch;
    core::update_tools(s_->cpu);
}

bool Arm7tdmi::execute_debug(uint32_t encoding, uint32_t address, CoreBus *debug_bus)
{
    Cpu &c = s_->cpu;
    c.pipeline.count = 0;
    c.r[15] = address & (c.thumb() ? ~1u : ~3u);
    const bool hooks = c.access_hooks;
    c.access_hooks = false;
    CoreBus *bus = c.bus;
    const uint64_t cycles = c.cycles, instructions = c.instructions;
    if (debug_bus) {
        if (s_->no_regions.empty()) s_->no_regions.allocate(c.page_region.size());
        std::swap(c.page_region, s_->no_regions);
        c.bus = debug_bus;
    }
    c.set_plain_pages();
    // A refill looks the code window up again, replacing this one.
    c.code_base = core::kRefillWatch;
    c.code_size = 0;
    core::execute_encoding(c, encoding);
    const bool refilled = c.code_base != core::kRefillWatch;
    if (debug_bus) {
        std::swap(c.page_region, s_->no_regions);
        c.bus = bus;
        c.cycles = cycles;
        c.instructions = instructions;
    }
    c.access_hooks = hooks;
    c.set_plain_pages();
    c.code_base = 1;
    c.code_size = 0;
    c.code_moved = true;
    c.debug_hit_pending = c.watch_hit_pending = false;
    c.update_attention();
    return refilled;
}

void Arm7tdmi::set_fast_forward(bool on) { s_->cpu.fast_forward = on; }

void Arm7tdmi::set_host_code(bool on, unsigned after_starts)
{
    Cpu &c = s_->cpu;
    c.host_code = on;
    c.host_code_after = static_cast<uint8_t>(std::clamp(after_starts, 1u, 255u));
}

uint64_t Arm7tdmi::exceptions_taken(Exception e) const { return s_->cpu.exceptions[static_cast<int>(e)]; }

DebugChannel &Arm7tdmi::debug_channel() { return s_->cpu.debug_channel; }

}  // namespace sim
