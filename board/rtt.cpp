#include "board/rtt.h"


namespace board {

Rtt::Rtt(Clock &clock, Log &log) : MappedDevice(log, "RTT"), clock_(clock)
{
    auto rearm = [this] {
        update_irq();
        schedule();
    };
    regs_.add(MR, "RTT_MR", AccessKind::ReadWrite).resets_to(kMrReset).field(mr_).on_write([this](uint32_t v) { write_mr(v); }).then(rearm);
    regs_.add(AR, "RTT_AR", AccessKind::ReadWrite).resets_to(0xFFFFFFFF).field(ar_).on_write([this](uint32_t v) {
        sync();
        ar_ = v;
    }).then(rearm);
    regs_.add(VR, "RTT_VR", AccessKind::ReadOnly).value([this] { return counter(); });
    regs_.add(SR, "RTT_SR", AccessKind::ReadOnly).value([this] { return status(); }).on_read([this] { return read_sr(); });
    state_.registers(regs_)
        .field("prescaler", prescaler_)
        .field("started", started_)
        .field("seen", seen_)
        .field("ALMS", alms_)
        .field("RTTINC", rttinc_)
        .kept("irq", irq_.saved_level())
        .event(clock_, event_, "RTT", {{"increment or alarm", [this] { on_event(); }}});
    reset();
}

Rtt::~Rtt()
{
    clock_.cancel(event_);
}

void Rtt::reset()
{
    state_.reset();
    prescaler_ = mr_ & 0xFFFF;
    started_ = clock_.now();
    update_irq();
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
    event_ = clock_.schedule_at({"RTT", "increment or alarm"}, started_ + next * increment_period(), [this] { on_event(); });
}

void Rtt::on_event()
{
    event_ = 0;
    sync();
    update_irq();
    schedule();
}

void Rtt::update_irq()
{
    bool level = (alms_ && (mr_ & ALMIEN)) || (rttinc_ && (mr_ & RTTINCIEN));
    irq_.set(level);
}

uint32_t Rtt::status() const
{
    uint32_t now = counter();
    uint64_t alarm = static_cast<uint64_t>(ar_) + 1;
    bool alms = alms_ || (seen_ < alarm && now >= alarm);
    bool inc = rttinc_ || now != seen_;
    return (alms ? ALMS : 0u) | (inc ? RTTINC : 0u);
}

uint32_t Rtt::read_sr()
{
    sync();
    uint32_t v = (alms_ ? ALMS : 0u) | (rttinc_ ? RTTINC : 0u);
    alms_ = rttinc_ = false;
    update_irq();
    schedule();
    return v;
}

void Rtt::write_mr(uint32_t v)
{
    sync();
    mr_ = v & 0x0003FFFF;
    if (v & RTTRST) {
        prescaler_ = mr_ & 0xFFFF;
        started_ = clock_.now();
        seen_ = 0;
    }
}

}  // namespace board
