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

CoreRunner::CoreRunner(unsigned host_code_after, bool wait_states)
    : code_(kCodeSize), data_(kDataSize), warm_(host_code_after != 0), flash_(wait_states)
{
    core_ = std::make_unique<sim::Arm7tdmi>(bus_);
    core_->set_host_code(warm_, host_code_after);
    bus_.core = core_.get();
}

void CoreRunner::set_timing(unsigned timing)
{
    struct Timing {
        uint8_t code_n, code_s;
        bool buffered;
        uint8_t data_n, data_s;
    };
    // None; S and N, code and data all different, without and with the
    // code's read buffers; code from flash (a wait state, through the buffers).
    static constexpr Timing kTimings[] = {{0, 0, false, 0, 0}, {2, 1, false, 3, 1}, {2, 1, true, 3, 1}, {1, 1, true, 0, 0}};
    if (flash_) timing = 3;
    if (timing == timing_) return;
    timing_ = timing;
    const Timing &t = kTimings[timing];
    core_->set_regions({{kCodeBase, kCodeSize, code_.data(), true, t.code_n, t.code_s, t.buffered},
                        {kDataBase, kDataSize, data_.data(), true, t.data_n, t.data_s, false}});
}

CoreRunner::~CoreRunner() = default;

void CoreRunner::start(const Program &program, bool fresh)
{
    const MachineState &m = program.initial;
    std::copy(m.data.begin(), m.data.end(), data_.begin());
    if (fresh) {
        std::copy(m.code.begin(), m.code.end(), code_.begin());
        core_->invalidate_code(kCodeBase, kCodeSize);
    } else {
        // Only the words the sequence rewrote are decoded anew.
        for (uint32_t at = 0; at < kCodeSize; at += 4) {
            if (std::equal(m.code.begin() + at, m.code.begin() + at + 4, code_.begin() + at)) continue;
            std::copy(m.code.begin() + at, m.code.begin() + at + 4, code_.begin() + at);
            core_->invalidate_code(kCodeBase + at, 4);
        }
    }
    core_->reset();
    CoreRegisters regs(*core_);
    load_registers(regs, m.cpu);
}

Outcome CoreRunner::run(const Program &program)
{
    set_timing(program.seed % 3);
    start(program, true);
    if (warm_) {
        execute(program);
        start(program, false);
    }
    return execute(program);
}

Outcome CoreRunner::execute(const Program &program)
{
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
    CoreRegisters regs(*core_);
    out.cpu = read_registers(regs);
    if (out.error.empty() && (stop != sim::Arm7tdmi::Stop::Requested || out.cpu.pc != program.end + 4))
        out.error = "did not reach the end";
    out.cpu.pc -= 4;   // past the end marker
    out.data = data_;
    out.code = code_;
    return out;
}

}  // namespace diff
