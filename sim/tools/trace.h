// Traces of a run, one line per event, each starting with the virtual time:
//   mmio  every peripheral access: pc, direction, register, value
//   irq   every interrupt taken and returned, with its latency
//   insn  every instruction executed, disassembled
// This file holds what the kinds share: their names and the line format.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "board/bus.h"
#include "board/clock.h"

namespace simtools {

enum TraceKind : unsigned { kTraceMmio = 1u, kTraceIrq = 2u, kTraceInsn = 4u };

// "mmio,irq", "insn", "all"; false with a message naming the bad word.
bool parse_trace_kinds(const std::string &text, unsigned &kinds, std::string &error);

// Seconds with nanoseconds: "0.012345678".
std::string format_time(board::Picos t);

// Names of the processor modes, from the CPSR's mode bits ("svc", "irq", ...).
const char *mode_name(uint32_t cpsr);

// One line per peripheral access, as the bus reports it:
//   0.000123456 mmio pc=00100a3c R PIOA.PIO_ISR 00000020
class MmioTrace {
public:
    explicit MmioTrace(std::ostream &out) : out_(out) {}
    void access(const board::Access &a, uint32_t pc, const std::string &register_name);

private:
    std::ostream &out_;
};

}  // namespace simtools
