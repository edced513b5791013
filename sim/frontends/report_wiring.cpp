#include "sim/frontends/report_wiring.h"

#include "sim/machine/memory_map.h"

namespace sim {

void attach_execution_reports(simtools::ExecutionReports &reports, Session &session)
{
    simtools::ExecutionRecorder &r = reports.recorder();
    r.add_memory(MemoryMap::kFlashBase, MemoryMap::kFlashSize);
    r.add_memory(MemoryMap::kRamBase, MemoryMap::kRamSize);
    // The boot memory at 0 shows the flash (the firmware never remaps), so
    // the vectors and the code reached through them count as the flash's.
    r.add_alias(0, MemoryMap::kFlashBase);
    reports.mark_functions();
    Machine &m = session.machine;
    r.set_cycle_source([&m] { return m.cpu().cycles(); });
    m.set_execution_observer(&r);
}

}  // namespace sim
