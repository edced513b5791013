#include "sim/cpu.h"

#include <cstdio>
#include <stdexcept>

namespace sim {

namespace {

const int kRegIds[17] = {
    UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4, UC_ARM_REG_R5,
    UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
    UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_CPSR,
};

bool has_spsr(uint32_t cpsr)
{
    uint32_t m = cpsr & 0x1F;
    return m != static_cast<uint32_t>(Mode::User) && m != static_cast<uint32_t>(Mode::System);
}

}  // namespace

Cpu::Cpu()
{
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_) != UC_ERR_OK)
        throw std::runtime_error("cannot start the ARM emulator");
    // ARMv4T, the ARM7TDMI's architecture: must be chosen before memory is mapped.
    if (uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_TI925T) != UC_ERR_OK)
        throw std::runtime_error("the ARM emulator has no ARMv4T model");
}

Cpu::~Cpu()
{
    if (uc_)
        uc_close(uc_);
}

void Cpu::reset()
{
    // Clear every bank: visit each mode and zero its registers.
    for (Mode m : {Mode::Fiq, Mode::Irq, Mode::Abort, Mode::Undefined, Mode::System, Mode::Supervisor}) {
        set_cpsr(static_cast<uint32_t>(m) | kCpsrI | kCpsrF);
        for (int i = 0; i < 15; ++i)
            set_reg(i, 0);
        if (m != Mode::System)
            set_spsr(0);
    }
    set_cpsr(static_cast<uint32_t>(Mode::Supervisor) | kCpsrI | kCpsrF);
    set_pc(0);
}

uint32_t Cpu::reg(int n) const
{
    uint32_t v = 0;
    uc_reg_read(uc_, kRegIds[n], &v);
    return v;
}

void Cpu::set_reg(int n, uint32_t value)
{
    uc_reg_write(uc_, kRegIds[n], &value);
}

uint32_t Cpu::spsr() const
{
    if (!has_spsr(cpsr()))
        return 0;
    uint32_t v = 0;
    uc_reg_read(uc_, UC_ARM_REG_SPSR, &v);
    return v;
}

void Cpu::set_spsr(uint32_t value)
{
    uc_reg_write(uc_, UC_ARM_REG_SPSR, &value);
}

Registers Cpu::registers() const
{
    Registers r;
    for (int i = 0; i < 16; ++i)
        r.r[i] = reg(i);
    r.cpsr = cpsr();
    r.spsr = spsr();
    return r;
}

void Cpu::enter(Exception e, uint32_t return_link)
{
    uint32_t old = cpsr();
    Mode mode = Mode::Supervisor;
    uint32_t masks = kCpsrI;
    switch (e) {
    case Exception::Undefined: mode = Mode::Undefined; break;
    case Exception::SoftwareInterrupt: mode = Mode::Supervisor; break;
    case Exception::PrefetchAbort:
    case Exception::DataAbort: mode = Mode::Abort; break;
    case Exception::Irq: mode = Mode::Irq; break;
    case Exception::Fiq: mode = Mode::Fiq; masks |= kCpsrF; break;
    }
    // CPSR first: the mode switch banks in the new mode's r13, r14 and SPSR.
    uint32_t next = (old & ~(0x1Fu | kCpsrT)) | static_cast<uint32_t>(mode) | masks;
    set_cpsr(next);
    set_spsr(old);
    set_reg(14, return_link);
    set_pc(vector_of(e));
}

}  // namespace sim
