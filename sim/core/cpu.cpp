// Modes and banks, exceptions, memory reached through the bus, and the
// decoded-code cache's bookkeeping.
#include "sim/core/cpu.h"

#include <algorithm>

namespace sim::core {

int bank_of(uint32_t mode)
{
    switch (static_cast<Mode>(mode)) {
    case Mode::User:
    case Mode::System: return kBankUser;
    case Mode::Fiq: return kBankFiq;
    case Mode::Irq: return kBankIrq;
    case Mode::Supervisor: return kBankSvc;
    case Mode::Abort: return kBankAbt;
    case Mode::Undefined: return kBankUnd;
    }
    return -1;
}

bool valid_mode(uint32_t mode) { return bank_of(mode) >= 0; }

void Cpu::write_cpsr(uint32_t value)
{
    uint32_t old_mode = mode(), new_mode = value & 0x1F;
    // A write of a mode the ARM7TDMI does not have keeps the current mode
    // (the part's behaviour there is undefined; this keeps the banks sound).
    if (!valid_mode(new_mode)) {
        value = (value & ~0x1Fu) | old_mode;
        new_mode = old_mode;
    }
    if (old_mode != new_mode) {
        int ob = bank_of(old_mode), nb = bank_of(new_mode);
        if (ob != nb) {
            bank_r13[ob] = r[13];
            bank_r14[ob] = r[14];
            if (ob == kBankFiq || nb == kBankFiq) {
                uint32_t *save = ob == kBankFiq ? fiq_r8_12 : user_r8_12;
                const uint32_t *load = nb == kBankFiq ? fiq_r8_12 : user_r8_12;
                for (int i = 0; i < 5; ++i) {
                    save[i] = r[8 + i];
                    r[8 + i] = load[i];
                }
            }
            r[13] = bank_r13[nb];
            r[14] = bank_r14[nb];
        }
    }
    if ((value ^ control) & kCpsrT) code_moved = true;
    load_cpsr(value);
    update_attention();
}

uint32_t Cpu::user_reg(int n) const
{
    int b = bank_of(mode());
    if (n >= 8 && n <= 12 && b == kBankFiq) return user_r8_12[n - 8];
    if ((n == 13 || n == 14) && b != kBankUser) return n == 13 ? bank_r13[kBankUser] : bank_r14[kBankUser];
    return r[n];
}

void Cpu::set_user_reg(int n, uint32_t v)
{
    int b = bank_of(mode());
    if (n >= 8 && n <= 12 && b == kBankFiq) user_r8_12[n - 8] = v;
    else if (n == 13 && b != kBankUser) bank_r13[kBankUser] = v;
    else if (n == 14 && b != kBankUser) bank_r14[kBankUser] = v;
    else r[n] = v;
}

const Region *Cpu::search_region(uint32_t address) const
{
    for (const Region &g : regions)
        if ((address & ~g.mask) == g.base) return &g;
    return nullptr;
}

bool Cpu::enter_code_region(uint32_t address)
{
    moved_code();
    // The read buffers' key is kept relative to the window (ReadBuffer).
    const uintptr_t key = buffer_key();
    const Region *g = region_of(address);
    if (!g) {
        code_base = 1;
        code_size = 0;
        code_buffered = false;
        set_buffer_key(key);
        return false;
    }
    CodeCache *cc = g->cache;
    cc->allocate_entries();
    code_base = g->base;
    code_size = g->mask + 1;
    code_host = g->host;
    code_cache = cc;
    code_cache_offset = g->cache_offset;
    code_arm = cc->arm.data() + g->cache_offset / 4;
    code_thumb = cc->thumb.data() + g->cache_offset / 2;
    runs_arm = cc->arm_runs.data() + g->cache_offset / 4;
    runs_thumb = cc->thumb_runs.data() + g->cache_offset / 2;
    code_s = 1 + g->wait_s;
    code_n = 1 + g->wait_n;
    code_buffered = g->read_buffer;
    code_key = reinterpret_cast<uintptr_t>(g->host) - g->base;
    code_wait = g->wait_n;
    set_buffer_key(key);
    return true;
}

bool CodeCache::invalidate_pages(uint32_t first_page, uint32_t last_page)
{
    bool forgot = false;
    auto forget = [&](uint32_t start, uint32_t end) {
        for (uint32_t a = start; a < end; a += 4) arm[a / 4] = Decoded{};
        for (uint32_t a = start; a < end; a += 2) thumb[a / 2] = Decoded{};
    };
    // Runs are found again, so their host code goes.
    auto forget_runs = [&](uint32_t start, uint32_t end) {
        std::fill(arm_runs.data() + start / 4, arm_runs.data() + end / 4, 0);
        std::fill(thumb_runs.data() + start / 2, thumb_runs.data() + end / 2, 0);
    };
    for (uint32_t p = first_page; p <= last_page && p < page_has_code.size(); ++p) {
        if (!page_has_code[p]) continue;
        page_has_code[p] = 0;
        forgot = true;
        if (arm.empty()) continue;
        uint32_t start = p << kPageShift, end = std::min(size, start + (1u << kPageShift));
        forget(start, end);
        forget_runs(start, end);
        // The last instructions of the page before fetch into this one
        // while they run; decoded again, they mark it again. Its straight
        // runs reach them and are found again too.
        if (p > 0 && p == first_page) {
            // A compare paired with the first of them goes too (pairs.h).
            forget(start - kFetchedAhead - 4, start);
            forget_runs(start - (1u << kPageShift), start);
            for (uint32_t a = start - (1u << kPageShift); a < start; a += 4) arm[a / 4].block = 0;
            for (uint32_t a = start - (1u << kPageShift); a < start; a += 2) thumb[a / 2].block = 0;
        }
    }
    return forgot;
}

void CodeCache::forget_runs_through(const Decoded &d, bool in_thumb)
{
    if (arm_runs.empty()) return;
    const size_t index = &d - (in_thumb ? thumb.data() : arm.data());
    const size_t per_granule = (1u << kPageShift) >> (in_thumb ? 1 : 2), first = index - index % per_granule;
    uintptr_t *runs = in_thumb ? thumb_runs.data() : arm_runs.data();
    std::fill(runs + first, runs + first + per_granule, 0);
}

void Cpu::code_written(CodeCache *cache, uint32_t page, const uint8_t *host, unsigned size)
{
    end_run();
    hold_pipeline(host, size);
    cache->invalidate_pages(page, page);
    ++code_generation;
}

namespace {

bool overlap(const uint8_t *a, size_t a_size, const uint8_t *b, size_t b_size)
{
    auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return x < y + b_size && y < x + a_size;
}

}  // namespace

Cpu::Pipeline Cpu::fetched_ahead(unsigned &from_memory) const
{
    const bool t = thumb();
    const unsigned step = t ? 2 : 4;
    Pipeline next;
    next.address = r[15] + step;
    next.thumb = t;
    from_memory = 0;
    for (; next.count < 2; ++next.count) {
        const uint32_t a = next.address + next.count * step;
        const uint32_t held = (a - pipeline.address) / step;
        if (pipeline.count && pipeline.thumb == t && (a - pipeline.address) % step == 0 && held < pipeline.count) {
            // Fetched before an earlier store changed it: stays as fetched.
            next.raw[next.count] = pipeline.raw[held];
            continue;
        }
        const uint8_t *p = host_at(a);
        if (!p) break;   // fetched from the bus, not from memory a store reaches
        std::memcpy(&next.raw[next.count], p, step);
        from_memory |= 1u << next.count;
    }
    return next;
}

void Cpu::hold_pipeline(const uint8_t *host, unsigned size)
{
    unsigned from_memory;
    Pipeline next = fetched_ahead(from_memory);
    const unsigned step = next.thumb ? 2 : 4;
    bool rewritten = false;
    for (unsigned i = 0; i < next.count; ++i)
        if ((from_memory >> i) & 1u)
            rewritten = rewritten || overlap(host_at(next.address + i * step), step, host, size);
    if (!rewritten) return;
    pipeline = next;
    update_attention();
}

void Cpu::refetch_pipeline(const uint8_t *host, uint32_t size)
{
    const unsigned step = pipeline.thumb ? 2 : 4;
    for (unsigned i = 0; i < pipeline.count; ++i) {
        const uint8_t *p = host_at(pipeline.address + i * step);
        if (p && overlap(p, step, host, size)) std::memcpy(&pipeline.raw[i], p, step);
    }
}

void Cpu::mark_fetched(uint32_t address)
{
    const Region *g = region_of(address);
    if (!g) return;
    uint32_t at = g->cache_offset + (address & g->mask);
    g->cache->page_has_code[at >> CodeCache::kPageShift] = 1;
}

void Cpu::set_plain_pages()
{
    // No region in any page: every access takes the long path. Never
    // written (zero pages of the process until read).
    static uint8_t no_pages[1u << 20];
    plain_pages = access_hooks ? no_pages : page_region.data();
}

// An access through the bus. Its wait states are the bus's, and the
// machine may add cycles while it lasts: the straight run it is in goes on
// only while it cost no more than the run loop allowed for a memory cycle.
// A peripheral that changes the course (an interrupt, a stop, other
// memories, an event due sooner) ends the run itself, through the
// attention or the code window; a refused access ends it with the abort.
bool Cpu::bus_read(uint32_t address, unsigned size, uint32_t &value)
{
    const uint64_t before = cycles;
    unsigned wait = 0;
    value = 0;
    in_bus_access = true;
    const bool ok = bus->read(address, size, cycles, value, wait);
    in_bus_access = false;
    if (!ok) {
        end_run();
        refuse(address, size, AccessKind::Read, AbortCause::Undefined);
        return false;
    }
    cycles += 1 + wait;
    if (cycles - before > memory_cycle_max) end_run();
    return true;
}

bool Cpu::bus_write(uint32_t address, unsigned size, uint32_t value)
{
    return (size == 4 && stored_at_port(address, value)) || bus_write_whole(address, size, value);
}

bool Cpu::bus_write_whole(uint32_t address, unsigned size, uint32_t value)
{
    const uint64_t before = cycles;
    unsigned wait = 0;
    in_bus_access = true;
    const bool ok = bus->write(address, size, cycles, value, wait);
    in_bus_access = false;
    if (!ok) {
        end_run();
        refuse(address, size, AccessKind::Write, AbortCause::Undefined);
        return false;
    }
    cycles += 1 + wait;
    if (cycles - before > memory_cycle_max) end_run();
    return true;
}

void Cpu::refuse(uint32_t address, unsigned size, AccessKind kind, AbortCause cause)
{
    // The refused cycle still takes its time on the bus.
    cycles += 1;
    aborted = true;
    AbortInfo info;
    info.pc = r[15];
    info.address = address;
    info.size = static_cast<uint8_t>(size);
    info.kind = kind;
    info.cause = cause;
    bus->aborted(info);
}

void Cpu::hook_access(uint32_t address, unsigned size, bool is_write, uint32_t value)
{
    if (observer) observer->accessed(r[15], address, size, is_write, value);
    if (debug_watch && debug_watch->accessed(address, size, is_write, value, mode() != static_cast<uint32_t>(Mode::User)))
        debug_hit_pending = true;
    if (watch_hit_pending) return;
    for (const Arm7tdmi::Watch &w : watches) {
        if (!(is_write ? w.write : w.read)) continue;
        if (address + size > w.address && address < w.address + w.length) {
            watch_hit = Arm7tdmi::WatchHit{r[15], address, size, is_write, value};
            watch_hit_pending = true;
            return;
        }
    }
}

void Cpu::take(Exception e, uint32_t return_link)
{
    if (defer_exceptions) {
        deferred = static_cast<int>(e);
        deferred_link = return_link;
        return;
    }
    // Every exception entry refills the pipeline.
    pipeline.count = 0;
    static constexpr uint32_t kModeOf[] = {
        static_cast<uint32_t>(Mode::Undefined), static_cast<uint32_t>(Mode::Supervisor),
        static_cast<uint32_t>(Mode::Abort),     static_cast<uint32_t>(Mode::Abort),
        static_cast<uint32_t>(Mode::Irq),       static_cast<uint32_t>(Mode::Fiq)};
    uint32_t old = cpsr();
    uint32_t mode = kModeOf[static_cast<int>(e)];
    uint32_t value = (old & ~(0x1Fu | kCpsrT)) | mode | kCpsrI;
    if (e == Exception::Fiq) value |= kCpsrF;
    write_cpsr(value);
    bank_spsr[bank_of(mode)] = old;
    r[14] = return_link;
    ++exceptions[static_cast<int>(e)];
    ++exceptions_total;
    branch(vector_of(e));
    moved_code();   // even into the same window: the straight run ends here
    if (observer) observer->exception(e, return_link, old);
}

void Cpu::undefined()
{
    // Told while the registers are still those of the instruction.
    bus->undefined(r[15], cpsr());
    fetch_s();
    idle();
    take(Exception::Undefined, r[15] + (thumb() ? 2 : 4));
}

}  // namespace sim::core
