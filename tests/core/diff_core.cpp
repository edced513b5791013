#include "tests/core/diff_core.h"

#include <algorithm>
#include <cstdio>

namespace diff {

namespace {

constexpr unsigned kInstructionLimit = 4096;

class CoreRegisters : public RegisterAccess {
public:
    explicit CoreRegisters(sim::Arm7tdmi &core) : core_(core) {}
    uint32_t reg(int n) override { return core_.reg(n); }
    void set_reg(int n, uint32_t v) override { core_.set_reg(n, v); }
    uint32_t cpsr() override { return core_.cpsr(); }
    void set_cpsr(uint32_t v) override { core_.set_cpsr(v); }
    uint32_t spsr() override { return core_.spsr(); }
    void set_spsr(uint32_t v) override { core_.set_spsr(v); }

private:
    sim::Arm7tdmi &core_;
};

}  // namespace

CoreRunner::CoreRunner() : code_(kCodeSize), data_(kDataSize)
{
    core_ = std::make_unique<sim::Arm7tdmi>(bus_);
    core_->set_regions({{kCodeBase, kCodeSize, code_.data(), true, 0, 0, false},
                        {kDataBase, kDataSize, data_.data(), true, 0, 0, false}});
}

CoreRunner::~CoreRunner() = default;

Outcome CoreRunner::run(const Program &program)
{
    const MachineState &m = program.initial;
    std::copy(m.code.begin(), m.code.end(), code_.begin());
    std::copy(m.data.begin(), m.data.end(), data_.begin());
    core_->invalidate_code(kCodeBase, kCodeSize);
    core_->reset();
    CoreRegisters regs(*core_);
    load_registers(regs, m.cpu);

    uint64_t taken[6] = {};
    static const sim::Exception kinds[6] = {sim::Exception::Undefined, sim::Exception::SoftwareInterrupt,
                                            sim::Exception::PrefetchAbort, sim::Exception::DataAbort,
                                            sim::Exception::Irq, sim::Exception::Fiq};
    for (int k = 0; k < 6; ++k)
        taken[k] = core_->exceptions_taken(kinds[k]);
    Outcome out;
    unsigned n = 0;
    while (core_->pc() != program.end && n++ < kInstructionLimit && out.error.empty()) {
        uint32_t pc = core_->pc();
        core_->step();
        for (int k = 0; k < 6; ++k)
            if (core_->exceptions_taken(kinds[k]) != taken[k]) {
                char b[96];
                snprintf(b, sizeof b, "%s at %08x", sim::exception_name(kinds[k]), pc);
                out.error = b;
            }
    }
    out.cpu = read_registers(regs);
    if (out.error.empty() && out.cpu.pc != program.end)
        out.error = "did not reach the end";
    out.data = data_;
    return out;
}

}  // namespace diff
