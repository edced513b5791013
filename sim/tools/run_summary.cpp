#include "sim/tools/run_summary.h"

#include <cinttypes>
#include <cstdio>

#include "sim/tools/trace.h"

namespace simtools {

void RunSummary::exception(uint32_t new_cpsr) { ++exceptions_[new_cpsr & 0x1F]; }

void RunSummary::set_stack_region(uint32_t low, uint32_t high)
{
    region_low_ = low;
    region_high_ = high;
}

void RunSummary::restart_stack(uint32_t mode) { stacks_.erase(mode & 0x1F); }

void RunSummary::stack_pointer(uint32_t cpsr, uint32_t sp)
{
    if (sp < region_low_ || sp > region_high_) return;
    auto [it, fresh] = stacks_.try_emplace(cpsr & 0x1F, Range{sp, sp});
    if (fresh) return;
    if (sp > it->second.high) it->second.high = sp;
    if (sp < it->second.low) it->second.low = sp;
}

void RunSummary::set_irq_latency(uint64_t min_cycles, uint64_t max_cycles)
{
    min_latency_ = min_cycles;
    max_latency_ = max_cycles;
}

uint64_t RunSummary::exceptions_into(uint32_t mode) const
{
    auto it = exceptions_.find(mode & 0x1F);
    return it == exceptions_.end() ? 0 : it->second;
}

uint32_t RunSummary::stack_depth(uint32_t mode) const
{
    auto it = stacks_.find(mode & 0x1F);
    return it == stacks_.end() ? 0 : it->second.high - it->second.low;
}

void RunSummary::write(std::ostream &out, uint64_t instructions, uint64_t cycles, board::Picos time) const
{
    char buf[200];
    out << "summary\n";
    std::snprintf(buf, sizeof buf, "  instructions  %" PRIu64 "\n  cycles        %" PRIu64 "\n  virtual time  %s s\n",
                  instructions, cycles, format_time(time).c_str());
    out << buf;
    std::snprintf(buf, sizeof buf, "  interrupts    %" PRIu64 " IRQ, %" PRIu64 " FIQ", exceptions_into(0x12),
                  exceptions_into(0x11));
    out << buf;
    if (max_latency_ > 0) {
        std::snprintf(buf, sizeof buf, " (IRQ latency %" PRIu64 "..%" PRIu64 " cycles)", min_latency_, max_latency_);
        out << buf;
    }
    out << "\n";
    uint64_t other = exceptions_into(0x17) + exceptions_into(0x1B);
    if (other) out << "  aborts and undefined instructions  " << other << "\n";
    out << "  stacks (highest sp .. lowest sp, bytes used)\n";
    for (const auto &[mode, r] : stacks_) {
        std::snprintf(buf, sizeof buf, "    %s  %08x .. %08x  %u\n", mode_name(mode), r.high, r.low, r.high - r.low);
        out << buf;
    }
    if (rules_) {
        out << "  rules broken  " << rules_->violations().size() << "\n";
        for (const auto &v : rules_->violations())
            out << "    " << v.text() << ", first at " << format_time(v.time) << " s\n";
        out << "  rules checked (the value closest to the limit)\n";
        for (const auto &c : rules_->closest())
            out << "    " << c.text() << ", at " << format_time(c.time) << " s\n";
    }
}

}  // namespace simtools
