// The chip's boot program at work on the simulated board. Its bring-up is
// code in the flash (sim/samba/boot_program.s); when the core reaches the
// boot program's monitor loop, the monitor model serves the debug unit's
// line from there: it polls the debug unit's registers, reads and writes the
// chip through the core's bus (so stores into the flash fill the page latch)
// and runs the host's programs on the core for the go command.
#pragma once

#include <cstdint>
#include <string>

#include "sim/machine/machine.h"
#include "sim/samba/boot_program.h"
#include "sim/samba/dbgu_port.h"
#include "sim/samba/monitor.h"

namespace sim {

class BootMonitor : private samba::Target {
public:
    explicit BootMonitor(Machine &machine, board::Picos go_limit = samba::Monitor::kDefaultGoLimit);

    // The core waits in the monitor loop: the boot program is in charge.
    bool serving() const;
    // One pass of the monitor's polling loop, `since` virtual time after the
    // last; nothing unless serving().
    void poll(board::Picos since);

    samba::Monitor &monitor() { return monitor_; }

private:
    uint32_t read(uint32_t address, unsigned size) override;
    void write(uint32_t address, unsigned size, uint32_t value) override;
    samba::GoOutcome go(uint32_t address, samba::Picos limit) override;
    // The monitor has the core again: its loop, its mode and stack.
    void take_core_back();

    Machine &machine_;
    samba::Monitor monitor_;
    samba::DbguPort port_;
};

}  // namespace sim
