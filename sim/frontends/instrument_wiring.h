// Connects the recording tools (traces, summary, waveforms) to a running
// session: the core's blocks, instructions and exceptions, and the
// interrupt controller's nIRQ output.
#pragma once

#include "sim/machine/session.h"
#include "sim/tools/instruments.h"

namespace sim {

// The session must outlive the instruments' use; call once, after open().
void attach_instruments(simtools::Instruments &instruments, Session &session);

}  // namespace sim
