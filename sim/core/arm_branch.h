// ARM B and BL once their condition has passed (arm.cpp's branch
// handlers). Private to sim/core.
#pragma once

#include "sim/core/cpu.h"
#include "sim/core/delay_loop.h"

namespace sim::core {

// A branch out of the code window, out of line: the one within keeps no
// registers.
template <bool Link>
[[gnu::noinline]] void branch_far(Cpu &c, Decoded &d, uint32_t target)
{
    const uint32_t pc = c.r[15];
    c.fetch_s_arm();
    if (Link) c.r[14] = pc + 4;
    c.branch_in<false>(target);
    const int32_t offset = static_cast<int32_t>(d.raw << 8) >> 6;
    if (!Link && offset < 0 && d.aux != kNotALoop) delay_loop_closed(c, d, pc);
}

template <bool Link>
[[gnu::always_inline]] inline void branch_taken(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    const int32_t offset = static_cast<int32_t>(d.raw << 8) >> 6;
    const uint32_t target = pc + 8 + static_cast<uint32_t>(offset);
    if (!c.in_window(target)) [[unlikely]]
        return branch_far<Link>(c, d, target);
    c.fetch_s_arm();
    if (Link) c.r[14] = pc + 4;
    c.branch_near<false>(target);
    if (!Link && offset < 0 && d.aux != kNotALoop) delay_loop_closed(c, d, pc);
}

}  // namespace sim::core
