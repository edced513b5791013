#include "board/vreg.h"

namespace board {

Vreg::Vreg(Log &log) : MappedDevice(log, "VREG"), log_(log)
{
    regs_.add(0x00, "VREG_MR", AccessKind::ReadWrite).field(mr_, 1u).on_write([this](uint32_t v) {
        if ((v & 1u) && !(mr_ & 1u))
            log_.warn("VREG", "voltage regulator put in standby (VREG_MR.PSTDBY): the core may only run at low speed now");
        mr_ = v & 1u;
    });
    state_.registers(regs_);
}

}  // namespace board
