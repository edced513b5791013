// The ARM7TDMI core: Unicorn's ARMv4T model (TI925T) plus what Unicorn does
// not do for us, the exception entry of the ARM7TDMI. Registers are numbered
// r0..r15 = 0..15 and cpsr = 16, as a debugger numbers them.
#pragma once

#include <cstdint>
#include <string>

#include <unicorn/unicorn.h>

#include "sim/core/arm7tdmi.h"

namespace sim {

class Cpu {
public:
    static constexpr int kCpsr = 16;

    Cpu();
    ~Cpu();
    Cpu(const Cpu &) = delete;
    Cpu &operator=(const Cpu &) = delete;

    uc_engine *uc() { return uc_; }

    // The ARM7TDMI's reset state: supervisor mode, ARM state, IRQ and FIQ
    // disabled, pc 0. Other registers are undefined on the chip; here 0.
    void reset();

    uint32_t reg(int n) const;
    void set_reg(int n, uint32_t value);
    uint32_t cpsr() const { return reg(kCpsr); }
    void set_cpsr(uint32_t value) { set_reg(kCpsr, value); }
    uint32_t spsr() const;
    void set_spsr(uint32_t value);
    uint32_t pc() const { return reg(15); }
    void set_pc(uint32_t value) { set_reg(15, value); }
    bool thumb() const { return cpsr() & kCpsrT; }
    Registers registers() const;

    // Takes exception `e` as the ARM7TDMI does: the new mode's LR gets
    // `return_link` (already including the exception's offset), its SPSR
    // the old CPSR; CPSR gets the mode, T clear, I set (and F for FIQ); pc
    // the vector.
    void enter(Exception e, uint32_t return_link);

    // Where the next instruction is, as uc_emu_start wants it (bit 0 = Thumb).
    uint32_t resume_address() const { return pc() | (thumb() ? 1u : 0u); }

private:
    uc_engine *uc_ = nullptr;
};

}  // namespace sim
