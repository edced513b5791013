// Periodic interval timer, after the chip's documentation.
//
// - A 20-bit counter CPIV clocked at MCK / 16. When it reaches PIV it goes
//   back to 0 on the next tick, PICNT (12 bits) counts the period and PITS
//   (PIT_SR bit 0) sets: one period is (PIV + 1) x 16 master-clock cycles.
// - PIT_MR: PIV (bits 0..19), PITEN (bit 24), PITIEN (bit 25); reset value
//   0x000FFFFF (disabled). Clearing PITEN lets the counter run on to the end
//   of the current period (PICNT and PITS still count it), then it stays at 0;
//   setting PITEN starts it from there.
// - PIT_PIVR reads CPIV and PICNT and clears PICNT and PITS; PIT_PIIR reads
//   the same without clearing anything.
// - The interrupt (part of the system interrupt) is PITS with PITIEN.
//
// The counter follows every change of the master clock: the ticks counted at
// the old rate are closed when the rate changes (Clock's rate listener).
// Choices where the documentation is silent: a write of PIT_MR with a new PIV
// while the counter is above it lets the counter run on to its 20-bit wrap
// before it meets PIV again, as a comparator that looks for equality does.
#pragma once

#include <cstdint>
#include <functional>

#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/register_map.h"
#include "board/state.h"

namespace board {

class Pit : public MappedDevice, public InterruptSource {
public:
    Pit(Clock &clock, Log &log);
    ~Pit() override;
    Pit(const Pit &) = delete;
    Pit &operator=(const Pit &) = delete;

    void reset() override;

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t { MR = 0x00, SR = 0x04, PIVR = 0x08, PIIR = 0x0C };
    static constexpr uint32_t kMrReset = 0x000FFFFF;
    static constexpr uint32_t kMrMask = 0x030FFFFF;
    static constexpr uint32_t kPitien = 1u << 25;
    static constexpr uint32_t kCounterModulo = 1u << 20;

    struct Count {
        uint32_t cpiv;
        uint32_t picnt;
        bool pits;
        bool running;
        uint16_t unused = 0;   // no padding: every saved byte is defined
    };
    // The counter as it stands at the clock's time (no side effects).
    Count at_now() const;
    uint64_t ticks_since_anchor() const;
    void sync();
    void schedule();
    void on_period_end();
    void update_irq();
    void write_mr(uint32_t v);
    uint32_t read_pivr();
    static uint32_t pivr_of(const Count &c) { return c.cpiv | (c.picnt << 20); }
    uint32_t piv() const { return mr_ & 0xFFFFF; }
    bool enabled() const { return (mr_ >> 24) & 1u; }

    Clock &clock_;
    uint32_t mr_ = 0;
    Count count_{};
    // Ticks are counted from the anchor at tick_fs_ femtoseconds each.
    Picos anchor_ = 0;
    uint64_t anchor_fs_ = 0;   // fraction of a picosecond past the anchor
    uint64_t tick_fs_ = 0;
    Clock::EventId event_ = 0;
};

}  // namespace board
