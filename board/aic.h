// Advanced Interrupt Controller, after the chip's documentation.
//
// - 32 sources. SMR[n]: priority in bits 0..2 (7 highest), source type in
//   bits 5..6. Internal sources 1..29 are high-level (type 0 or 2) or
//   rising-edge (1 or 3) sensitive; the external sources 0 (FIQ), 30 and 31
//   are low-level (0), falling-edge (1), high-level (2) or rising-edge (3).
// - IPR shows what is pending whether enabled or not: the line itself for a
//   level source, the edge detector's latch for an edge source. ICCR and ISCR
//   clear and set the latch of edge sources; on level sources they do nothing.
//   IECR/IDCR/IMR enable and disable.
// - nIRQ is asserted while some source 1..31 is pending and enabled with a
//   priority above the level in service (any priority when none is).
//   Reading IVR (normal mode) picks the highest such priority, the lowest
//   source number among equals, pushes its level on the 8-deep stack, sets
//   ISR, acknowledges it (clears the latch of an edge source) and returns its
//   SVR; with nothing to pick it returns SPU and pushes nothing. Writing EOICR
//   pops the stack. Source 0 never reaches nIRQ.
// - Protect mode (DCR.PROT): an IVR read only computes the answer and
//   remembers the source; the IVR write pushes and acknowledges it. An IVR
//   write in normal mode does nothing (the board's IRQ entry writes it back).
// - nFIQ is asserted while source 0 is pending and enabled. Reading FVR
//   returns SVR[0] and clears source 0 if it is edge-triggered.
// - Fast forcing (FFER/FFDR, FFSR; bit 0 is always 0): a forced source 1..31
//   that is pending and enabled drives nFIQ instead of nIRQ; IVR never picks
//   it, and neither an IVR nor an FVR read clears its edge (ICCR does).
// - DCR.GMSK masks both nIRQ and nFIQ. Register reset values are 0.
// - The outputs are synchronised to the master clock: from a source's change
//   to nIRQ (or nFIQ) the worst case is 3.5 cycles for a level-sensitive
//   source and 4.5 for an edge-triggered one. The model always takes the
//   worst case, so that what runs here runs on every chip.
//
// Where the documentation is silent:
// - nirq() and nfiq() are true while the request is asserted (the active-low
//   line is driven low), as CISR shows them.
// - After EOICR, ISR names the interrupt that is in service again (the one
//   that had been preempted), or 0 when the stack is empty.
// - The source lines are wires from the other peripherals and pins: reset
//   clears the edge latches but keeps the lines' levels. Until something
//   drives them, internal lines are low and the external lines 0, 30 and 31
//   high (inactive for their reset type, low-level), as a pin held by its
//   pull-up would be.
// - Changing a source to a level type drops its edge latch.
// - The latency applies to every rise of a request, whatever made it (a
//   source line, ISCR, IECR, the end of a higher level's service, GMSK
//   cleared), by the type of the source that now requests: for nIRQ the one
//   IVR would pick, for nFIQ source 0 or else the lowest forced source. The
//   external sources (0, 30, 31) are given the internal sources' figures;
//   their pin synchronisation is not modelled apart. A request that falls
//   takes its output down at once (IVR's read de-asserts nIRQ), and one that
//   falls before its latency has passed never reaches the output.
// - The half cycle lands on the next master-clock edge: an output rises at
//   the first cycle boundary at least 3.5 (4.5) periods after the change,
//   which is 4 (5) cycles after a register write or an event that falls on
//   a cycle's start. The core samples it at its next instruction boundary.
// - A 9th push (impossible with eight priority levels unless
//   protect mode is misused) is logged and dropped, as is an EOICR write with
//   nothing in service.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "board/clock.h"
#include "board/log.h"
#include "board/register_map.h"
#include "board/state.h"

namespace board {

class Aic : public MappedDevice {
public:
    static constexpr unsigned kSources = 32;
    static constexpr unsigned kStackDepth = 8;

    Aic(Clock &clock, Log &log);
    ~Aic() override;
    Aic(const Aic &) = delete;
    Aic &operator=(const Aic &) = delete;

    void reset() override;

    // Level of source line n (true = electrically high).
    void set_source(unsigned n, bool level);

    bool nirq() const { return nirq_; }
    bool nfiq() const { return nfiq_; }
    // Called with both outputs whenever either changes.
    using Listener = std::function<void(bool nirq, bool nfiq)>;
    void add_listener(Listener l) { listeners_.push_back(std::move(l)); }

    // State, for views and tests.
    uint32_t pending() const;
    uint32_t enabled() const { return imr_; }
    unsigned stack_depth() const { return static_cast<unsigned>(stack_.size()); }
    // Priority in service, or -1 when none is.
    int current_level() const { return stack_.empty() ? -1 : stack_.back().priority; }
    // The master-clock cycle (Clock::cycles()) at which the request behind
    // nIRQ's last rise began: for traces that measure from the source.
    uint64_t irq_request_cycle() const { return irq_request_cycle_; }

private:
    // Register offsets and bits, by the datasheet's names.
    enum : uint32_t {
        SMR = 0x000, SVR = 0x080,
        IVR = 0x100, FVR = 0x104, ISR = 0x108, IPR = 0x10C, IMR = 0x110, CISR = 0x114,
        IECR = 0x120, IDCR = 0x124, ICCR = 0x128, ISCR = 0x12C, EOICR = 0x130, SPU = 0x134,
        DCR = 0x138, FFER = 0x140, FFDR = 0x144, FFSR = 0x148,
    };
    static constexpr uint32_t kPrior = 0x7;
    static constexpr uint32_t kSrcType = 0x60;
    static constexpr uint32_t kSmrMask = kPrior | kSrcType;
    static constexpr uint32_t kProt = 0x1, kGmsk = 0x2;
    // FIQ, IRQ0 and IRQ1 come from pins; the others from on-chip peripherals.
    static constexpr uint32_t kExternal = (1u << 0) | (1u << 30) | (1u << 31);

    struct InService {
        unsigned source;
        int priority;
    };

    bool is_edge(unsigned n) const;
    bool line_active(unsigned n) const;
    std::optional<unsigned> candidate() const;
    uint32_t vector_for(std::optional<unsigned> source) const;
    void start_service(unsigned n);
    void end_service();
    bool irq_request() const;
    uint32_t fiq_requesters() const;
    void on_irq_due();
    void on_fiq_due();
    // The synchronisation latency for a request from source n, in picoseconds.
    Picos latency(unsigned n) const;
    void update_outputs();
    void set_outputs(bool nirq, bool nfiq);
    uint32_t read_ivr();
    void write_ivr();
    uint32_t read_fvr();

    Clock &clock_;
    Log &log_;
    std::vector<Listener> listeners_;

    std::array<uint32_t, kSources> smr_{}, svr_{};
    uint32_t lines_;
    uint32_t edge_latch_ = 0;
    uint32_t imr_ = 0, spu_ = 0, dcr_ = 0, ffsr_ = 0;
    uint32_t isr_ = 0;
    std::vector<InService> stack_;
    std::optional<unsigned> remembered_;   // protect mode: picked by the IVR read
    bool nirq_ = false, nfiq_ = false;
    // Requests on their way to the outputs.
    Clock::EventId irq_event_ = 0, fiq_event_ = 0;
    uint64_t irq_request_cycle_ = 0;
};

}  // namespace board
