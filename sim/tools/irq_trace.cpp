#include "sim/tools/irq_trace.h"

#include <cinttypes>
#include <cstdio>

#include "sim/tools/trace.h"

namespace simtools {

namespace {
constexpr uint32_t kThumb = 0x20;
constexpr uint32_t kModeAndState = 0x3F;

std::string where(uint32_t address, uint32_t cpsr)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%08x (%s, %s)", address, mode_name(cpsr), cpsr & kThumb ? "thumb" : "arm");
    return buf;
}
}  // namespace

void IrqTrace::line(bool asserted, uint64_t cycle, uint64_t requested_cycle)
{
    if (asserted && !asserted_) {
        asserted_cycle_ = cycle;
        requested_cycle_ = requested_cycle;
    }
    asserted_ = asserted;
}

void IrqTrace::taken(board::Picos t, uint64_t cycle, uint32_t resume_address, uint32_t interrupted_cpsr)
{
    ++taken_;
    frames_.push_back({asserted_cycle_, requested_cycle_, asserted_, cycle, resume_address, interrupted_cpsr});
    if (!out_) return;
    char buf[200];
    if (asserted_)
        std::snprintf(buf, sizeof buf,
                      "%s irq taken: source pending %" PRIu64 " cycles before, nIRQ asserted %" PRIu64
                      " cycles before; interrupted %s\n",
                      format_time(t).c_str(), cycle - requested_cycle_, cycle - asserted_cycle_,
                      where(resume_address, interrupted_cpsr).c_str());
    else
        std::snprintf(buf, sizeof buf, "%s irq taken without nIRQ asserted; interrupted %s\n", format_time(t).c_str(),
                      where(resume_address, interrupted_cpsr).c_str());
    *out_ << buf;
}

void IrqTrace::vector(uint32_t handler)
{
    // The entry code reads the vector once per interrupt; a second read in the
    // same interrupt (a nested one not yet taken) does not replace the first.
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it)
        if (!it->has_handler) {
            it->handler = handler & ~1u;
            it->has_handler = true;
            return;
        }
}

void IrqTrace::executing(board::Picos t, uint64_t cycle, uint32_t pc, uint32_t cpsr)
{
    if (frames_.empty()) return;
    Frame &f = frames_.back();
    if (f.has_handler && !f.entered && pc == f.handler) {
        f.entered = true;
        if (f.asserted_known) {
            uint64_t latency = cycle - f.requested_cycle;
            if (min_latency_ == 0 || latency < min_latency_) min_latency_ = latency;
            if (latency > max_latency_) max_latency_ = latency;
        }
        if (out_) {
            char buf[200];
            if (f.asserted_known)
                std::snprintf(buf, sizeof buf, "%s irq handler %s entered: latency %" PRIu64 " cycles\n",
                              format_time(t).c_str(), where(pc, cpsr).c_str(), cycle - f.requested_cycle);
            else
                std::snprintf(buf, sizeof buf, "%s irq handler %s entered\n", format_time(t).c_str(),
                              where(pc, cpsr).c_str());
            *out_ << buf;
        }
        return;
    }
    if (pc == f.resume && (cpsr & kModeAndState) == (f.cpsr & kModeAndState)) {
        ++returned_;
        if (out_) {
            char buf[200];
            std::snprintf(buf, sizeof buf, "%s irq returned to %s after %" PRIu64 " cycles\n", format_time(t).c_str(),
                          where(pc, cpsr).c_str(), cycle - f.taken_cycle);
            *out_ << buf;
        }
        frames_.pop_back();
    }
}

}  // namespace simtools
