#include "board/pit.h"


namespace board {

Pit::Pit(Clock &clock, Log &log) : MappedDevice(log, "PIT"), clock_(clock)
{
    regs_.add(MR, "PIT_MR", AccessKind::ReadWrite).resets_to(kMrReset).field(mr_, kMrMask).on_write([this](uint32_t v) { write_mr(v); });
    regs_.add(SR, "PIT_SR", AccessKind::ReadOnly).value([this] { return at_now().pits ? 1u : 0u; });
    regs_.add(PIVR, "PIT_PIVR", AccessKind::ReadOnly).value([this] { return pivr_of(at_now()); }).on_read([this] { return read_pivr(); });
    regs_.add(PIIR, "PIT_PIIR", AccessKind::ReadOnly).value([this] { return pivr_of(at_now()); });
    state_.registers(regs_)
        .field("CPIV", count_.cpiv)
        .field("PICNT", count_.picnt)
        .field("PITS", count_.pits)
        .field("running", count_.running)
        .field("anchor", anchor_)
        .field("anchor_fs", anchor_fs_)
        .field("tick_fs", tick_fs_)
        .kept("irq", irq_.saved_level())
        .event(clock_, event_, "PIT", {{"period end", [this] { on_period_end(); }}});
    clock_.add_rate_listener([this](uint64_t old_period_fs) {
        // Close the span counted at the old rate, then go on at the new one.
        tick_fs_ = 16 * old_period_fs;
        sync();
        tick_fs_ = 16 * clock_.master_period_fs();
        schedule();
    });
    reset();
}

Pit::~Pit()
{
    clock_.cancel(event_);
}

void Pit::reset()
{
    state_.reset();
    anchor_ = clock_.now();
    anchor_fs_ = 0;
    tick_fs_ = 16 * clock_.master_period_fs();
    update_irq();
}

uint64_t Pit::ticks_since_anchor() const
{
    unsigned __int128 fs = static_cast<unsigned __int128>(clock_.now() - anchor_) * 1000;
    if (fs < anchor_fs_)
        return 0;
    return static_cast<uint64_t>((fs - anchor_fs_) / tick_fs_);
}

Pit::Count Pit::at_now() const
{
    Count c = count_;
    if (!c.running)
        return c;
    uint64_t ticks = ticks_since_anchor();
    uint64_t period = static_cast<uint64_t>(piv()) + 1;
    // Ticks until the counter meets PIV and goes back to 0.
    uint64_t to_wrap = c.cpiv <= piv() ? period - c.cpiv : kCounterModulo - c.cpiv + period;
    if (ticks < to_wrap) {
        c.cpiv = static_cast<uint32_t>((c.cpiv + ticks) % kCounterModulo);
        return c;
    }
    ticks -= to_wrap;
    uint64_t wraps = 1;
    if (enabled()) {
        wraps += ticks / period;
        c.cpiv = static_cast<uint32_t>(ticks % period);
    } else {
        c.cpiv = 0;
        c.running = false;
    }
    c.picnt = static_cast<uint32_t>((c.picnt + wraps) & 0xFFF);
    c.pits = true;
    return c;
}

void Pit::sync()
{
    uint64_t ticks = ticks_since_anchor();
    count_ = at_now();
    unsigned __int128 fs = static_cast<unsigned __int128>(ticks) * tick_fs_ + anchor_fs_;
    anchor_ += static_cast<Picos>(fs / 1000);
    anchor_fs_ = static_cast<uint64_t>(fs % 1000);
    if (!count_.running) {
        anchor_ = clock_.now();
        anchor_fs_ = 0;
    }
}

void Pit::schedule()
{
    clock_.cancel(event_);
    event_ = 0;
    // Only the interrupt needs an event: everything else is computed on read.
    if (!count_.running || count_.pits || !(mr_ & kPitien))
        return;
    uint64_t period = static_cast<uint64_t>(piv()) + 1;
    uint64_t to_wrap = count_.cpiv <= piv() ? period - count_.cpiv : kCounterModulo - count_.cpiv + period;
    unsigned __int128 fs = static_cast<unsigned __int128>(to_wrap) * tick_fs_ + anchor_fs_;
    Picos when = anchor_ + static_cast<Picos>((fs + 999) / 1000);
    event_ = clock_.schedule_at({"PIT", "period end"}, when, [this] { on_period_end(); });
}

void Pit::on_period_end()
{
    event_ = 0;
    sync();
    update_irq();
    schedule();
}

void Pit::update_irq()
{
    bool level = count_.pits && (mr_ & kPitien);
    irq_.set(level);
}

uint32_t Pit::read_pivr()
{
    sync();
    uint32_t v = pivr_of(count_);
    count_.picnt = 0;
    count_.pits = false;
    update_irq();
    schedule();
    return v;
}

void Pit::write_mr(uint32_t v)
{
    sync();
    mr_ = v & kMrMask;
    if (enabled())
        count_.running = true;
    update_irq();
    schedule();
}

}  // namespace board
