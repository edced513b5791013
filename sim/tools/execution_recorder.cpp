#include "sim/tools/execution_recorder.h"

#include <algorithm>

namespace simtools {

namespace {

constexpr uint32_t kArmMovLrPc = 0x01A0E00F;   // condition field left out
constexpr uint32_t kThumbMovLrPc = 0x46FE;

bool arm_bl(uint32_t e) { return (e & 0x0F000000) == 0x0B000000; }
bool thumb_bl_suffix(uint32_t e) { return (e & 0xF800) == 0xF800; }
bool thumb_bl_pair(uint32_t e)
{
    return ((e >> 16 & 0xF800) == 0xF000 && thumb_bl_suffix(e & 0xFFFF)) ||
           ((e & 0xF800) == 0xF000 && thumb_bl_suffix(e >> 16));
}

}  // namespace

void ExecutionRecorder::add_memory(uint32_t base, uint32_t size)
{
    Memory m;
    m.base = base;
    m.size = size;
    m.counters.resize(size / 2);
    m.failed.resize(size / 2);
    m.entries.resize(size / 2);
    memories_.push_back(std::move(m));
    rebuild_granules();
}

void ExecutionRecorder::add_alias(uint32_t base, uint32_t target)
{
    aliases_.emplace_back(base, target);
    rebuild_granules();
}

void ExecutionRecorder::rebuild_granules()
{
    auto fill = [&](uint32_t at, Memory &m) {
        Granule &g = granules_[at >> kGranuleShift];
        g = {m.counters.data(), m.failed.data(), m.entries.data(), m.size - 1, m.base};
    };
    for (Memory &m : memories_) fill(m.base, m);
    for (auto [at, target] : aliases_)
        for (Memory &m : memories_)
            if (m.base == target) fill(at, m);
}

void ExecutionRecorder::mark_function_entry(uint32_t address)
{
    const Granule &g = granules_[address >> kGranuleShift];
    if (g.entries) g.entries[(address & g.mask) >> 1] = 1;
}

bool ExecutionRecorder::is_entry(uint32_t address) const
{
    const Granule &g = granules_[address >> kGranuleShift];
    return g.entries && g.entries[(address & g.mask) >> 1];
}

ExecutionRecorder::Count ExecutionRecorder::count(uint32_t address) const
{
    const Granule &g = granules_[address >> kGranuleShift];
    if (!g.counters) return {};
    uint32_t i = (address & g.mask) >> 1;
    return {g.counters[i].hits, g.counters[i].cycles, g.failed[i]};
}

ExecutionRecorder::Counter *ExecutionRecorder::counter_at(uint32_t address)
{
    const Granule &g = granules_[address >> kGranuleShift];
    return g.counters ? &g.counters[(address & g.mask) >> 1] : nullptr;
}

uint32_t ExecutionRecorder::canonical(uint32_t address) const
{
    const Granule &g = granules_[address >> kGranuleShift];
    return g.counters ? g.base + (address & g.mask) : address;
}

uint32_t ExecutionRecorder::unexpected(uint32_t pc, uint32_t cycles)
{
    if (skipped_) {
        skipped_ = false;
        // The core skips a loop's iterations while its closing branch runs
        // and may tell that branch after the skip, with the skipped cycles
        // in its own (modulo 2^32): they were told by repeated() already.
        if (pc == skipped_branch_) return cycles - static_cast<uint32_t>(skipped_cycles_);
        if (pc == skipped_head_) return cycles;
    }
    moved(pc);
    return cycles;
}

void ExecutionRecorder::moved(uint32_t pc)
{
    // The first instruction, or the core put somewhere else than where it
    // was going (a reset, a debugger writing pc): the calls start over.
    if (!tracker_ready_) {
        calls_.set_totals(&cycles_, &instructions_);
        tracker_ready_ = true;
    }
    calls_.start(canonical(pc));
}

void ExecutionRecorder::transfer(uint32_t pc, bool thumb, uint32_t encoding, bool passed, uint32_t next_pc)
{
    if (!passed) return;
    uint32_t return_address = 0;
    bool call = false;
    if (thumb) {
        if (encoding > 0xFFFF) {
            // A BL pair reported as one instruction.
            if (next_pc == pc + 4) return;
            call = thumb_bl_pair(encoding);
            return_address = pc + 4;
        } else if (thumb_bl_suffix(encoding)) {
            call = true;
            return_address = pc + 2;
        } else if (previous_encoding_ == kThumbMovLrPc) {
            call = true;
            return_address = pc + 2;
        }
    } else if (arm_bl(encoding) ||
               (previous_encoding_ & 0x0FFFFFFF) == kArmMovLrPc) {
        call = true;
        return_address = pc + 4;
    }
    uint32_t site = canonical(pc);
    if (call) {
        calls_.call(site, canonical(next_pc), return_address);
        return;
    }
    if (calls_.returned(next_pc)) return;
    if (is_entry(next_pc)) calls_.jumped_to_function(site, canonical(next_pc));
}

void ExecutionRecorder::exception(sim::Exception e, uint32_t link, uint32_t)
{
    uint32_t vector = sim::vector_of(e);
    // Where the handler goes back to: IRQ, FIQ and prefetch abort re-run the
    // interrupted instruction (link - 4); a data abort handler retries the
    // access (link - 8) or skips it (link - 4); SWI and undefined go on after.
    uint32_t resume = link, alt = CallTracker::kNoAddress;
    switch (e) {
    case sim::Exception::Irq:
    case sim::Exception::Fiq:
    case sim::Exception::PrefetchAbort: resume = link - 4; break;
    case sim::Exception::DataAbort:
        resume = link - 8;
        alt = link - 4;
        break;
    default: break;
    }
    if (!tracker_ready_) moved(vector);
    else calls_.exception(canonical(vector), resume, alt);
    expected_ = vector;
    previous_encoding_ = 0;   // the vector's branch is no call, whatever came before
    // After the context is stacked: the entry is the interrupt's cost.
    if (core_cycles_) {
        // Differences only, modulo 2^64: a count set back just moves the base.
        uint64_t now = core_cycles_();
        uint64_t seen = now - core_base_;
        if (seen > cycles_ && seen - cycles_ < (uint64_t{1} << 32)) {
            if (Counter *c = counter_at(vector)) c->cycles += seen - cycles_;
            cycles_ = seen;
        } else {
            core_base_ = now - cycles_;
        }
    }
}

void ExecutionRecorder::repeated(uint32_t first, uint32_t last, bool thumb, uint64_t iterations, uint64_t cycles)
{
    uint32_t step = thumb ? 2 : 4;
    // Each instruction is charged what it cost on average so far (a delay
    // loop's body costs about the same every time). A loop told in several
    // straight stretches carries its cycles on the last one: what the shares
    // leave over, or take beyond them, is settled on its closing branch.
    uint64_t count = 0;
    if (loop_charged_ == 0) loop_head_ = first;
    for (uint32_t a = first; a <= last; a += step) {
        if (Counter *c = counter_at(a)) {
            uint64_t share = c->hits ? c->cycles / c->hits * iterations : 0;
            c->hits += iterations;
            c->cycles += share;
            loop_charged_ += share;
        }
        ++count;
    }
    if (cycles) {
        if (Counter *c = counter_at(last)) {
            if (loop_charged_ <= cycles) c->cycles += cycles - loop_charged_;
            else c->cycles -= std::min(loop_charged_ - cycles, c->cycles);
        }
        loop_charged_ = 0;
        skipped_ = true;
        skipped_head_ = loop_head_;
        skipped_branch_ = last;
        skipped_cycles_ = cycles;
        // Next comes the closing branch or the loop's head, as the core tells it.
        expected_ = CallTracker::kNoAddress;
    }
    cycles_ += cycles;
    instructions_ += iterations * count;
}

const CallTracker &ExecutionRecorder::calls()
{
    calls_.settle();
    return calls_;
}

}  // namespace simtools
