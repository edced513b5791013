#include "board/rstc.h"

#include "board/bad_access.h"

namespace board {

namespace {
enum : uint32_t { CR = 0x00, SR = 0x04, MR = 0x08 };
enum : uint32_t { PROCRST = 1u << 0, PERRST = 1u << 2, EXTRST = 1u << 3 };
enum : uint32_t { URSTS = 1u << 0, NRSTL = 1u << 16, SRCMP = 1u << 17 };
enum : uint32_t { URSTEN = 1u << 0, URSTIEN = 1u << 4 };
constexpr uint32_t kKey = 0xA5000000;
constexpr uint32_t kMrMask = 0x00000F11;
constexpr Picos kSlowCycle = kSlowClockPeriodFs / 1000;
}  // namespace

Rstc::Rstc(Clock &clock, Log &log) : clock_(clock), log_(log)
{
    reset();
}

Rstc::~Rstc()
{
    clock_.cancel(end_event_);
    clock_.cancel(nrst_event_);
}

void Rstc::reset()
{
    clock_.cancel(end_event_);
    clock_.cancel(nrst_event_);
    end_event_ = nrst_event_ = 0;
    sr_ = PowerUp << 8;
    mr_ = 0;
    srcmp_ = nrst_low_ = false;
    update_irq();
}

const char *Rstc::register_name(uint32_t offset) const
{
    switch (offset) {
    case CR: return "RSTC_CR";
    case SR: return "RSTC_SR";
    case MR: return "RSTC_MR";
    default: return nullptr;
    }
}

uint32_t Rstc::peek(uint32_t offset) const
{
    switch (offset) {
    case SR: return sr_ | (nrst_low_ || nrst_driven_ ? 0u : NRSTL) | (srcmp_ ? SRCMP : 0u);
    case MR: return mr_;
    default: return 0;
    }
}

uint32_t Rstc::read(uint32_t offset)
{
    switch (offset) {
    case SR: {
        uint32_t v = peek(SR);
        sr_ &= ~URSTS;
        update_irq();
        return v;
    }
    case MR:
        return mr_;
    default:
        log_bad_read(log_, "RSTC", *this, offset);
        return 0;
    }
}

Picos Rstc::external_length() const
{
    return (Picos{2} << ((mr_ >> 8) & 0xF)) * kSlowCycle;
}

void Rstc::write(uint32_t offset, uint32_t v)
{
    switch (offset) {
    case CR: {
        if ((v & 0xFF000000) != kKey) {
            log_.warn("RSTC", "RSTC_CR write of " + hex32(v) + " without key 0xA5: ignored");
            return;
        }
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
        return;
    }
    case MR:
        if ((v & 0xFF000000) != kKey) {
            log_.warn("RSTC", "RSTC_MR write of " + hex32(v) + " without key 0xA5: ignored");
            return;
        }
        mr_ = v & kMrMask;
        update_irq();
        return;
    default:
        log_bad_write(log_, "RSTC", *this, offset, v);
        return;
    }
}

void Rstc::order(const ResetOrder &given, Picos busy)
{
    ResetOrder o = given;
    o.hold = o.processor ? kSoftwareResetSlowCycles * kSlowCycle : 0;
    if (busy) {
        srcmp_ = true;
        clock_.cancel(end_event_);
        end_event_ = clock_.schedule_in(busy, [this] {
            end_event_ = 0;
            srcmp_ = false;
        });
    }
    if (o.external) {
        nrst_low_ = true;
        clock_.cancel(nrst_event_);
        nrst_event_ = clock_.schedule_in(external_length(), [this] {
            nrst_event_ = 0;
            nrst_low_ = false;
        });
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
