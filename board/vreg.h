// Voltage regulator mode register, after the chip's documentation: VREG_MR
// with PSTDBY (bit 0, the regulator in standby, low-power mode), reset value
// 0. The board's supply does not depend on it, so it is kept as state; a
// switch to standby is logged, because the regulator then cannot supply the
// core at full speed and a firmware that runs on would fail on the chip.
#pragma once

#include <cstdint>

#include "board/device.h"
#include "board/log.h"

namespace board {

class Vreg : public Device {
public:
    explicit Vreg(Log &log) : log_(log) {}

    uint32_t read(uint32_t offset) override;
    void write(uint32_t offset, uint32_t value) override;
    uint32_t peek(uint32_t offset) const override { return offset == 0 ? mr_ : 0; }
    void reset() override { mr_ = 0; }
    const char *register_name(uint32_t offset) const override { return offset == 0 ? "VREG_MR" : nullptr; }

    bool standby() const { return mr_ & 1u; }

private:
    Log &log_;
    uint32_t mr_ = 0;
};

}  // namespace board
