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
// - A 9th push (impossible with eight priority levels unless
//   protect mode is misused) is logged and dropped, as is an EOICR write with
//   nothing in service.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "board/log.h"
#include "board/register_map.h"

namespace board {

class Aic : public MappedDevice {
public:
    static constexpr unsigned kSources = 32;
    static constexpr unsigned kStackDepth = 8;

    explicit Aic(Log &log);

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

private:
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
    void update_outputs();
    uint32_t read_ivr();
    void write_ivr();
    uint32_t read_fvr();

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
};

}  // namespace board
