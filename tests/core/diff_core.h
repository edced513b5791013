// Our core running a generated sequence, set up exactly as the oracle is.
#pragma once

#include <memory>

#include "sim/core/arm7tdmi.h"
#include "tests/core/diff_generator.h"
#include "tests/core/refusing_bus.h"

namespace diff {

class CoreRunner {
public:
    // With host_code_after, runs get host code at that start (else never);
    // with wait states, code is read as from flash (a wait state, through
    // the read buffers).
    explicit CoreRunner(unsigned host_code_after = 0, bool wait_states = false);
    ~CoreRunner();
    CoreRunner(const CoreRunner &) = delete;
    CoreRunner &operator=(const CoreRunner &) = delete;

    Outcome run(const Program &program);
    // Of the last run.
    uint64_t cycles() const { return cycles_; }
    uint64_t instructions() const { return instructions_; }

private:
    // Nothing outside the code and data memories but the end marker's
    // store, which stops the run: any other access there aborts, which a
    // well-defined sequence never makes.
    struct EndBus : coretest::RefusingBus {
        sim::Arm7tdmi *core = nullptr;
        bool write(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait) override;
    };
    EndBus bus_;
    std::vector<uint8_t> code_, data_;
    std::unique_ptr<sim::Arm7tdmi> core_;
    uint64_t cycles_ = 0, instructions_ = 0;
};

}  // namespace diff
