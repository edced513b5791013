#include "board/wdt.h"

#include "board/bad_access.h"

#include <string>

namespace board {

namespace {
enum : uint32_t { WDCR = 0x00, WDMR = 0x04, WDSR = 0x08 };
enum : uint32_t { WDUNF = 0x1, WDERR = 0x2 };
constexpr uint32_t kWdmrReset = 0x3FFF2FFF;
constexpr uint32_t kWdmrMask = 0x3FFFFFFF;
constexpr uint32_t kWdrsten = 1u << 13;
constexpr uint32_t kWdrproc = 1u << 14;
constexpr uint32_t kKey = 0xA5000000;

uint32_t wdv(uint32_t wdmr) { return wdmr & 0xFFF; }
uint32_t wdd(uint32_t wdmr) { return (wdmr >> 16) & 0xFFF; }
}  // namespace

Wdt::Wdt(Clock &clock, Log &log) : clock_(clock), log_(log)
{
    reset();
}

Wdt::~Wdt()
{
    if (expiry_)
        clock_.cancel(expiry_);
}

void Wdt::reset()
{
    wdmr_ = kWdmrReset;
    wdsr_ = 0;
    wdmr_written_ = false;
    reload();
    update_irq();
}

const char *Wdt::register_name(uint32_t offset) const
{
    switch (offset) {
    case WDCR: return "WDTC_WDCR";
    case WDMR: return "WDTC_WDMR";
    case WDSR: return "WDTC_WDSR";
    default: return nullptr;
    }
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
    expiry_ = clock_.schedule_in(static_cast<Picos>(wdv(wdmr_)) * kTick, [this] {
        expiry_ = 0;
        expire();
    });
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

uint32_t Wdt::peek(uint32_t offset) const
{
    switch (offset) {
    case WDMR: return wdmr_;
    case WDSR: return wdsr_;
    default: return 0;
    }
}

uint32_t Wdt::read(uint32_t offset)
{
    switch (offset) {
    case WDMR: return wdmr_;
    case WDSR: {
        uint32_t v = wdsr_;
        wdsr_ = 0;
        update_irq();
        return v;
    }
    default:
        log_bad_read(log_, "WDTC", *this, offset);
        return 0;
    }
}

void Wdt::write(uint32_t offset, uint32_t v)
{
    switch (offset) {
    case WDCR:
        if ((v & 0xFF000000) != kKey || !(v & 1)) {
            log_.warn("WDTC", "WDTC_WDCR write of " + hex32(v) + " without key 0xA5 and WDRSTT: ignored");
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
        return;
    case WDMR:
        if (wdmr_written_) {
            log_.warn("WDTC", "WDTC_WDMR written again (" + hex32(v) + "): it can be written once after reset, ignored");
            return;
        }
        wdmr_written_ = true;
        wdmr_ = v & kWdmrMask;
        reload();
        update_irq();
        return;
    default:
        log_bad_write(log_, "WDTC", *this, offset, v);
        return;
    }
}

}  // namespace board
