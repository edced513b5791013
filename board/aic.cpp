#include "board/aic.h"

#include <string>

namespace board {

Aic::Aic(Clock &clock, Log &log) : MappedDevice(log, "AIC"), clock_(clock), log_(log), lines_(kExternal)
{
    auto update = [this] { update_outputs(); };
    for (unsigned n = 0; n < kSources; ++n) {
        regs_.add(SMR + 4 * n, "AIC_SMR[" + std::to_string(n) + "]", AccessKind::ReadWrite).field(smr_[n], kSmrMask).then([this, n] {
            if (!is_edge(n))
                edge_latch_ &= ~(1u << n);
            update_outputs();
        });
    }
    for (unsigned n = 0; n < kSources; ++n)
        regs_.add(SVR + 4 * n, "AIC_SVR[" + std::to_string(n) + "]", AccessKind::ReadWrite).field(svr_[n]);
    regs_.add(IVR, "AIC_IVR", AccessKind::ReadWrite).value([this] { return vector_for(candidate()); })
        .on_read([this] { return read_ivr(); }).on_write([this](uint32_t) { write_ivr(); });
    regs_.add(FVR, "AIC_FVR", AccessKind::ReadOnly).value([this] { return svr_[0]; }).on_read([this] { return read_fvr(); });
    regs_.add(ISR, "AIC_ISR", AccessKind::ReadOnly).field(isr_);
    regs_.add(IPR, "AIC_IPR", AccessKind::ReadOnly).value([this] { return pending(); });
    regs_.add(IMR, "AIC_IMR", AccessKind::ReadOnly).field(imr_);
    regs_.add(CISR, "AIC_CISR", AccessKind::ReadOnly).value([this] { return (nfiq_ ? 1u : 0u) | (nirq_ ? 2u : 0u); });
    regs_.add(IECR, "AIC_IECR", AccessKind::WriteOneToSet).acts_on(imr_).then(update);
    regs_.add(IDCR, "AIC_IDCR", AccessKind::WriteOneToClear).acts_on(imr_).then(update);
    regs_.add(ICCR, "AIC_ICCR", AccessKind::WriteOneToClear).acts_on(edge_latch_).then(update);
    regs_.add(ISCR, "AIC_ISCR", AccessKind::WriteOneToSet).acts_on(edge_latch_).on_write([this](uint32_t v) {
        for (unsigned n = 0; n < kSources; ++n)
            if (((v >> n) & 1u) && is_edge(n))
                edge_latch_ |= 1u << n;
    }).then(update);
    regs_.add(EOICR, "AIC_EOICR", AccessKind::WriteOnly).on_write([this](uint32_t) { end_service(); });
    regs_.add(SPU, "AIC_SPU", AccessKind::ReadWrite).field(spu_);
    regs_.add(DCR, "AIC_DCR", AccessKind::ReadWrite).field(dcr_, kProt | kGmsk).then(update);
    regs_.add(FFER, "AIC_FFER", AccessKind::WriteOneToSet).acts_on(ffsr_, ~1u).then(update);
    regs_.add(FFDR, "AIC_FFDR", AccessKind::WriteOneToClear).acts_on(ffsr_).then(update);
    regs_.add(FFSR, "AIC_FFSR", AccessKind::ReadOnly).field(ffsr_);
    // The source lines are wires: their far ends set them. The outputs are
    // set through update_outputs(), which tells the listeners.
    state_.registers(regs_)
        .field("edge latches", edge_latch_)
        .field("stack", stack_)
        .custom("remembered",
                [this](StateWriter &w) {
                    w.u8(remembered_.has_value());
                    w.u32(remembered_.value_or(0));
                },
                [this](StateReader &r) {
                    bool has = r.u8();
                    uint32_t source = r.u32();
                    if (source >= kSources)
                        r.fail("AIC: no source " + std::to_string(source));
                    remembered_ = has ? std::optional<unsigned>(source) : std::nullopt;
                },
                [this] { remembered_.reset(); })
        .kept("lines", lines_)
        .kept("nirq", nirq_)
        .kept("nfiq", nfiq_)
        .field("irq request cycle", irq_request_cycle_)
        .event(clock_, irq_event_, "AIC", {{"nIRQ asserted", [this] { on_irq_due(); }}})
        .event(clock_, fiq_event_, "AIC", {{"nFIQ asserted", [this] { on_fiq_due(); }}});
    reset();
}

Aic::~Aic()
{
    clock_.cancel(irq_event_);
    clock_.cancel(fiq_event_);
}

void Aic::reset()
{
    state_.reset();
    update_outputs();
}

bool Aic::is_edge(unsigned n) const
{
    return (smr_[n] & 0x20) != 0;
}

bool Aic::line_active(unsigned n) const
{
    bool high = (lines_ >> n) & 1u;
    bool active_high = !(kExternal & (1u << n)) || (smr_[n] & 0x40);
    return high == active_high;
}

uint32_t Aic::pending() const
{
    uint32_t p = 0;
    for (unsigned n = 0; n < kSources; ++n)
        if (is_edge(n) ? (edge_latch_ >> n) & 1u : line_active(n))
            p |= 1u << n;
    return p;
}

std::optional<unsigned> Aic::candidate() const
{
    uint32_t ready = pending() & imr_ & ~1u & ~ffsr_;
    std::optional<unsigned> best;
    int best_priority = current_level();
    for (unsigned n = 1; n < kSources; ++n) {
        if (!((ready >> n) & 1u))
            continue;
        int priority = static_cast<int>(smr_[n] & kPrior);
        if (priority > best_priority) {
            best = n;
            best_priority = priority;
        }
    }
    return best;
}

uint32_t Aic::vector_for(std::optional<unsigned> source) const
{
    return source ? svr_[*source] : spu_;
}

void Aic::start_service(unsigned n)
{
    if (stack_.size() == kStackDepth) {
        log_.warn("AIC", "priority stack overflow: source " + std::to_string(n) + " not pushed");
        return;
    }
    stack_.push_back(InService{n, static_cast<int>(smr_[n] & kPrior)});
    isr_ = n;
    if (is_edge(n))
        edge_latch_ &= ~(1u << n);
    update_outputs();
}

void Aic::end_service()
{
    if (stack_.empty()) {
        log_.warn("AIC", "AIC_EOICR written with no interrupt in service");
        return;
    }
    stack_.pop_back();
    isr_ = stack_.empty() ? 0 : stack_.back().source;
    update_outputs();
}

void Aic::set_source(unsigned n, bool level)
{
    if (n >= kSources)
        return;
    uint32_t bit = 1u << n;
    bool was = (lines_ & bit) != 0;
    if (was == level)
        return;
    lines_ = level ? lines_ | bit : lines_ & ~bit;
    if (is_edge(n) && line_active(n))
        edge_latch_ |= bit;
    update_outputs();
}

bool Aic::irq_request() const
{
    return !(dcr_ & kGmsk) && candidate().has_value();
}

uint32_t Aic::fiq_requesters() const
{
    return (dcr_ & kGmsk) ? 0 : pending() & imr_ & (1u | ffsr_);
}

Picos Aic::latency(unsigned n) const
{
    // 3.5 or 4.5 periods, rounded up to a picosecond: the board's clock
    // fires the event at the first cycle boundary at or after it.
    uint64_t half_periods = is_edge(n) ? 9 : 7;
    return static_cast<Picos>((static_cast<unsigned __int128>(clock_.master_period_fs()) * half_periods + 1999) / 2000);
}

void Aic::update_outputs()
{
    // A request that falls takes its output with it at once; one that rises
    // reaches its output only after the synchronisation.
    bool irq = irq_request();
    uint32_t fiq = fiq_requesters();
    if (!irq) {
        clock_.cancel(irq_event_);
        irq_event_ = 0;
    } else if (!nirq_ && !irq_event_) {
        irq_request_cycle_ = clock_.cycles();
        irq_event_ = clock_.schedule_in({"AIC", "nIRQ asserted"}, latency(*candidate()), [this] { on_irq_due(); });
    }
    if (!fiq) {
        clock_.cancel(fiq_event_);
        fiq_event_ = 0;
    } else if (!nfiq_ && !fiq_event_) {
        // Source 0 if it requests, else the lowest forced source.
        unsigned n = static_cast<unsigned>(__builtin_ctz(fiq));
        fiq_event_ = clock_.schedule_in({"AIC", "nFIQ asserted"}, latency(n), [this] { on_fiq_due(); });
    }
    set_outputs(nirq_ && irq, nfiq_ && fiq);
}

void Aic::on_irq_due()
{
    irq_event_ = 0;
    set_outputs(irq_request(), nfiq_);
}

void Aic::on_fiq_due()
{
    fiq_event_ = 0;
    set_outputs(nirq_, fiq_requesters() != 0);
}

void Aic::set_outputs(bool irq, bool fiq)
{
    if (irq == nirq_ && fiq == nfiq_)
        return;
    nirq_ = irq;
    nfiq_ = fiq;
    for (auto &l : listeners_)
        l(nirq_, nfiq_);
}

uint32_t Aic::read_ivr()
{
    std::optional<unsigned> n = candidate();
    if (dcr_ & kProt)
        remembered_ = n;
    else if (n)
        start_service(*n);
    return vector_for(n);
}

void Aic::write_ivr()
{
    if ((dcr_ & kProt) && remembered_) {
        unsigned n = *remembered_;
        remembered_.reset();
        start_service(n);
    }
}

uint32_t Aic::read_fvr()
{
    uint32_t v = svr_[0];
    if (is_edge(0)) {
        edge_latch_ &= ~1u;
        update_outputs();
    }
    return v;
}

}  // namespace board
