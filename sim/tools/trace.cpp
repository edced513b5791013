#include "sim/tools/trace.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace simtools {

bool parse_trace_kinds(const std::string &text, unsigned &kinds, std::string &error)
{
    kinds = 0;
    std::stringstream in(text);
    std::string word;
    while (std::getline(in, word, ',')) {
        if (word == "mmio") kinds |= kTraceMmio;
        else if (word == "irq") kinds |= kTraceIrq;
        else if (word == "insn") kinds |= kTraceInsn;
        else if (word == "all") kinds |= kTraceMmio | kTraceIrq | kTraceInsn;
        else {
            error = "unknown trace kind '" + word + "' (use mmio, irq, insn or all, separated by commas)";
            return false;
        }
    }
    if (kinds == 0) {
        error = "no trace kind given (use mmio, irq, insn or all)";
        return false;
    }
    return true;
}

std::string format_time(board::Picos t)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%" PRIu64 ".%09" PRIu64, t / board::kPicosPerSecond,
                  (t % board::kPicosPerSecond) / board::kPicosPerNs);
    return buf;
}

const char *mode_name(uint32_t cpsr)
{
    switch (cpsr & 0x1F) {
    case 0x10: return "usr";
    case 0x11: return "fiq";
    case 0x12: return "irq";
    case 0x13: return "svc";
    case 0x17: return "abt";
    case 0x1B: return "und";
    case 0x1F: return "sys";
    default: return "???";
    }
}

void MmioTrace::access(const board::Access &a, uint32_t pc, const std::string &register_name)
{
    char buf[160];
    const char *size = a.size == 4 ? "" : a.size == 2 ? " (16-bit)" : " (8-bit)";
    std::snprintf(buf, sizeof buf, "%s mmio pc=%08x %c %s %08x%s\n", format_time(a.time).c_str(), pc,
                  a.write ? 'W' : 'R', register_name.c_str(), a.value, size);
    out_ << buf;
}

}  // namespace simtools
