// A bus with nothing on it: every access outside the core's memories is
// refused, so it aborts (the core tests that want no peripherals).
#pragma once

#include "sim/core/arm7tdmi.h"

namespace coretest {

class RefusingBus : public sim::CoreBus {
public:
    bool read(uint32_t, unsigned, uint64_t, uint32_t &value, unsigned &wait) override
    {
        value = 0;
        wait = 0;
        return false;
    }
    bool write(uint32_t, unsigned, uint64_t, uint32_t, unsigned &wait) override
    {
        wait = 0;
        return false;
    }
};

}  // namespace coretest
