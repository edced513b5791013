#include "board/wdt.h"

#include <string>

namespace board {

namespace {

uint32_t wdv(uint32_t wdmr) { return wdmr & 0xFFF; }
uint32_t wdd(uint32_t wdmr) { return (wdmr >> 16) & 0xFFF; }
}  // namespace

Wdt::Wdt(Clock &clock, Log &log) : MappedDevice(log, "WDTC"), clock_(clock), log_(log)
{
    regs_.add(WDCR, "WDTC_WDCR", AccessKind::Keyed).with_key(0xA5).on_write([this](uint32_t v) { restart(v); });
    regs_.add(WDMR, "WDTC_WDMR", AccessKind::ReadWrite).resets_to(kWdmrReset).field(wdmr_).on_write([this](uint32_t v) { write_mr(v); });
    regs_.add(WDSR, "WDTC_WDSR", AccessKind::ReadOnly).field(wdsr_).on_read([this] {
        uint32_t v = wdsr_;
        wdsr_ = 0;
        update_irq();
        return v;
    });
    state_.registers(regs_)
        .field("WDMR written", wdmr_written_)
        .field("reloaded at", reloaded_at_)
        .kept("irq", irq_.saved_level())
        .event(clock_, expiry_, "WDTC", {{"underflow", [this] { underflow(); }}});
    reset();
}

Wdt::~Wdt()
{
    if (expiry_)
        clock_.cancel(expiry_);
}

void Wdt::reset()
{
    state_.reset();
    reload();
    update_irq();
}

uint32_t Wdt::counter() const
{
    if (!running())
        return wdv(wdmr_);
    uint64_t ticks = (clock_.now() - reloaded_at_) / kTick;
    return ticks >= wdv(wdmr_) ? 0 : wdv(wdmr_) - static_cast<uint32_t>(ticks);
}

void Wdt::reload()
{
    if (expiry_)
        clock_.cancel(expiry_);
    expiry_ = 0;
    reloaded_at_ = clock_.now();
    if (!running())
        return;
    expiry_ = clock_.schedule_in({"WDTC", "underflow"}, static_cast<Picos>(wdv(wdmr_)) * kTick, [this] { underflow(); });
}

void Wdt::underflow()
{
    expiry_ = 0;
    expire();
}

void Wdt::expire()
{
    wdsr_ |= WDUNF;
    update_irq();
    if (wdmr_ & kWdrsten)
        request_reset("watchdog underflow");
    else
        log_.warn("WDTC", "watchdog underflow (no reset: WDRSTEN is 0)");
    // Until the owner has reset the chip the counter keeps going round.
    if (!expiry_)
        reload();
}

void Wdt::request_reset(const char *why)
{
    log_.warn("WDTC", std::string(why) + ": " + ((wdmr_ & kWdrproc) ? "processor" : "chip") + " reset");
    if (reset_request_)
        reset_request_();
}

void Wdt::restart(uint32_t v)
{
    if (!(v & 1)) {
        log_.warn("WDTC", "WDTC_WDCR write of " + hex32(v) + " without WDRSTT: ignored");
        return;
    }
    if (!running())
        return;
    if (counter() > wdd(wdmr_)) {
        wdsr_ |= WDERR;
        update_irq();
        if (wdmr_ & kWdrsten) {
            request_reset("watchdog restarted above WDD");
            return;
        }
    }
    reload();
}

void Wdt::write_mr(uint32_t v)
{
    if (wdmr_written_) {
        log_.warn("WDTC", "WDTC_WDMR written again (" + hex32(v) + "): it can be written once after reset, ignored");
        return;
    }
    wdmr_written_ = true;
    wdmr_ = v & kWdmrMask;
    reload();
    update_irq();
}

}  // namespace board
