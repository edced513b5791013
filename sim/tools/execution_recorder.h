// What coverage and profiles are made of: for every halfword of code memory,
// how often an instruction there ran, how often its condition failed and the
// cycles it took, plus the calls the core made (CallTracker). It is the core's
// ExecutionObserver; per instruction it does a table lookup and a few
// increments, and looks at calls only when execution jumps. Addresses become
// source lines only when a report is written.
//
// Memory is described in granules of 1 MiB: each holds one memory (repeated
// through the granule, as the chip decodes it) or an alias of one (the boot
// memory at 0), so an instruction run through an alias counts for the code it is.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "sim/core/arm7tdmi.h"
#include "sim/tools/call_tracker.h"

namespace simtools {

class ExecutionRecorder final : public sim::ExecutionObserver {
public:
    // Per halfword: 16 bytes, so that a loop's counters share few cache lines.
    struct Counter {
        uint64_t hits = 0;      // times run, condition passed or not
        uint64_t cycles = 0;
    };
    struct Count {
        uint64_t hits = 0, cycles = 0;
        uint64_t failed = 0;    // condition failed (a branch not taken)
    };
    struct Memory {
        uint32_t base = 0, size = 0;
        std::vector<Counter> counters;   // one per halfword
        std::vector<uint64_t> failed;    // one per halfword
        std::vector<uint8_t> entries;    // a function starts here
    };
    static constexpr unsigned kGranuleShift = 20;

    // `size` a power of two up to 1 MiB, `base` on a granule.
    void add_memory(uint32_t base, uint32_t size);
    // The granule at `base` shows the memory added at `target`.
    void add_alias(uint32_t base, uint32_t target);
    // The first instruction of a function: a jump there from another
    // function is a tail call.
    void mark_function_entry(uint32_t address);

    // The core's own cycle count, read when an exception is entered: the
    // cycles of the entry (which no instruction reports) are charged to the
    // handler's first instruction. Only its advance counts (a reset may set
    // it back).
    void set_cycle_source(std::function<uint64_t()> cycles)
    {
        core_cycles_ = std::move(cycles);
        core_base_ = core_cycles_() - cycles_;
    }

    void executed(uint32_t pc, bool thumb, uint32_t encoding, bool passed, uint32_t cycles, uint32_t next_pc) override
    {
        if (pc != expected_) cycles = unexpected(pc, cycles);
        const Granule &g = granules_[pc >> kGranuleShift];
        if (g.counters) {
            uint32_t i = (pc & g.mask) >> 1;
            ++g.counters[i].hits;
            g.counters[i].cycles += cycles;
            if (!passed) ++g.failed[i];
        }
        cycles_ += cycles;
        ++instructions_;
        expected_ = next_pc;
        if (next_pc != pc + (thumb ? 2u : 4u)) transfer(pc, thumb, encoding, passed, next_pc);
        previous_encoding_ = encoding;
    }
    void exception(sim::Exception e, uint32_t return_link, uint32_t old_cpsr) override;
    void repeated(uint32_t first, uint32_t last, bool thumb, uint64_t iterations, uint64_t cycles) override;
    void accessed(uint32_t, uint32_t, unsigned, bool, uint32_t) override {}

    // What ran at `address` (zero outside every memory).
    Count count(uint32_t address) const;
    uint32_t canonical(uint32_t address) const;
    const std::vector<Memory> &memories() const { return memories_; }
    uint64_t cycles() const { return cycles_; }
    uint64_t instructions() const { return instructions_; }
    // Calls so far, frames still open included (their cost up to now).
    const CallTracker &calls();

private:
    struct Granule {
        Counter *counters = nullptr;
        uint64_t *failed = nullptr;
        uint8_t *entries = nullptr;
        uint32_t mask = 0;
        uint32_t base = 0;
    };
    uint32_t unexpected(uint32_t pc, uint32_t cycles);
    void moved(uint32_t pc);
    void transfer(uint32_t pc, bool thumb, uint32_t encoding, bool passed, uint32_t next_pc);
    bool is_entry(uint32_t address) const;
    Counter *counter_at(uint32_t address);
    void rebuild_granules();

    std::vector<Memory> memories_;
    std::vector<std::pair<uint32_t, uint32_t>> aliases_;
    std::vector<Granule> granules_ = std::vector<Granule>(size_t{1} << (32 - kGranuleShift));
    uint64_t cycles_ = 0, instructions_ = 0;
    uint32_t expected_ = CallTracker::kNoAddress;
    uint32_t previous_encoding_ = 0;   // of the instruction that led here
    CallTracker calls_;
    bool tracker_ready_ = false;
    std::function<uint64_t()> core_cycles_;
    uint64_t core_base_ = 0;        // the core's count when ours was 0
    uint64_t loop_charged_ = 0;     // by the straight stretches of a loop told so far
    uint32_t loop_head_ = 0;
    // A loop just fast-forwarded: its head, its closing branch and the
    // cycles of the skipped iterations.
    bool skipped_ = false;
    uint32_t skipped_head_ = 0, skipped_branch_ = 0;
    uint64_t skipped_cycles_ = 0;
};

}  // namespace simtools
