#include "board/aic.h"

#include "board/bad_access.h"

#include <string>

namespace board {

namespace {
enum : uint32_t {
    SMR = 0x000, SVR = 0x080,
    IVR = 0x100, FVR = 0x104, ISR = 0x108, IPR = 0x10C, IMR = 0x110, CISR = 0x114,
    IECR = 0x120, IDCR = 0x124, ICCR = 0x128, ISCR = 0x12C, EOICR = 0x130, SPU = 0x134,
    DCR = 0x138, FFER = 0x140, FFDR = 0x144, FFSR = 0x148,
};
constexpr uint32_t kPrior = 0x7;
constexpr uint32_t kSrcType = 0x60;
constexpr uint32_t kSmrMask = kPrior | kSrcType;
constexpr uint32_t kProt = 0x1, kGmsk = 0x2;
// FIQ, IRQ0 and IRQ1 come from pins; the others from on-chip peripherals.
constexpr uint32_t kExternal = (1u << 0) | (1u << 30) | (1u << 31);

const char *const kSmrNames[32] = {
    "AIC_SMR[0]", "AIC_SMR[1]", "AIC_SMR[2]", "AIC_SMR[3]", "AIC_SMR[4]", "AIC_SMR[5]", "AIC_SMR[6]", "AIC_SMR[7]",
    "AIC_SMR[8]", "AIC_SMR[9]", "AIC_SMR[10]", "AIC_SMR[11]", "AIC_SMR[12]", "AIC_SMR[13]", "AIC_SMR[14]", "AIC_SMR[15]",
    "AIC_SMR[16]", "AIC_SMR[17]", "AIC_SMR[18]", "AIC_SMR[19]", "AIC_SMR[20]", "AIC_SMR[21]", "AIC_SMR[22]", "AIC_SMR[23]",
    "AIC_SMR[24]", "AIC_SMR[25]", "AIC_SMR[26]", "AIC_SMR[27]", "AIC_SMR[28]", "AIC_SMR[29]", "AIC_SMR[30]", "AIC_SMR[31]",
};
const char *const kSvrNames[32] = {
    "AIC_SVR[0]", "AIC_SVR[1]", "AIC_SVR[2]", "AIC_SVR[3]", "AIC_SVR[4]", "AIC_SVR[5]", "AIC_SVR[6]", "AIC_SVR[7]",
    "AIC_SVR[8]", "AIC_SVR[9]", "AIC_SVR[10]", "AIC_SVR[11]", "AIC_SVR[12]", "AIC_SVR[13]", "AIC_SVR[14]", "AIC_SVR[15]",
    "AIC_SVR[16]", "AIC_SVR[17]", "AIC_SVR[18]", "AIC_SVR[19]", "AIC_SVR[20]", "AIC_SVR[21]", "AIC_SVR[22]", "AIC_SVR[23]",
    "AIC_SVR[24]", "AIC_SVR[25]", "AIC_SVR[26]", "AIC_SVR[27]", "AIC_SVR[28]", "AIC_SVR[29]", "AIC_SVR[30]", "AIC_SVR[31]",
};
}  // namespace

Aic::Aic(Log &log) : log_(log), lines_(kExternal)
{
    reset();
}

void Aic::reset()
{
    smr_.fill(0);
    svr_.fill(0);
    edge_latch_ = 0;
    imr_ = spu_ = dcr_ = ffsr_ = 0;
    isr_ = 0;
    stack_.clear();
    remembered_.reset();
    update_outputs();
}

const char *Aic::register_name(uint32_t offset) const
{
    if (offset < SVR)
        return kSmrNames[offset / 4];
    if (offset < IVR)
        return kSvrNames[(offset - SVR) / 4];
    switch (offset) {
    case IVR: return "AIC_IVR";
    case FVR: return "AIC_FVR";
    case ISR: return "AIC_ISR";
    case IPR: return "AIC_IPR";
    case IMR: return "AIC_IMR";
    case CISR: return "AIC_CISR";
    case IECR: return "AIC_IECR";
    case IDCR: return "AIC_IDCR";
    case ICCR: return "AIC_ICCR";
    case ISCR: return "AIC_ISCR";
    case EOICR: return "AIC_EOICR";
    case SPU: return "AIC_SPU";
    case DCR: return "AIC_DCR";
    case FFER: return "AIC_FFER";
    case FFDR: return "AIC_FFDR";
    case FFSR: return "AIC_FFSR";
    default: return nullptr;
    }
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

void Aic::update_outputs()
{
    bool masked = (dcr_ & kGmsk) != 0;
    bool irq = !masked && candidate().has_value();
    bool fiq = !masked && (pending() & imr_ & (1u | ffsr_));
    if (irq == nirq_ && fiq == nfiq_)
        return;
    nirq_ = irq;
    nfiq_ = fiq;
    for (auto &l : listeners_)
        l(nirq_, nfiq_);
}

uint32_t Aic::peek(uint32_t offset) const
{
    if (offset < SVR)
        return smr_[offset / 4];
    if (offset < IVR)
        return svr_[(offset - SVR) / 4];
    switch (offset) {
    case IVR: return vector_for(candidate());
    case FVR: return svr_[0];
    case ISR: return isr_;
    case IPR: return pending();
    case IMR: return imr_;
    case CISR: return (nfiq_ ? 1u : 0u) | (nirq_ ? 2u : 0u);
    case SPU: return spu_;
    case DCR: return dcr_;
    case FFSR: return ffsr_;
    default: return 0;
    }
}

uint32_t Aic::read(uint32_t offset)
{
    switch (offset) {
    case IVR: {
        std::optional<unsigned> n = candidate();
        if (dcr_ & kProt)
            remembered_ = n;
        else if (n)
            start_service(*n);
        return vector_for(n);
    }
    case FVR: {
        uint32_t v = svr_[0];
        if (is_edge(0)) {
            edge_latch_ &= ~1u;
            update_outputs();
        }
        return v;
    }
    case ISR: case IPR: case IMR: case CISR: case SPU: case DCR: case FFSR:
        return peek(offset);
    default:
        if (offset < IVR)
            return peek(offset);
        log_bad_read(log_, "AIC", *this, offset);
        return 0;
    }
}

void Aic::write(uint32_t offset, uint32_t v)
{
    if (offset < SVR) {
        unsigned n = offset / 4;
        smr_[n] = v & kSmrMask;
        if (!is_edge(n))
            edge_latch_ &= ~(1u << n);
        update_outputs();
        return;
    }
    if (offset < IVR) {
        svr_[(offset - SVR) / 4] = v;
        return;
    }
    switch (offset) {
    case IVR:
        if ((dcr_ & kProt) && remembered_) {
            unsigned n = *remembered_;
            remembered_.reset();
            start_service(n);
        }
        return;
    case IECR: imr_ |= v; break;
    case IDCR: imr_ &= ~v; break;
    case ICCR: edge_latch_ &= ~v; break;
    case ISCR:
        for (unsigned n = 0; n < kSources; ++n)
            if (((v >> n) & 1u) && is_edge(n))
                edge_latch_ |= 1u << n;
        break;
    case EOICR: end_service(); return;
    case SPU: spu_ = v; return;
    case DCR: dcr_ = v & (kProt | kGmsk); break;
    case FFER: ffsr_ |= v & ~1u; break;
    case FFDR: ffsr_ &= ~v; break;
    default:
        log_bad_write(log_, "AIC", *this, offset, v);
        return;
    }
    update_outputs();
}

}  // namespace board
