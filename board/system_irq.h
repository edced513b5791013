// The system interrupt: AIC source 1 is the OR of the interrupt lines of the
// system controller's peripherals (debug unit, interval timer, real-time
// timer, reset controller, watchdog, power manager, memory controller). A
// handler reads each peripheral's status to find who asked.
#pragma once

#include <cstdint>
#include <functional>

#include "board/state.h"

namespace board {

class SystemIrq {
public:
    enum Source : unsigned { Dbgu, Pit, Rtt, Rstc, Wdt, Pmc, Mc };

    explicit SystemIrq(std::function<void(bool)> line) : line_(std::move(line))
    {
        // Each source's reset sets its own input through the wire.
        state_.kept("levels", levels_);
    }
    SystemIrq(const SystemIrq &) = delete;
    SystemIrq &operator=(const SystemIrq &) = delete;

    // An input line for one source, to hand to that peripheral.
    std::function<void(bool)> input(Source s)
    {
        return [this, s](bool level) { set(s, level); };
    }
    void set(Source s, bool level)
    {
        uint32_t before = levels_;
        levels_ = level ? levels_ | (1u << s) : levels_ & ~(1u << s);
        if ((before != 0) != (levels_ != 0))
            line_(levels_ != 0);
    }
    uint32_t levels() const { return levels_; }
    State &state() { return state_; }

private:
    std::function<void(bool)> line_;
    uint32_t levels_ = 0;
    State state_{"system interrupt"};
};

}  // namespace board
