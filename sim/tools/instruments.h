// Everything the command line asks to record about a run (traces, the
// end-of-run summary, waveforms), behind the few calls a run loop makes:
//   block()        at every branch target, before it runs
//   instruction()  for every instruction, only when wants_instructions(),
//                  with the time it started; returns its length
//   exception()    when the core takes an exception
//   nirq()         when the interrupt controller's nIRQ output changes, with
//                  the cycle its request began (before the synchronisation)
//   finish()       once, at the end: summary, files completed
// Peripheral accesses and the interrupt vector reads are taken from the bus.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "board/bus.h"
#include "board/clock.h"
#include "board/pins.h"
#include "sim/tools/board_waves.h"
#include "sim/tools/capped_stream.h"
#include "sim/tools/insn_trace.h"
#include "sim/tools/irq_trace.h"
#include "sim/tools/output_file.h"
#include "sim/tools/run_summary.h"
#include "sim/tools/trace.h"

namespace simtools {

class Instruments {
public:
    struct Options {
        unsigned trace_kinds = 0;    // kTrace* bits
        std::string trace_file;      // empty: the error stream given to open()
        uint64_t trace_limit = kDefaultTraceLimit;   // bytes of trace lines; 0: no limit
        std::string vcd_file;        // empty: no waveforms
        unsigned vcd_groups = kWavesAll;
    };

    // An instruction trace grows by tens of megabytes per second of wall time.
    static constexpr uint64_t kDefaultTraceLimit = uint64_t(1) << 30;

    // The address of the AIC's vector register: its reads name the handler.
    static constexpr uint32_t kAicIvr = 0xFFFFF100;

    // Must live as long as the bus and the nets report to it.
    Instruments(board::Bus &bus, board::Pins &pa, board::Clock &clock);

    bool open(const Options &options, std::ostream &fallback, std::string &error);
    // The instruction making a peripheral access to `address`, for the lines
    // of the mmio trace.
    void set_pc_source(std::function<uint32_t(uint32_t address)> pc) { pc_ = std::move(pc); }
    // Cycles and time as the core has counted them (a run loop may charge
    // the board's clock in batches); the board's clock by default.
    void set_time_source(std::function<uint64_t()> cycles, std::function<board::Picos()> now)
    {
        cycles_ = std::move(cycles);
        now_ = std::move(now);
    }

    bool active() const { return tracing_ || waves_ != nullptr; }
    bool wants_blocks() const { return tracing_; }
    bool wants_instructions() const { return insn_ != nullptr; }

    void block(uint32_t pc, uint32_t cpsr, uint32_t sp);
    size_t instruction(uint32_t pc, board::Picos started, const uint8_t *code, size_t available, bool thumb);
    void exception(uint32_t new_cpsr, uint32_t resume_address, uint32_t old_cpsr);
    void nirq(bool asserted, uint64_t requested_cycle);
    // A run that does not start at power-on (from a snapshot): the waveform's
    // nIRQ starts at its level. The interrupt trace follows the interrupts
    // asserted from then on.
    void start_levels(bool nirq_asserted)
    {
        if (waves_ && nirq_asserted) waves_->set_nirq_level(false);
    }

    // See RunSummary.
    void set_stack_region(uint32_t low, uint32_t high) { summary_.set_stack_region(low, high); }
    void restart_stack(uint32_t mode) { summary_.restart_stack(mode); }
    void set_rules(const board::Rules *rules) { summary_.set_rules(rules); }

    // Writes the summary (when tracing) and completes the files.
    bool finish(uint64_t instructions, std::string &error);

    const IrqTrace &irq() const { return irq_; }
    const RunSummary &summary() const { return summary_; }

private:
    void access(const board::Access &a);

    board::Bus &bus_;
    board::Pins &pa_;
    board::Clock &clock_;
    std::function<uint32_t(uint32_t)> pc_;
    std::function<uint64_t()> cycles_;
    std::function<board::Picos()> now_;
    uint64_t cycles() const { return cycles_ ? cycles_() : clock_.cycles(); }
    board::Picos now() const { return now_ ? now_() : clock_.now(); }
    bool tracing_ = false;
    bool finished_ = false;
    unsigned kinds_ = 0;
    std::ostream *out_ = nullptr;          // trace lines, through the cap
    std::ostream *unlimited_ = nullptr;    // the same file, for the summary
    std::ostream *fallback_ = nullptr;
    std::unique_ptr<CappedBuffer> cap_;
    std::unique_ptr<std::ostream> capped_;
    OutputFile trace_file_, vcd_file_;
    std::unique_ptr<MmioTrace> mmio_;
    std::unique_ptr<InsnTrace> insn_;
    IrqTrace irq_{nullptr};
    RunSummary summary_;
    std::unique_ptr<BoardWaves> waves_;
};

}  // namespace simtools
