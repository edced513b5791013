// Watchdog timer, after the chip's documentation.
//
// - A 12-bit down counter clocked by the slow clock / 128 (3.90625 ms a
//   tick). It starts at reset with WDV = 0xFFF, so it expires 16 s after
//   reset unless the firmware restarts or disables it.
// - WDCR: writing WDRSTT (bit 0) with KEY 0xA5 in bits 24..31 reloads the
//   counter with WDV. A restart while the counter is above WDD is an error
//   (WDSR.WDERR) that resets the chip when WDRSTEN is set.
// - WDMR can be written once after reset; later writes are ignored and
//   logged. Reset value 0x3FFF2FFF: WDV = WDD = 0xFFF, WDRSTEN = 1, the
//   debug and idle halts set, WDDIS = 0.
// - WDSR: WDUNF (underflow) and WDERR, cleared by reading WDSR.
// - On underflow WDUNF sets and, with WDRSTEN, the watchdog asks for a chip
//   reset through the callback (and logs it). With WDDIS nothing runs.
// - WDFIEN (WDMR bit 12): a fault (WDUNF or WDERR set) raises the watchdog's
//   interrupt, part of the system interrupt, until WDSR is read.
//
// Choices where the documentation is silent:
// - The write of WDMR reloads the counter with the new WDV.
// - After an underflow without WDRSTEN the counter reloads and keeps running.
// - The counter runs from the moment of the reload, not aligned to the
//   divider's ticks. The halts in debug and idle state are not modelled (the
//   virtual clock stands still while a debugger holds the processor).
#pragma once

#include <cstdint>
#include <functional>

#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/register_map.h"

namespace board {

class Wdt : public MappedDevice, public InterruptSource {
public:
    static constexpr Picos kTick = 128 * kSlowClockPeriodFs / 1000;   // 3.90625 ms

    Wdt(Clock &clock, Log &log);
    ~Wdt() override;
    Wdt(const Wdt &) = delete;
    Wdt &operator=(const Wdt &) = delete;

    void reset() override;

    // Called when the watchdog resets the chip; the owner performs the reset.
    // It runs inside a virtual-clock event, so an owner that resets the clock
    // must do so after the event, not from within the call.
    void set_reset_request(std::function<void()> request) { reset_request_ = std::move(request); }

    bool running() const { return (wdmr_ & 0x8000) == 0; }
    // WDRPROC: the watchdog's reset is of the processor alone.
    bool processor_reset_only() const { return (wdmr_ >> 14) & 1u; }
    // Counter value now (12 bits), for views and tests.
    uint32_t counter() const;

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t { WDCR = 0x00, WDMR = 0x04, WDSR = 0x08 };
    enum : uint32_t { WDUNF = 0x1, WDERR = 0x2 };
    static constexpr uint32_t kWdmrReset = 0x3FFF2FFF;
    static constexpr uint32_t kWdmrMask = 0x3FFFFFFF;
    static constexpr uint32_t kWdrsten = 1u << 13;
    static constexpr uint32_t kWdrproc = 1u << 14;

    void update_irq() { irq_.set((wdmr_ & (1u << 12)) && wdsr_); }
    void reload();
    void underflow();
    void expire();
    void request_reset(const char *why);
    void restart(uint32_t wdcr);
    void write_mr(uint32_t v);

    Clock &clock_;
    Log &log_;
    std::function<void()> reset_request_;
    uint32_t wdmr_ = 0, wdsr_ = 0;
    bool wdmr_written_ = false;
    Picos reloaded_at_ = 0;
    Clock::EventId expiry_ = 0;
};

}  // namespace board
