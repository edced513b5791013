// Our core running a generated sequence, set up exactly as the oracle is.
#pragma once

#include <memory>

#include "sim/core/arm7tdmi.h"
#include "tests/core/diff_generator.h"
#include "tests/core/refusing_bus.h"

namespace diff {

class CoreRunner {
public:
    // With host_code_after, runs get host code at that start (else never),
    // and each sequence runs twice: the second time, which is the one
    // compared, from code decoded by the first, so that code run once
    // gets host code as well. With wait states, code is read as from flash
    // (a wait state, through the read buffers); without, the memories'
    // timing varies from sequence to sequence.
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
    // The memories' timing of a sequence: host code must charge what the
    // interpreter charges for every kind of cycle, so S and N, code and
    // data and the read buffers all cost differently in some sequences.
    void set_timing(unsigned timing);
    // The sequence's initial state; `fresh`: its code decoded anew.
    void start(const Program &program, bool fresh);
    Outcome execute(const Program &program);
    EndBus bus_;
    unsigned timing_ = ~0u;
    std::vector<uint8_t> code_, data_;
    std::unique_ptr<sim::Arm7tdmi> core_;
    uint64_t cycles_ = 0, instructions_ = 0;
    bool warm_, flash_;
};

}  // namespace diff
