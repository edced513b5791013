// What the machine keeps between runs, declared for snapshots (see
// Machine::save). The core's limits, the regions and the interrupt lines
// follow from the restored board and are worked out again.
#include "sim/machine/machine.h"

namespace sim {

namespace {

void save_fault(board::StateWriter &w, const GuestFault &f)
{
    w.text(f.what);
    w.u32(f.pc);
    w.u32(f.data_address);
    w.bytes(&f.registers, sizeof f.registers);
    w.u64(f.time);
    w.text(f.where);
}

GuestFault restore_fault(board::StateReader &r)
{
    GuestFault f;
    f.what = r.text();
    f.pc = r.u32();
    f.data_address = r.u32();
    r.bytes(&f.registers, sizeof f.registers);
    f.time = r.u64();
    f.where = r.text();
    return f;
}

}  // namespace

void Machine::declare_state()
{
    state_
        .custom(
            "RAM", [this](board::StateWriter &w) { w.bytes(memory_.ram(), MemoryMap::kRamSize); },
            [this](board::StateReader &r) {
                r.bytes(memory_.ram(), MemoryMap::kRamSize);
                // The memories the core reaches, from the memory controller
                // and the flash as restored, before the core's own state.
                regions_key_ = ~0u;
                update_regions();
            },
            nullptr)
        .part(core_.state())
        .custom(
            "parked at",
            [this](board::StateWriter &w) {
                w.u8(parked_at_.has_value());
                w.u32(parked_at_.value_or(0));
            },
            [this](board::StateReader &r) {
                bool parked = r.u8();
                uint32_t pc = r.u32();
                parked_at_ = parked ? std::optional<uint32_t>(pc) : std::nullopt;
            },
            [this] { parked_at_.reset(); })
        .field("parked mode", parked_mode_)
        .field("parked since", parked_since_)
        .field("parked resets", parked_resets_)
        .field("parked last reset", parked_last_reset_)
        .field("debugger service wanted", serve_wanted_)
        .custom(
            "faults",
            [this](board::StateWriter &w) {
                w.u64(fault_count_);
                w.u32(static_cast<uint32_t>(faults_.size()));
                for (const GuestFault &f : faults_)
                    save_fault(w, f);
                save_fault(w, last_fault_);
            },
            [this](board::StateReader &r) {
                fault_count_ = r.u64();
                uint32_t n = r.u32();
                if (n > kKeptFaults)
                    r.fail("machine: more faults than are kept");
                faults_.clear();
                for (uint32_t i = 0; i < n; ++i)
                    faults_.push_back(restore_fault(r));
                last_fault_ = restore_fault(r);
            },
            [this] {
                faults_.clear();
                fault_count_ = 0;
                last_fault_ = GuestFault{};
            })
        .custom(
            "rule checks", [this](board::StateWriter &w) { board_.log.rules.save(w); },
            [this](board::StateReader &r) { board_.log.rules.restore(r); }, [this] { board_.log.rules.clear(); });
}

void Machine::restore(board::StateReader &r)
{
    board_.restore(r);
    if (!r.at_end())
        r.fail("machine: " + std::to_string(r.left()) + " bytes more than its parts hold");
    core_.set_interrupt_lines(board_.aic.nirq(), board_.aic.nfiq());
    note_next_event();
    clock_leads_ = false;
    stop_wanted_ = false;
}

}  // namespace sim
