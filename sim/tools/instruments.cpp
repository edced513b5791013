#include "sim/tools/instruments.h"

namespace simtools {

Instruments::Instruments(board::Bus &bus, board::Pins &pa, board::Clock &clock) : bus_(bus), pa_(pa), clock_(clock) {}

bool Instruments::open(const Options &o, std::ostream &fallback, std::string &error)
{
    kinds_ = o.trace_kinds;
    tracing_ = kinds_ != 0;
    fallback_ = &fallback;
    if (tracing_) {
        if (o.trace_file.empty()) {
            unlimited_ = &fallback;
        } else {
            if (!trace_file_.open(o.trace_file, error)) return false;
            unlimited_ = &trace_file_.stream();
        }
        cap_ = std::make_unique<CappedBuffer>(unlimited_->rdbuf(), o.trace_limit);
        capped_ = std::make_unique<std::ostream>(cap_.get());
        out_ = capped_.get();
        if (kinds_ & kTraceMmio) mmio_ = std::make_unique<MmioTrace>(*out_);
        if (kinds_ & kTraceInsn) insn_ = std::make_unique<InsnTrace>(*out_);
        irq_ = IrqTrace(kinds_ & kTraceIrq ? out_ : nullptr);
        bus_.add_observer([this](const board::Access &a) { access(a); });
    }
    if (!o.vcd_file.empty()) {
        if (!vcd_file_.open(o.vcd_file, error)) return false;
        waves_ = std::make_unique<BoardWaves>(pa_, clock_, vcd_file_.stream(), o.vcd_groups);
    }
    return true;
}

void Instruments::access(const board::Access &a)
{
    if (finished_) return;
    if (!a.write && a.address == kAicIvr) irq_.vector(a.value);
    if (mmio_) mmio_->access(a, pc_ ? pc_(a.address) : 0, bus_.describe(a.address));
}

void Instruments::block(uint32_t pc, uint32_t cpsr, uint32_t sp)
{
    if (!tracing_ || finished_) return;
    summary_.stack_pointer(cpsr, sp);
    irq_.executing(now(), cycles(), pc, cpsr);
}

size_t Instruments::instruction(uint32_t pc, board::Picos started, const uint8_t *code, size_t available, bool thumb)
{
    // Past the size limit the lines would be dropped: spare the disassembly.
    if (insn_ && !finished_ && !cap_->reached()) return insn_->instruction(started, pc, code, available, thumb);
    return thumb ? 2 : 4;
}

void Instruments::exception(uint32_t new_cpsr, uint32_t resume_address, uint32_t old_cpsr)
{
    if (!tracing_ || finished_) return;
    summary_.exception(new_cpsr);
    if ((new_cpsr & 0x1F) == 0x12) irq_.taken(now(), cycles(), resume_address, old_cpsr);
}

void Instruments::nirq(bool asserted, uint64_t requested_cycle)
{
    if (finished_) return;
    irq_.line(asserted, cycles(), requested_cycle);
    if (waves_) waves_->set_nirq_level(!asserted);
}

bool Instruments::finish(uint64_t instructions, std::string &error)
{
    if (finished_) return true;
    finished_ = true;
    bool ok = true;
    if (tracing_) {
        summary_.set_irq_latency(irq_.min_latency(), irq_.max_latency());
        cap_->end_line();
        if (cap_->reached()) {
            std::string note = "trace cut at its size limit (--trace-limit) after " + std::to_string(cap_->written()) +
                               " bytes; " + std::to_string(cap_->dropped()) + " bytes more were not written\n";
            *unlimited_ << note;
            if (fallback_ != unlimited_) *fallback_ << "boardsim: " << note;
        }
        summary_.write(*unlimited_, instructions, cycles(), now());
        unlimited_->flush();
        ok = trace_file_.commit(error) && ok;
    }
    if (waves_) {
        waves_->finish();
        ok = vcd_file_.commit(error) && ok;
    }
    return ok;
}

}  // namespace simtools
