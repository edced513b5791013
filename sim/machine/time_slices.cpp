#include "sim/machine/time_slices.h"

#include "sim/machine/stop_signal.h"

namespace sim {

void run_slices(Machine &machine, board::Picos slice, const std::function<std::optional<board::Picos>()> &next_look,
                const std::function<void()> &between)
{
    while (!stop_requested()) {
        auto look = next_look();
        if (!look) break;
        run_slice(machine, slice, look);
        if (between) between();
    }
}

}  // namespace sim
