#include "board/rtt.h"

#include "board/bad_access.h"

namespace board {

namespace {
enum : uint32_t { MR = 0x00, AR = 0x04, VR = 0x08, SR = 0x0C };
enum : uint32_t { ALMIEN = 1u << 16, RTTINCIEN = 1u << 17, RTTRST = 1u << 18 };
enum : uint32_t { ALMS = 1u << 0, RTTINC = 1u << 1 };
constexpr uint32_t kMrReset = 0x00008000;
}  // namespace

Rtt::Rtt(Clock &clock, Log &log) : clock_(clock), log_(log)
{
    reset();
}

Rtt::~Rtt()
{
    clock_.cancel(event_);
}

void Rtt::reset()
{
    clock_.cancel(event_);
    event_ = 0;
    mr_ = kMrReset;
    ar_ = 0xFFFFFFFF;
    prescaler_ = mr_ & 0xFFFF;
    started_ = clock_.now();
    seen_ = 0;
    alms_ = rttinc_ = false;
    update_irq();
}

const char *Rtt::register_name(uint32_t offset) const
{
    switch (offset) {
    case MR: return "RTT_MR";
    case AR: return "RTT_AR";
    case VR: return "RTT_VR";
    case SR: return "RTT_SR";
    default: return nullptr;
    }
}

Picos Rtt::increment_period() const
{
    uint64_t cycles = prescaler_ == 0 ? 65536 : prescaler_;
    return static_cast<Picos>(cycles * kSlowClockPeriodFs / 1000);
}

uint32_t Rtt::counter() const
{
    return static_cast<uint32_t>((clock_.now() - started_) / increment_period());
}

void Rtt::sync()
{
    uint32_t now = counter();
    if (now == seen_)
        return;
    rttinc_ = true;
    // The alarm is the counter passing from ALMV to ALMV + 1.
    uint64_t alarm = static_cast<uint64_t>(ar_) + 1;
    if (seen_ < alarm && now >= alarm)
        alms_ = true;
    seen_ = now;
}

void Rtt::schedule()
{
    clock_.cancel(event_);
    event_ = 0;
    uint64_t next = 0;
    if ((mr_ & RTTINCIEN) && !rttinc_)
        next = static_cast<uint64_t>(seen_) + 1;
    if ((mr_ & ALMIEN) && !alms_ && static_cast<uint64_t>(ar_) + 1 > seen_) {
        uint64_t alarm = static_cast<uint64_t>(ar_) + 1;
        if (next == 0 || alarm < next)
            next = alarm;
    }
    if (next == 0 || next > 0xFFFFFFFFull)
        return;
    event_ = clock_.schedule_at(started_ + next * increment_period(), [this] {
        event_ = 0;
        sync();
        update_irq();
        schedule();
    });
}

void Rtt::update_irq()
{
    bool level = (alms_ && (mr_ & ALMIEN)) || (rttinc_ && (mr_ & RTTINCIEN));
    irq_.set(level);
}

uint32_t Rtt::peek(uint32_t offset) const
{
    switch (offset) {
    case MR: return mr_;
    case AR: return ar_;
    case VR: return counter();
    case SR: {
        uint32_t now = counter();
        uint64_t alarm = static_cast<uint64_t>(ar_) + 1;
        bool alms = alms_ || (seen_ < alarm && now >= alarm);
        bool inc = rttinc_ || now != seen_;
        return (alms ? ALMS : 0u) | (inc ? RTTINC : 0u);
    }
    default: return 0;
    }
}

uint32_t Rtt::read(uint32_t offset)
{
    switch (offset) {
    case MR: case AR: case VR:
        return peek(offset);
    case SR: {
        sync();
        uint32_t v = (alms_ ? ALMS : 0u) | (rttinc_ ? RTTINC : 0u);
        alms_ = rttinc_ = false;
        update_irq();
        schedule();
        return v;
    }
    default:
        log_bad_read(log_, "RTT", *this, offset);
        return 0;
    }
}

void Rtt::write(uint32_t offset, uint32_t v)
{
    switch (offset) {
    case MR:
        sync();
        mr_ = v & 0x0003FFFF;
        if (v & RTTRST) {
            prescaler_ = mr_ & 0xFFFF;
            started_ = clock_.now();
            seen_ = 0;
        }
        break;
    case AR:
        sync();
        ar_ = v;
        break;
    default:
        log_bad_write(log_, "RTT", *this, offset, v);
        return;
    }
    update_irq();
    schedule();
}

}  // namespace board
