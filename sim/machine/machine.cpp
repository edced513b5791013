#include "sim/machine/machine.h"

#include <algorithm>
#include <cstring>


namespace sim {

namespace {

// A read of the flash while its controller runs a command: one rule, told
// with the master that made the read.
board::Rule flash_busy_read(const std::string &reader)
{
    return {"EFC", "flash read while a flash command runs", board::Rule::AtMost, 0, "reads",
            "flash controller: the array cannot be read until FRDY; read by " + reader};
}
const board::Rule kFlashBusyRead = flash_busy_read("the core");
const board::Rule kFlashBusyReadByPdc = flash_busy_read("the PDC");
const board::Rule kFlashBusyReadByMonitor = flash_busy_read("the boot monitor");
constexpr uint32_t kResetCpsr = 0xD3;
constexpr board::Picos kParkResolution = board::kPicosPerMs;   // supervisor, IRQ and FIQ masked, ARM

std::string hex(uint32_t v)
{
    return board::hex32(v);
}

// `b .` in either state: a loop only an exception can leave.
bool is_self_branch(const uint8_t *code, bool thumb)
{
    if (thumb)
        return code[0] == 0xFE && code[1] == 0xE7;
    return code[0] == 0xFE && code[1] == 0xFF && code[2] == 0xFF && code[3] == 0xEA;
}

// Several tools on the core's one observer slot.
class FanOut : public ExecutionObserver {
public:
    explicit FanOut(std::vector<ExecutionObserver *> to) : to_(std::move(to)) {}
    void executed(uint32_t pc, bool thumb, uint32_t encoding, bool passed, uint32_t cycles, uint32_t next_pc) override
    {
        for (auto *o : to_)
            o->executed(pc, thumb, encoding, passed, cycles, next_pc);
    }
    void exception(Exception e, uint32_t return_link, uint32_t old_cpsr) override
    {
        for (auto *o : to_)
            o->exception(e, return_link, old_cpsr);
    }
    void repeated(uint32_t first, uint32_t last, bool thumb, uint64_t iterations, uint64_t cycles) override
    {
        for (auto *o : to_)
            o->repeated(first, last, thumb, iterations, cycles);
    }
    void accessed(uint32_t pc, uint32_t address, unsigned size, bool write, uint32_t value) override
    {
        for (auto *o : to_)
            o->accessed(pc, address, size, write, value);
    }

private:
    std::vector<ExecutionObserver *> to_;
};

}  // namespace

Machine::Machine(board::Board &board) : board_(board), core_(*this)
{
    board_.bus.set_memory(&pdc_view_);
    // The debug unit shows the core's debug channel: COMMTX while the core
    // may write a word, COMMRX while one waits for it.
    core_.debug_channel().set_listener([this](uint32_t control) {
        board_.dbgu.set_comm_lines(!(control & DebugChannel::kW), (control & DebugChannel::kR) != 0);
    });
    // The AIC's outputs are wires into the core, sampled at every boundary.
    board_.aic.add_listener([this](bool nirq, bool nfiq) { core_.set_interrupt_lines(nirq, nfiq); });
    // The memory controller tells when the remap or the wait states change.
    board_.mc.set_map_listener([this] { update_regions(); });
    // Whoever changes memory, through whichever address: the core runs
    // what it holds now.
    memory_.set_change_listener([this](const uint8_t *host, uint32_t length) { core_.invalidate_host(host, length); });
    // Pages the flash controller programmed hold new code.
    board_.chip_flash.set_change_listener([this](uint32_t offset, uint32_t length) {
        memory_.changed(memory_.flash() + offset, length);
        core_.request_stop();
    });
    // A port of the core holds what the bus decoded its address to: it
    // must not outlive the bus's own.
    board_.bus.set_ports_listener([this] { close_ports(); });
    declare_state();
    board_.attach_state(state_);
    reset();
}

Machine::~Machine()
{
    board_.chip_flash.set_change_listener(nullptr);
    board_.mc.set_map_listener(nullptr);
    board_.bus.set_ports_listener(nullptr);
    if (board_.bus.memory() == &pdc_view_)
        board_.bus.set_memory(nullptr);
}

void Machine::load(const ElfImage &image)
{
    image_ = image;
    image.place(memory_);
    reset();
}

void Machine::reset()
{
    board_.reset();
    memory_.clear_ram();
    core_.reset();
    if (image_)
        image_->place_ram(memory_);   // through the memory map: decoded code follows
    if (image_ && !image_->has_reset_vector()) {
        // Nothing of the image at the reset vector: it starts at its entry
        // point, in the reset's mode, as a debugger starts what it loaded.
        uint32_t entry = image_->entry();
        core_.set_cpsr(kResetCpsr | ((entry & 1) ? kCpsrT : 0));
        core_.set_reg(15, entry & ~1u);
    }
    core_.set_fast_forward(!exact_);
    regions_key_ = ~0u;
    update_regions();
    core_.set_interrupt_lines(board_.aic.nirq(), board_.aic.nfiq());
    stop_wanted_ = false;
    if (agent_)
        agent_->core_reset();
    parked_at_.reset();
    next_park_look_ = 0;
    faults_.clear();
    fault_count_ = 0;
}

std::string Machine::describe(uint32_t address) const
{
    if (!image_)
        return "";
    // The vectors run from the flash mirror at 0: name them by their flash address.
    return image_->describe(memory_.in_flash(address) ? memory_.canonical(address) : address);
}

board::Picos Machine::time_of(uint64_t cycle) const
{
    const board::Clock &c = board_.clock;
    if (cycle >= c.cycles())
        return c.now() + c.cycles_to_picos(cycle - c.cycles());
    return c.now() - c.cycles_to_picos(c.cycles() - cycle);
}

// ---- memory map ----

void Machine::update_regions()
{
    unsigned fws = board_.mc.flash_wait_states();
    bool remapped = board_.mc.remapped();
    // While the flash controller runs a command the core cannot read the
    // flash: its accesses come to read(), which refuses them.
    bool flash_busy = board_.chip_flash.busy(board_.clock.now());
    unsigned key = fws | (remapped ? kRegionsRemapped : 0u) | (flash_busy ? kRegionsFlashBusy : 0u);
    if (key == regions_key_)
        return;
    regions_key_ = key;
    regions_flash_busy_ = flash_busy;
    memory_.set_remapped(remapped);

    MemoryMap::Timing flash = MemoryMap::flash_timing(fws);
    std::vector<MemoryRegion> regions;
    // Every copy of a memory within its 1 MiB area.
    auto flash_in = [&](uint32_t area) {
        if (flash_busy)
            return;
        for (uint32_t base = area; base < area + MemoryMap::kArea; base += MemoryMap::kFlashSize) {
            MemoryRegion r;
            r.base = base;
            r.size = MemoryMap::kFlashSize;
            r.host = memory_.flash();
            r.writable = false;   // stores go to flash_store()
            r.wait_n = flash.wait_n;
            r.wait_s = flash.wait_s;
            r.read_buffer = flash.read_buffer;
            regions.push_back(r);
        }
    };
    auto ram_in = [&](uint32_t area) {
        for (uint32_t base = area; base < area + MemoryMap::kArea; base += MemoryMap::kRamSize) {
            MemoryRegion r;
            r.base = base;
            r.size = MemoryMap::kRamSize;
            r.host = memory_.ram();
            regions.push_back(r);
        }
    };
    flash_in(MemoryMap::kFlashBase);
    ram_in(MemoryMap::kRamBase);
    if (remapped)
        ram_in(0);
    else
        flash_in(MemoryMap::kFlashMirror);
    core_.set_regions(regions);
}

void Machine::flash_store(uint32_t address, unsigned size, uint32_t value)
{
    // The array changes only by the flash controller's commands; a store
    // fills its page latch.
    board_.mc.efc().latch_store(address, value, size);
}

void Machine::perform_reset_order()
{
    auto order = board_.take_reset_order();
    if (!order)
        return;
    board_.perform_reset(*order);
    if (order->processor) {
        // The clock runs on through the reset; RAM keeps its contents.
        uint64_t cycles = core_.cycles();
        core_.reset();
        core_.add_cycles(cycles);
        board::Clock &c = board_.clock;
        unsigned __int128 fs = static_cast<unsigned __int128>(order->hold) * 1000;
        core_.add_cycles(static_cast<uint64_t>((fs + c.master_period_fs() - 1) / c.master_period_fs()));
        catch_up(core_.cycles());
        // A loop the core comes back to after the reset stays parked since
        // it was first entered; the reset is counted.
        ++parked_resets_;
        parked_last_reset_ = board_.clock.now();
        if (agent_)
            agent_->core_reset();
    }
    regions_key_ = ~0u;
    update_regions();
    core_.set_interrupt_lines(board_.aic.nirq(), board_.aic.nfiq());
}

// ---- the core's bus ----

void Machine::catch_up_with_events(uint64_t cycle)
{
    board::Clock &c = board_.clock;
    bool outer = clock_leads_;
    clock_leads_ = true;
    // Event by event, so that each fires with the clock at its own cycle
    // (the first cycle boundary at or after it).
    while (cycle > c.cycles()) {
        uint64_t n = cycle - c.cycles();
        if (board::Picos e = c.next_event_time(); e != board::Clock::kNever && e > c.now())
            n = std::min(n, std::max<uint64_t>(cycles_until(e), 1));
        c.advance_cycles(n);
    }
    note_next_event();
    clock_leads_ = outer;
}

uint64_t Machine::cycles_until(board::Picos t) const
{
    return board_.clock.cycles_until(t);
}

void Machine::note_next_event()
{
    board::Clock &c = board_.clock;
    limit_event_ = c.next_event_time();
    limit_period_fs_ = c.master_period_fs();
    next_event_cycle_ = limit_event_ != board::Clock::kNever ? c.cycles() + cycles_until(limit_event_) : ~uint64_t{0};
}

bool Machine::read(uint32_t address, unsigned size, uint64_t cycle, uint32_t &value, unsigned &wait)
{
    catch_up(cycle);
    wait = 0;
    if (memory_.in_flash(address)) {
        // Only while a flash command runs (else the core reads it itself).
        if (board_.chip_flash.busy(board_.clock.now())) {
            board_.log.rules.breach(kFlashBusyRead, 1);
            return false;
        }
        const uint8_t *p = memory_.host(address, size);
        if (!p)
            return false;
        value = 0;
        std::memcpy(&value, p, size);
        wait = board_.mc.flash_wait_states();
        return true;
    }
    clock_leads_ = true;
    value = board_.bus.read(address, size);
    bool refused = board_.bus.take_fault();
    clock_leads_ = false;
    after_access();
    return !refused;
}

bool Machine::write(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait)
{
    // Mostly a word to a port's register (a display's lines, an LED) with
    // no event due before it: the clock moves to the store's cycle and the
    // register takes the word. Whatever else goes the whole way round,
    // before anything is done.
    const board::Bus::Port *port = board_.bus.port_at(address, size);
    if (!port || memory_.in_flash(address) || !store_quietly(*port, cycle, value)) [[unlikely]]
        return write_otherwise(address, size, cycle, value, wait);
    wait = 0;
    if (this->port(address).address != address) open_port(address);
    return true;
}

// The port's register takes the word at `cycle`, unless an event falls due
// by then (false, nothing done).
inline bool Machine::store_quietly(const board::Bus::Port &port, uint64_t cycle, uint32_t value)
{
    board::Clock &c = board_.clock;
    if (cycle >= next_event_cycle_) [[unlikely]]
        return false;
    if (cycle > c.cycles() && !c.advance_cycles_quietly(cycle - c.cycles())) [[unlikely]]
        return false;
    clock_leads_ = true;
    port.write(value);
    clock_leads_ = false;
    after_access();
    return true;
}

bool Machine::store_at_port(const Port &p, uint64_t cycle, uint32_t value)
{
    const OpenPort &o = *static_cast<const OpenPort *>(p.owner);
    return o.machine->store_quietly(o.port, cycle, value);
}

void Machine::open_port(uint32_t address)
{
    // Never where the flash may show (its stores are the memory's).
    const board::Bus::Port *bus_port = board_.bus.port_at(address, 4);
    if (address / MemoryMap::kArea < 2 || !bus_port)
        return;
    OpenPort &o = open_ports_[(address >> 2) % kPorts];
    o = OpenPort{this, *bus_port};
    port_entry(address) = Port{address, &Machine::store_at_port, &o};
}

void Machine::close_ports()
{
    for (uint32_t i = 0; i < kPorts; ++i)
        port_entry(i * 4) = Port{};
}

bool Machine::write_otherwise(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait)
{
    catch_up(cycle);
    if (memory_.in_flash(address)) {
        wait = MemoryMap::flash_store_wait(board_.mc.flash_wait_states());
        flash_store(address, size, value);
        return true;
    }
    wait = 0;
    clock_leads_ = true;
    board_.bus.write(address, value, size);
    bool refused = board_.bus.take_fault();
    clock_leads_ = false;
    after_access();
    if (size == 4 && port(address).address != address)
        open_port(address);
    return !refused;
}

void Machine::after_access_changed()
{
    // A flash command starting or over (the remap and the wait states come
    // through the memory controller's map listener).
    if (board_.chip_flash.busy(board_.clock.now()) != regions_flash_busy_)
        update_regions();
    if (board_.reset_ordered())
        core_.request_stop();
    board::Clock &c = board_.clock;
    // The run's limit came from the next event and the clock's period: if
    // either changed, end the run here and compute a new one.
    if (c.next_event_time() != limit_event_ || c.master_period_fs() != limit_period_fs_) {
        note_next_event();
        core_.request_stop();
    }
}

void Machine::aborted(const AbortInfo &info)
{
    bool misaligned = info.cause == AbortCause::Misaligned;
    // A misaligned access to nothing is both.
    bool nothing = !memory_.host(info.address & ~3u, 1) && !board_.bus.is_mapped(info.address);
    // The flash refused while busy: there is something, correctly aligned.
    bool busy_flash = memory_.in_flash(info.address) && board_.chip_flash.busy(board_.clock.now());
    bool undefined = (info.cause == AbortCause::Undefined && !busy_flash) || nothing;
    board::Mc::AbortType type = info.kind == AccessKind::Fetch  ? board::Mc::AbortType::Fetch
                                : info.kind == AccessKind::Read ? board::Mc::AbortType::Read
                                                                : board::Mc::AbortType::Write;
    board_.mc.record_abort(board::Mc::kMasterCore, info.address, info.size, type, undefined, misaligned);

    Registers regs = core_.registers();
    regs.r[15] = info.pc;
    std::string what = info.kind == AccessKind::Fetch ? "prefetch abort" : "data abort";
    if (misaligned)
        what += " (misaligned)";
    else if (busy_flash)
        what += " (flash busy)";
    note_fault(what, info.pc, info.kind == AccessKind::Fetch ? 0 : info.address, regs);
}

void Machine::undefined(uint32_t pc, uint32_t cpsr)
{
    Registers regs = core_.registers();
    regs.r[15] = pc;
    regs.cpsr = cpsr;
    note_fault("undefined instruction", pc, 0, regs);
}

uint32_t Machine::spsr_of(Mode mode)
{
    // Through the mode's own view: a switch there and back only moves banks.
    uint32_t cpsr = core_.cpsr();
    if ((cpsr & 0x1F) == static_cast<uint32_t>(mode))
        return core_.spsr();
    core_.set_cpsr((cpsr & ~0x1Fu) | static_cast<uint32_t>(mode));
    uint32_t spsr = core_.spsr();
    core_.set_cpsr(cpsr);
    return spsr;
}

void Machine::note_fault(const std::string &what, uint32_t pc, uint32_t data_address, const Registers &registers)
{
    GuestFault f;
    f.what = what;
    f.pc = pc;
    f.data_address = data_address;
    f.registers = registers;
    f.time = now();
    f.where = describe(pc);
    std::string text = what + " at " + hex(pc) + (f.where.empty() ? "" : " (" + f.where + ")");
    if (what.rfind("data abort", 0) == 0)
        text += ", accessing " + hex(data_address);
    board_.log.warn("cpu", text + " in " + mode_name(registers.cpsr) + " mode");
    ++fault_count_;
    if (faults_.size() < kKeptFaults)
        faults_.push_back(f);
    last_fault_ = std::move(f);
}

bool Machine::flash_busy(uint32_t address) const
{
    return memory_.in_flash(address) && board_.chip_flash.busy(board_.clock.now());
}

bool Machine::PdcView::read8(uint32_t address, uint8_t &value)
{
    if (m_.flash_busy(address)) {
        // The memory controller aborts the read; the PDC has no abort input
        // and moves what the bus gave it (undefined on the chip, 0 here).
        m_.board_.log.rules.breach(kFlashBusyReadByPdc, 1);
        m_.board_.mc.record_abort(board::Mc::kMasterPdc, address, 1, board::Mc::AbortType::Read, false, false);
        m_.board_.log.warn("EFC", "the PDC read " + hex(address) + " while a flash command runs: aborted, 0 moved");
        value = 0;
        return true;
    }
    return m_.memory_.read8(address, value);
}

// ---- running ----

uint64_t Machine::cycle_limit(Goal goal)
{
    note_next_event();
    uint64_t now = board_.clock.cycles();
    uint64_t left = std::min(cycles_until(goal.time), goal.cycle > now ? goal.cycle - now : 0);
    uint64_t to_deadline = now + std::max<uint64_t>(left, 1);
    return std::min(to_deadline, std::max(next_event_cycle_, board_.clock.cycles() + 1));
}

void Machine::after_run()
{
    catch_up(core_.cycles());
    // A flash command may have ended.
    update_regions();
    // Only at whole milliseconds, so that where else a run ended (an
    // event, a front end's slice, a snapshot) changes nothing here: the
    // time a core entered its loop is known to a millisecond.
    board::Picos now = board_.clock.now();
    if (now < next_park_look_)
        return;
    next_park_look_ = (now / kParkResolution + 1) * kParkResolution;
    uint32_t pc = core_.pc();
    bool thumb = core_.thumb();
    const uint8_t *code = memory_.host(pc, thumb ? 2 : 4);
    uint32_t mode = core_.cpsr() & 0x1F;
    bool in_interrupt = mode == static_cast<uint32_t>(Mode::Irq) || mode == static_cast<uint32_t>(Mode::Fiq);
    if (code && is_self_branch(code, thumb)) {
        if (parked_at_ != pc || parked_mode_ != mode) {
            parked_at_ = pc;
            parked_mode_ = mode;
            parked_since_ = board_.clock.now();
            parked_resets_ = 0;
        }
    } else if (!(parked_at_ && in_interrupt && parked_mode_ != mode)) {
        // An interrupt handler returns to the loop: it stays parked since it
        // was entered.
        parked_at_.reset();
    }
}

Machine::Stop Machine::run_until(board::Picos deadline)
{
    return run_to({deadline, ~uint64_t{0}});
}

Machine::Stop Machine::run_to_cycle(uint64_t cycle)
{
    return run_to({~board::Picos{0}, cycle});
}

Machine::Stop Machine::run_to(Goal goal)
{
    bool first = true;
    for (;;) {
        if (stop_wanted_) {
            stop_wanted_ = false;
            return Stop::Requested;
        }
        do_timed();
        if (board_.clock.now() >= goal.time || board_.clock.cycles() >= goal.cycle)
            return Stop::Deadline;
        // The core resumes from a breakpoint at the start of its own run:
        // only the first run of this call may do that.
        if (!first && breakpoints_.count(core_.pc()))
            return Stop::Breakpoint;
        first = false;
        perform_reset_order();
        if (serve_wanted_ && agent_) {
            serve_wanted_ = false;
            agent_->serve();
            perform_reset_order();
        }
        // A timed action comes first: the run stops at its time. Runs also
        // end at every whole millisecond of virtual time, where the loop
        // looks for a parked core (see after_run).
        Goal until = goal;
        if (!timed_.empty()) until.time = std::min(goal.time, timed_.front().first);
        if (core_held()) {
            idle_until(until);
            continue;
        }
        until.time = std::min(until.time, next_park_look_);
        Arm7tdmi::Stop stop = core_.run(cycle_limit(until));
        after_run();
        switch (stop) {
        case Arm7tdmi::Stop::Breakpoint: return Stop::Breakpoint;
        case Arm7tdmi::Stop::Watchpoint: return Stop::Watchpoint;
        case Arm7tdmi::Stop::DebugBreakpoint:
        case Arm7tdmi::Stop::DebugWatchpoint:
            if (agent_) agent_->stopped(stop == Arm7tdmi::Stop::DebugWatchpoint);
            break;
        case Arm7tdmi::Stop::Limit:
        case Arm7tdmi::Stop::Requested: break;   // a caller's request is seen at the top
        }
    }
}

void Machine::idle_until(Goal goal)
{
    uint64_t limit = cycle_limit(goal);
    if (limit > core_.cycles())
        core_.add_cycles(limit - core_.cycles());
    catch_up(core_.cycles());
}

bool Machine::debug_execute(uint32_t encoding, uint32_t address, CoreBus *debug_bus)
{
    bool refilled = core_.execute_debug(encoding, address, debug_bus);
    if (!debug_bus)
        catch_up(core_.cycles());   // an undefined instruction was told as the core met it
    return refilled;
}

Machine::Stop Machine::step()
{
    perform_reset_order();
    core_.step();
    after_run();
    do_timed();
    return Stop::Stepped;
}

void Machine::at_time(board::Picos when, std::function<void()> action)
{
    auto later = std::upper_bound(timed_.begin(), timed_.end(), when, [](board::Picos t, const auto &e) { return t < e.first; });
    timed_.insert(later, {when, std::move(action)});
}

void Machine::do_timed()
{
    while (!timed_.empty() && board_.clock.now() >= timed_.front().first) {
        auto action = std::move(timed_.front().second);
        timed_.erase(timed_.begin());
        action();
    }
}

void Machine::request_stop()
{
    stop_wanted_ = true;
    core_.request_stop();
}

void Machine::add_breakpoint(uint32_t address)
{
    breakpoints_.insert(address & ~1u);
    core_.set_breakpoints({breakpoints_.begin(), breakpoints_.end()});
}

void Machine::remove_breakpoint(uint32_t address)
{
    breakpoints_.erase(address & ~1u);
    core_.set_breakpoints({breakpoints_.begin(), breakpoints_.end()});
}

void Machine::set_exact(bool exact)
{
    exact_ = exact;
    core_.set_fast_forward(!exact);
}

void Machine::set_execution_observer(ExecutionObserver *observer)
{
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
    install_observers();
}

void Machine::keep_execution_observer(std::unique_ptr<ExecutionObserver> observer)
{
    set_execution_observer(observer.get());
    kept_.push_back(std::move(observer));
}

void Machine::remove_execution_observer(ExecutionObserver *observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
    install_observers();
}

void Machine::install_observers()
{
    if (observers_.size() <= 1) {
        core_.set_observer(observers_.empty() ? nullptr : observers_.front());
        fan_out_.reset();
        return;
    }
    auto fan = std::make_unique<FanOut>(observers_);
    core_.set_observer(fan.get());
    fan_out_ = std::move(fan);
}

std::optional<ParkedState> Machine::parked() const
{
    if (!parked_at_ || core_.pc() != *parked_at_)
        return std::nullopt;
    ParkedState p;
    p.pc = *parked_at_;
    p.where = describe(p.pc);
    p.registers = core_.registers();
    p.since = parked_since_;
    p.resets = parked_resets_;
    p.last_reset = parked_last_reset_;
    return p;
}

// ---- debugger access ----

bool Machine::peek(uint32_t address, uint8_t *out, uint32_t length) const
{
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t a = address + i;
        if (const uint8_t *p = memory_.host(a, 1)) {
            out[i] = *p;
            continue;
        }
        uint32_t word = 0;
        if (!board_.bus.peek(a & ~3u, word))
            return false;
        out[i] = static_cast<uint8_t>(word >> ((a & 3u) * 8));
    }
    return true;
}

bool Machine::data_read(uint32_t address, unsigned size, uint32_t &value)
{
    value = 0;
    if (address % size != 0)
        return false;
    if (flash_busy(address)) {
        // The boot monitor's load, made by the core: aborted as its own are.
        catch_up(core_.cycles());
        board_.log.rules.breach(kFlashBusyReadByMonitor, 1);
        board_.mc.record_abort(board::Mc::kMasterCore, address, size, board::Mc::AbortType::Read, false, false);
        return false;
    }
    if (const uint8_t *p = memory_.host(address, size)) {
        std::memcpy(&value, p, size);
        return true;
    }
    unsigned wait;
    return read(address, size, core_.cycles(), value, wait);
}

bool Machine::data_write(uint32_t address, unsigned size, uint32_t value)
{
    if (address % size != 0)
        return false;
    if (memory_.in_flash(address)) {
        catch_up(core_.cycles());
        flash_store(address, size, value);
        return true;
    }
    if (memory_.write(address, reinterpret_cast<const uint8_t *>(&value), size))
        return true;
    unsigned wait;
    return write(address, size, core_.cycles(), value, wait);
}

bool Machine::poke(uint32_t address, const uint8_t *data, uint32_t length)
{
    if (memory_.write(address, data, length))
        return true;
    if (length == 4 && (address & 3u) == 0 && board_.bus.is_mapped(address)) {
        uint32_t v;
        std::memcpy(&v, data, 4);
        catch_up(core_.cycles());
        board_.bus.write(address, v);
        return true;
    }
    return false;
}

}  // namespace sim
