// Connects coverage and profile recording to a session's core: the chip's
// code memories described to the recorder, which then watches every
// instruction the core runs.
#pragma once

#include "sim/machine/session.h"
#include "sim/tools/execution_reports.h"

namespace sim {

// The session must outlive the reports' use; call once, after open().
void attach_execution_reports(simtools::ExecutionReports &reports, Session &session);

}  // namespace sim
