#include "board/vreg.h"

#include "board/bad_access.h"

namespace board {

uint32_t Vreg::read(uint32_t offset)
{
    if (offset != 0) {
        log_bad_read(log_, "VREG", *this, offset);
        return 0;
    }
    return mr_;
}

void Vreg::write(uint32_t offset, uint32_t v)
{
    if (offset != 0) {
        log_bad_write(log_, "VREG", *this, offset, v);
        return;
    }
    if ((v & 1u) && !(mr_ & 1u))
        log_.warn("VREG", "voltage regulator put in standby (VREG_MR.PSTDBY): the core may only run at low speed now");
    mr_ = v & 1u;
}

}  // namespace board
