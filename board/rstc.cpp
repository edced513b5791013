#include "board/rstc.h"


namespace board {

namespace {
constexpr Picos kSlowCycle = kSlowClockPeriodFs / 1000;
}  // namespace

Rstc::Rstc(Clock &clock, Log &log) : MappedDevice(log, "RSTC"), clock_(clock), log_(log)
{
    regs_.add(CR, "RSTC_CR", AccessKind::Keyed).with_key(0xA5).on_write([this](uint32_t v) { command(v); });
    regs_.add(SR, "RSTC_SR", AccessKind::ReadOnly).resets_to(NRSTL).value([this] { return status(); }).on_read([this] {
        uint32_t v = status();
        sr_ &= ~URSTS;
        update_irq();
        return v;
    });
    regs_.add(MR, "RSTC_MR", AccessKind::KeyedReadWrite).with_key(0xA5).field(mr_, kMrMask).then([this] { update_irq(); });
    // NRST driven from outside is the far end's: a reset does not release it.
    state_.registers(regs_)
        .field("status", sr_, uint32_t{PowerUp << 8})
        .field("SRCMP", srcmp_)
        .field("NRST low", nrst_low_)
        .kept("NRST driven", nrst_driven_)
        .kept("irq", irq_.saved_level())
        .event(clock_, end_event_, "RSTC", {{"software reset end", [this] { software_reset_end(); }}})
        .event(clock_, nrst_event_, "RSTC", {{"NRST release", [this] { nrst_release(); }}});
    reset();
}

void Rstc::software_reset_end()
{
    end_event_ = 0;
    srcmp_ = false;
}

void Rstc::nrst_release()
{
    nrst_event_ = 0;
    nrst_low_ = false;
}

Rstc::~Rstc()
{
    clock_.cancel(end_event_);
    clock_.cancel(nrst_event_);
}

void Rstc::reset()
{
    state_.reset();
    update_irq();
}

uint32_t Rstc::status() const
{
    return sr_ | (nrst_low_ || nrst_driven_ ? 0u : NRSTL) | (srcmp_ ? SRCMP : 0u);
}

Picos Rstc::external_length() const
{
    return (Picos{2} << ((mr_ >> 8) & 0xF)) * kSlowCycle;
}

void Rstc::command(uint32_t v)
{
    if (!(v & (PROCRST | PERRST | EXTRST)))
        return;
    if (srcmp_) {
        log_.warn("RSTC", "RSTC_CR write of " + hex32(v) + " while a software reset is in progress (SRCMP): ignored");
        return;
    }
    ResetOrder o;
    o.processor = v & PROCRST;
    o.peripherals = v & PERRST;
    o.external = v & EXTRST;
    Picos busy = kSoftwareResetSlowCycles * kSlowCycle;
    if (o.external && external_length() > busy)
        busy = external_length();
    if (o.processor)
        sr_ = (sr_ & ~0x700u) | (Software << 8);
    order(o, busy);
}

void Rstc::order(const ResetOrder &given, Picos busy)
{
    ResetOrder o = given;
    o.hold = o.processor ? kSoftwareResetSlowCycles * kSlowCycle : 0;
    if (busy) {
        srcmp_ = true;
        clock_.cancel(end_event_);
        end_event_ = clock_.schedule_in({"RSTC", "software reset end"}, busy, [this] { software_reset_end(); });
    }
    if (o.external) {
        nrst_low_ = true;
        clock_.cancel(nrst_event_);
        nrst_event_ = clock_.schedule_in({"RSTC", "NRST release"}, external_length(), [this] { nrst_release(); });
    }
    if (request_)
        request_(o);
}

void Rstc::watchdog_reset(bool processor_only)
{
    sr_ = (sr_ & ~0x700u) | (Watchdog << 8);
    ResetOrder o;
    o.processor = true;
    o.peripherals = o.external = !processor_only;
    order(o, 0);   // not a software command: SRCMP stays 0
}

void Rstc::user_reset()
{
    if (mr_ & URSTEN) {
        sr_ = (sr_ & ~0x700u) | (User << 8);
        ResetOrder o;
        o.processor = o.peripherals = true;
        order(o, 0);
        return;
    }
    sr_ |= URSTS;
    update_irq();
}

void Rstc::drive_nrst(bool low)
{
    bool fell = low && !nrst_driven_;
    nrst_driven_ = low;
    if (fell) user_reset();
}

void Rstc::update_irq()
{
    bool level = (sr_ & URSTS) && (mr_ & URSTIEN);
    irq_.set(level);
}

}  // namespace board
