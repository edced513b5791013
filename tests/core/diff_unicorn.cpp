#include "tests/core/diff_unicorn.h"

#include <stdexcept>
#include <string>

namespace diff {

namespace {

// Far more instructions than a sequence runs (its loops included).
constexpr size_t kInstructionLimit = 2'000'000;

class UnicornRegisters : public RegisterAccess {
public:
    explicit UnicornRegisters(uc_engine *uc) : uc_(uc) {}
    uint32_t reg(int n) override { return read(ids[n]); }
    void set_reg(int n, uint32_t v) override { write(ids[n], v); }
    uint32_t cpsr() override { return read(UC_ARM_REG_CPSR); }
    void set_cpsr(uint32_t v) override { write(UC_ARM_REG_CPSR, v); }
    uint32_t spsr() override { return read(UC_ARM_REG_SPSR); }
    void set_spsr(uint32_t v) override { write(UC_ARM_REG_SPSR, v); }

private:
    static constexpr int ids[16] = {
        UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4, UC_ARM_REG_R5,
        UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
        UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC,
    };
    uint32_t read(int id)
    {
        uint32_t v = 0;
        uc_reg_read(uc_, id, &v);
        return v;
    }
    void write(int id, uint32_t v) { uc_reg_write(uc_, id, &v); }
    uc_engine *uc_;
};

void check(uc_err err, const char *what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string("Unicorn: ") + what + ": " + uc_strerror(err));
}

}  // namespace

UnicornRunner::UnicornRunner()
{
    check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_), "open");
    // ARMv4T, the ARM7TDMI's architecture; chosen before any memory is mapped.
    check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_TI925T), "CPU model");
    check(uc_mem_map(uc_, kCodeBase, kCodeSize, UC_PROT_ALL), "map code");
    check(uc_mem_map(uc_, kDataBase, kDataSize, UC_PROT_READ | UC_PROT_WRITE), "map data");
}

UnicornRunner::~UnicornRunner()
{
    uc_close(uc_);
}

Outcome UnicornRunner::run(const Program &program)
{
    const MachineState &m = program.initial;
    check(uc_mem_write(uc_, kCodeBase, m.code.data(), m.code.size()), "write code");
    check(uc_mem_write(uc_, kDataBase, m.data.data(), m.data.size()), "write data");
    // The previous sequence's translations are of other code at the same addresses.
    check(uc_ctl_remove_cache(uc_, kCodeBase, kCodeBase + kCodeSize), "drop translations");
    UnicornRegisters regs(uc_);
    load_registers(regs, m.cpu);

    Outcome out;
    bool thumb = m.cpu.cpsr & (1u << 5);
    uc_err err = uc_emu_start(uc_, m.cpu.pc | (thumb ? 1 : 0), program.end, 0, kInstructionLimit);
    out.cpu = read_registers(regs);
    if (err != UC_ERR_OK)
        out.error = std::string("stopped at ") + std::to_string(out.cpu.pc) + ": " + uc_strerror(err);
    else if (out.cpu.pc != program.end)
        out.error = "did not reach the end";
    out.data.resize(kDataSize);
    check(uc_mem_read(uc_, kDataBase, out.data.data(), out.data.size()), "read data");
    out.code.resize(kCodeSize);
    check(uc_mem_read(uc_, kCodeBase, out.code.data(), out.code.size()), "read code");
    return out;
}

}  // namespace diff
