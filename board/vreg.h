// Voltage regulator mode register, after the chip's documentation: VREG_MR
// with PSTDBY (bit 0, the regulator in standby, low-power mode), reset value
// 0. The board's supply does not depend on it, so it is kept as state; a
// switch to standby is logged, because the regulator then cannot supply the
// core at full speed and a firmware that runs on would fail on the chip.
#pragma once

#include <cstdint>

#include "board/log.h"
#include "board/register_map.h"

namespace board {

class Vreg : public MappedDevice {
public:
    explicit Vreg(Log &log);

    void reset() override { state_.reset(); }

    bool standby() const { return mr_ & 1u; }

private:
    Log &log_;
    uint32_t mr_ = 0;
};

}  // namespace board
