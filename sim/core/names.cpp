#include "sim/core/arm7tdmi.h"

#include <cstdio>

namespace sim {

namespace {

bool has_spsr(uint32_t cpsr)
{
    uint32_t m = cpsr & 0x1F;
    return m != static_cast<uint32_t>(Mode::User) && m != static_cast<uint32_t>(Mode::System);
}

}  // namespace

const char *mode_name(uint32_t cpsr)
{
    switch (static_cast<Mode>(cpsr & 0x1F)) {
    case Mode::User: return "USR";
    case Mode::Fiq: return "FIQ";
    case Mode::Irq: return "IRQ";
    case Mode::Supervisor: return "SVC";
    case Mode::Abort: return "ABT";
    case Mode::Undefined: return "UND";
    case Mode::System: return "SYS";
    }
    return "invalid mode";
}

uint32_t vector_of(Exception e)
{
    switch (e) {
    case Exception::Undefined: return 0x04;
    case Exception::SoftwareInterrupt: return 0x08;
    case Exception::PrefetchAbort: return 0x0C;
    case Exception::DataAbort: return 0x10;
    case Exception::Irq: return 0x18;
    case Exception::Fiq: return 0x1C;
    }
    return 0;
}

const char *exception_name(Exception e)
{
    switch (e) {
    case Exception::Undefined: return "undefined instruction";
    case Exception::SoftwareInterrupt: return "software interrupt";
    case Exception::PrefetchAbort: return "prefetch abort";
    case Exception::DataAbort: return "data abort";
    case Exception::Irq: return "IRQ";
    case Exception::Fiq: return "FIQ";
    }
    return "?";
}

std::string format_registers(const Registers &regs)
{
    std::string out;
    char b[64];
    for (int i = 0; i < 16; ++i) {
        static const char *names[16] = {"r0", "r1", "r2", "r3", "r4", "r5", "r6", "r7",
                                        "r8", "r9", "r10", "r11", "r12", "sp", "lr", "pc"};
        snprintf(b, sizeof b, "%-3s %08x%s", names[i], regs.r[i], i % 4 == 3 ? "\n" : "  ");
        out += b;
    }
    snprintf(b, sizeof b, "cpsr %08x (%s, %s, IRQ %s, FIQ %s)", regs.cpsr, mode_name(regs.cpsr),
             regs.cpsr & kCpsrT ? "Thumb" : "ARM", regs.cpsr & kCpsrI ? "off" : "on", regs.cpsr & kCpsrF ? "off" : "on");
    out += b;
    if (has_spsr(regs.cpsr)) {
        snprintf(b, sizeof b, "  spsr %08x", regs.spsr);
        out += b;
    }
    return out;
}

}  // namespace sim
