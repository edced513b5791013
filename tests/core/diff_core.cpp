#include "tests/core/diff_core.h"

#include <algorithm>
#include <string>

namespace diff {

namespace {

// Far more cycles than a sequence takes (its loops included).
constexpr uint64_t kCycleLimit = 100'000'000;

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

bool CoreRunner::EndBus::write(uint32_t address, unsigned, uint64_t, uint32_t, unsigned &wait)
{
    wait = 0;
    if (address - (kCodeBase + kCodeSize) >= kCodeSize)
        return false;
    core->request_stop();
    return true;
}

CoreRunner::CoreRunner(unsigned host_code_after, bool wait_states) : code_(kCodeSize), data_(kDataSize)
{
    core_ = std::make_unique<sim::Arm7tdmi>(bus_);
    core_->set_host_code(host_code_after != 0, host_code_after);
    bus_.core = core_.get();
    const uint8_t wait = wait_states ? 1 : 0;
    core_->set_regions({{kCodeBase, kCodeSize, code_.data(), true, wait, wait, wait_states},
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

    static const sim::Exception kinds[6] = {sim::Exception::Undefined, sim::Exception::SoftwareInterrupt,
                                            sim::Exception::PrefetchAbort, sim::Exception::DataAbort,
                                            sim::Exception::Irq, sim::Exception::Fiq};
    uint64_t taken[6];
    for (int k = 0; k < 6; ++k)
        taken[k] = core_->exceptions_taken(kinds[k]);
    // run(), as the simulator runs the core: its delay-loop fast-forward
    // takes the sequence's loops.
    const uint64_t cycles = core_->cycles(), instructions = core_->instructions();
    sim::Arm7tdmi::Stop stop = core_->run(core_->cycles() + kCycleLimit);
    cycles_ = core_->cycles() - cycles;
    instructions_ = core_->instructions() - instructions;
    Outcome out;
    for (int k = 0; k < 6; ++k)
        if (core_->exceptions_taken(kinds[k]) != taken[k] && out.error.empty())
            out.error = std::string("took a ") + sim::exception_name(kinds[k]);
    out.cpu = read_registers(regs);
    if (out.error.empty() && (stop != sim::Arm7tdmi::Stop::Requested || out.cpu.pc != program.end + 4))
        out.error = "did not reach the end";
    out.cpu.pc -= 4;   // past the end marker
    out.data = data_;
    out.code = code_;
    return out;
}

}  // namespace diff
