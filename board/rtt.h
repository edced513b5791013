// Real-time timer, after the chip's documentation.
//
// - A 32-bit counter CRTV (RTT_VR) incremented every RTPRES slow-clock
//   cycles (2^16 when RTPRES is 0). RTT_MR: RTPRES (bits 0..15), ALMIEN
//   (bit 16), RTTINCIEN (bit 17), RTTRST (bit 18: restarts the divider with
//   the RTPRES written and clears the counter). Reset value 0x00008000: one
//   increment a second.
// - RTT_AR: ALMV, reset value 0xFFFFFFFF. RTT_SR: ALMS (bit 0) sets when the
//   counter reaches ALMV + 1, RTTINC (bit 1) at every increment; reading SR
//   clears both.
// - The interrupt (part of the system interrupt) is ALMS with ALMIEN or
//   RTTINC with RTTINCIEN.
//
// Choices where the documentation is silent: a new RTPRES takes effect only
// with RTTRST (the divider is reloaded then), and RTTRST reads back as 0.
#pragma once

#include <cstdint>
#include <functional>

#include "board/clock.h"
#include "board/irq_line.h"
#include "board/log.h"
#include "board/register_map.h"

namespace board {

class Rtt : public MappedDevice, public InterruptSource {
public:
    Rtt(Clock &clock, Log &log);
    ~Rtt() override;
    Rtt(const Rtt &) = delete;
    Rtt &operator=(const Rtt &) = delete;

    void reset() override;

    uint32_t counter() const;

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t { MR = 0x00, AR = 0x04, VR = 0x08, SR = 0x0C };
    enum : uint32_t { ALMIEN = 1u << 16, RTTINCIEN = 1u << 17, RTTRST = 1u << 18 };
    enum : uint32_t { ALMS = 1u << 0, RTTINC = 1u << 1 };
    static constexpr uint32_t kMrReset = 0x00008000;

    Picos increment_period() const;
    // Latches the flags for everything that happened up to now.
    void sync();
    void schedule();
    void on_event();
    void update_irq();
    uint32_t status() const;
    uint32_t read_sr();
    void write_mr(uint32_t v);

    Clock &clock_;
    uint32_t mr_ = 0, ar_ = 0;
    uint32_t prescaler_ = 0;   // the value the divider runs with
    Picos started_ = 0;
    uint32_t seen_ = 0;        // counter value when the flags were last brought up to date
    bool alms_ = false, rttinc_ = false;
    Clock::EventId event_ = 0;
};

}  // namespace board
