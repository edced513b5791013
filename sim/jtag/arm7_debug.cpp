#include "sim/jtag/arm7_debug.h"

#include "sim/jtag/instruction_cycles.h"

namespace jtag {

namespace {

uint32_t reverse32(uint32_t v)
{
    uint32_t r = 0;
    for (int i = 0; i < 32; ++i, v >>= 1)
        r = (r << 1) | (v & 1);
    return r;
}

constexpr uint32_t kNoRegister = ~0u;

// Bytes and halfwords appear on every lane of the 32-bit data bus.
uint32_t on_bus(uint32_t value, unsigned size)
{
    if (size == 1) return (value & 0xFF) * 0x01010101u;
    if (size == 2) return (value & 0xFFFF) * 0x00010001u;
    return value;
}

}  // namespace

// Debug speed: the instruction's data comes from, and goes to, scan chain 1.
class Arm7Debug::DataBus : public sim::CoreBus {
public:
    DataBus(std::deque<uint32_t> &reads, std::deque<uint32_t> &writes) : reads_(reads), writes_(writes) {}
    bool read(uint32_t, unsigned, uint64_t, uint32_t &value, unsigned &wait) override
    {
        wait = 0;
        value = 0;
        if (!reads_.empty()) {
            value = reads_.front();
            reads_.pop_front();
        }
        return true;
    }
    bool write(uint32_t, unsigned size, uint64_t, uint32_t value, unsigned &wait) override
    {
        wait = 0;
        writes_.push_back(on_bus(value, size));
        return true;
    }

private:
    std::deque<uint32_t> &reads_, &writes_;
};

Arm7Debug::Arm7Debug(DebugCore &core, sim::DebugChannel &channel) : core_(core), ice_(channel) {}

bool Arm7Debug::thumb() const { return core_.cpsr() & sim::kCpsrT; }

ShiftRegister Arm7Debug::capture_dr()
{
    switch (ir_) {
    case kIdcodeInstruction: return {kIdcode, 32};
    case kScanN: return {0x8, 4};
    case kIntest:
    case kExtest:
        if (chain_ == 1) return {(watch_capture_ ? 1u : 0u) | uint64_t{reverse32(bus_)} << 1, 33};
        if (chain_ == 2) {
            if (ice_selected_ == kNoRegister) return {0, 38};
            EmbeddedIce::CoreView view{debug_state_, false, thumb(), !(core_.cpsr() & sim::kCpsrI)};
            return {ice_.read(ice_selected_, view) | uint64_t{ice_selected_} << 32, 38};
        }
        return {0, 1};
    default: return {0, 1};
    }
}

void Arm7Debug::update_dr(const ShiftRegister &shifted)
{
    if (ir_ == kScanN) {
        chain_ = static_cast<uint32_t>(shifted.bits & 0xF);
        return;
    }
    if (ir_ != kIntest && ir_ != kExtest) return;
    if (chain_ == 1) {
        bus_ = reverse32(static_cast<uint32_t>(shifted.bits >> 1));
        breakpt_ = shifted.bits & 1;
        watch_capture_ = false;
    } else if (chain_ == 2) {
        uint32_t data = static_cast<uint32_t>(shifted.bits);
        uint32_t address = static_cast<uint32_t>(shifted.bits >> 32) & 0x1F;
        if (!((shifted.bits >> 37) & 1)) {
            ice_selected_ = address;
            return;
        }
        ice_selected_ = kNoRegister;
        ice_.write(address, data);
        update_watch();
        // DBGRQ is taken at the next instruction boundary: this is one.
        if (halt_pending()) enter_debug_state(Entry::Request);
    }
}

void Arm7Debug::enter_run_test_idle()
{
    if (ir_ == kRestart)
        restart();
    else if (ir_ == kIntest && chain_ == 1 && debug_state_)
        clock_core();
}

void Arm7Debug::tap_reset() { ir_ = kIdcodeInstruction; }

void Arm7Debug::trst(bool asserted)
{
    tap_.set_trst(asserted);
    if (asserted) {
        ice_.reset();
        update_watch();
        chain_ = 0;
        ice_selected_ = kNoRegister;
    }
}

void Arm7Debug::update_watch()
{
    core_.set_watch(ice_.watching() ? static_cast<sim::DebugWatch *>(this) : nullptr);
}

bool Arm7Debug::fetched(uint32_t address, uint32_t word, bool is_thumb, bool privileged)
{
    return ice_.matches({address, word, false, is_thumb ? 2u : 4u, true, privileged});
}

bool Arm7Debug::accessed(uint32_t address, unsigned size, bool write, uint32_t value, bool privileged)
{
    return ice_.matches({address, on_bus(value, size), write, size, false, privileged});
}

// ---- debug state ----

void Arm7Debug::enter_debug_state(Entry why)
{
    const bool was = debug_state_;
    debug_state_ = true;
    // The fetch address carries on three instructions past the one to go
    // on with after a breakpoint or a watchpoint, two after a debug request
    // or a system-speed access.
    const bool comparator = why == Entry::Breakpoint || why == Entry::Watchpoint;
    fetch_address_ = core_.next_pc() + (comparator ? 3 : 2) * step();
    execute_ = decode_ = fetched_ = Slot{};
    cycles_.clear();
    reads_.clear();
    writes_.clear();
    refilled_ = false;
    cycle_ = Cycle::Fetch;
    watch_capture_ = why == Entry::Watchpoint;
    if (!was && listener_) listener_(true);
}

void Arm7Debug::leave_debug_state()
{
    debug_state_ = false;
    ice_.clear_chain();
    if (listener_) listener_(false);
    if (halt_pending()) enter_debug_state(Entry::Request);
}

void Arm7Debug::core_reset()
{
    if (debug_state_) {
        debug_state_ = false;
        if (listener_) listener_(false);
    }
    ice_.clear_chain();
}

void Arm7Debug::clock_core()
{
    // The cycle under way ends with what is on the bus now.
    switch (cycle_) {
    case Cycle::Fetch:
    case Cycle::Refill: {
        uint32_t word = bus_;
        if (thumb()) word = (fetch_address_ & 2) ? bus_ >> 16 : bus_ & 0xFFFF;
        Slot s{word, fetch_address_, breakpt_, true};
        if (cycle_ == Cycle::Fetch)
            fetched_ = s;
        else
            refill_[refills_done_++ & 1] = s;
        fetch_address_ += step();
        break;
    }
    case Cycle::Read:
        reads_.push_back(bus_);
        if (reads_.size() == reads_wanted_) run_execute_stage();
        break;
    case Cycle::Write:
    case Cycle::Internal: break;
    }
    start_next_cycle();
}

void Arm7Debug::start_next_cycle()
{
    if (!cycles_.empty()) {
        cycle_ = cycles_.front();
        cycles_.pop_front();
        if (cycle_ == Cycle::Write && !writes_.empty()) {
            bus_ = writes_.front();   // the core drives the bus: chain 1 captures it
            writes_.pop_front();
        }
        if (cycle_ == Cycle::Refill && refills_done_ == 0) fetch_address_ = refill_target_;
        return;
    }
    // The instruction in execute is done: the pipeline moves on.
    if (refilled_) {
        execute_ = refill_[0];
        decode_ = refill_[1];
    } else {
        execute_ = decode_;
        decode_ = fetched_;
    }
    fetched_ = Slot{};
    begin_instruction();
}

void Arm7Debug::begin_instruction()
{
    cycle_ = Cycle::Fetch;   // every instruction's first cycle fetches
    refilled_ = false;
    refills_done_ = 0;
    reads_.clear();
    writes_.clear();
    if (!execute_.valid) return;
    CycleShape shape = cycle_shape(execute_.word, thumb(), core_.cpsr());
    reads_wanted_ = shape.reads;
    internal_ = shape.internal;
    for (unsigned i = 0; i < shape.reads; ++i)
        cycles_.push_back(Cycle::Read);
    if (shape.reads == 0) run_execute_stage();   // a store's data is on the bus from its second cycle
}

void Arm7Debug::run_execute_stage()
{
    DataBus bus(reads_, writes_);
    refilled_ = core_.execute(execute_.word, execute_.address, &bus);
    for (size_t i = 0; i < writes_.size(); ++i)
        cycles_.push_back(Cycle::Write);
    for (unsigned i = 0; i < internal_; ++i)
        cycles_.push_back(Cycle::Internal);
    if (refilled_) {
        refill_target_ = core_.next_pc();   // fetched from once the instruction's own fetch is done
        cycles_.push_back(Cycle::Refill);
        cycles_.push_back(Cycle::Refill);
    }
}

void Arm7Debug::restart()
{
    if (!debug_state_) return;
    if (execute_.valid && execute_.tagged && decode_.valid) {
        const Slot s = decode_;
        const bool transfers = cycle_shape(s.word, thumb(), core_.cpsr()).transfers;
        core_.execute(s.word, s.address, nullptr);
        if (transfers) {
            enter_debug_state(Entry::SystemSpeed);
            return;
        }
        leave_debug_state();
        return;
    }
    // Nothing prepared: the core goes on from the instruction in decode.
    if (decode_.valid) core_.set_next_pc(decode_.address);
    leave_debug_state();
}

}  // namespace jtag
