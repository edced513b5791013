#include "sim/machine.h"

#include <algorithm>
#include <cstring>

#include "sim/fault_locator.h"

namespace sim {

namespace {

constexpr uint32_t kPeripheralsBase = 0xFFF00000;
constexpr uint32_t kPage = 0x1000;
// An address the core never executes: the run's end when no breakpoint is set.
constexpr uint64_t kNoExit = 0xFFFFFFFC;

std::string hex(uint32_t v)
{
    return board::hex32(v);
}

}  // namespace

Machine::Machine(board::Board &board) : board_(board)
{
    board_.bus.set_memory(&memory_);
    build_cpu();
    reset();
}

Machine::~Machine()
{
    if (board_.bus.memory() == &memory_)
        board_.bus.set_memory(nullptr);
}

void Machine::build_cpu()
{
    cpu_ = std::make_unique<Cpu>();
    uc_engine *uc = cpu_->uc();
    uc_mem_map_ptr(uc, MemoryMap::kFlashMirror, MemoryMap::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, memory_.flash());
    uc_mem_map_ptr(uc, MemoryMap::kFlashBase, MemoryMap::kFlashSize, UC_PROT_READ | UC_PROT_EXEC, memory_.flash());
    uc_mem_map_ptr(uc, MemoryMap::kRamBase, MemoryMap::kRamSize, UC_PROT_ALL, memory_.ram());

    // Peripherals: only the 4 KiB pages that hold a model, so that an access
    // elsewhere in the peripheral space faults precisely like any other hole.
    pages_.clear();
    for (uint64_t page = kPeripheralsBase; page < 0x100000000ull; page += kPage) {
        bool used = false;
        for (uint32_t a = static_cast<uint32_t>(page); a < page + kPage && !used; a += 4)
            used = board_.bus.is_mapped(a);
        if (!used)
            continue;
        auto p = std::make_unique<MmioPage>(MmioPage{this, static_cast<uint32_t>(page)});
        uc_mmio_map(uc, page, kPage, on_mmio_read, p.get(), on_mmio_write, p.get());
        pages_.push_back(std::move(p));
    }

    uc_hook h;
    uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(on_block_hook), this, 1, 0);
    uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void *>(on_unmapped_hook), this, 1, 0);
    uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE_PROT, reinterpret_cast<void *>(on_write_protected_hook), this, 1, 0);
    uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void *>(on_interrupt_hook), this, 1, 0);
    code_hook_ = 0;
    if (instruction_observer_)
        uc_hook_add(uc, &code_hook_, UC_HOOK_CODE, reinterpret_cast<void *>(on_code_hook), this, 1, 0);
    if (!breakpoints_.empty())
        add_breakpoint(*breakpoints_.begin());
}

void Machine::load(const ElfImage &image)
{
    image_ = image;
    image.place(memory_);
    forget_costs();
    // Translated code of the old image must go.
    build_cpu();
    reset();
}

void Machine::reset()
{
    board_.reset();
    memory_.clear_ram();
    cpu_->reset();
    wait_states_ = 0;
    pending_cycles_ = 0;
    budget_ = 0;
    check_lines_ = true;
    last_conditional_ = false;
    loop_at_.reset();
    pending_fault_.reset();
    swi_return_.reset();
    flash_restore_.clear();
    instructions_ = 0;
    std::fill(std::begin(taken_), std::end(taken_), 0);
    faults_.clear();
}

std::string Machine::describe(uint32_t address) const
{
    if (!image_)
        return "";
    // The vectors run from the flash mirror at 0: name them by their flash address.
    if (address < MemoryMap::kFlashSize)
        address += MemoryMap::kFlashBase;
    return image_->describe(address);
}

// ---- hooks ----

void Machine::on_block_hook(uc_engine *, uint64_t address, uint32_t size, void *user)
{
    static_cast<Machine *>(user)->on_block(static_cast<uint32_t>(address), size);
}

void Machine::on_code_hook(uc_engine *, uint64_t address, uint32_t, void *user)
{
    auto *m = static_cast<Machine *>(user);
    if (m->instruction_observer_)
        m->instruction_observer_(static_cast<uint32_t>(address));
}

bool Machine::on_unmapped_hook(uc_engine *, uc_mem_type type, uint64_t address, int, int64_t, void *user)
{
    auto *m = static_cast<Machine *>(user);
    bool fetch = type == UC_MEM_FETCH_UNMAPPED;
    bool write = type == UC_MEM_WRITE_UNMAPPED;
    m->pending_fault_ = PendingFault{fetch ? Exception::PrefetchAbort : Exception::DataAbort,
                                     fetch ? "prefetch abort" : "data abort", static_cast<uint32_t>(address), write};
    return false;
}

bool Machine::on_write_protected_hook(uc_engine *, uc_mem_type, uint64_t address, int size, int64_t value, void *user)
{
    auto *m = static_cast<Machine *>(user);
    uint32_t a = static_cast<uint32_t>(address);
    // The flash does not take stores from the core: the store is lost. The
    // emulator performs it anyway, so the bytes are put back at the next
    // block boundary.
    for (int i = 0; i < size; ++i) {
        const uint8_t *p = m->memory_.host(a + static_cast<uint32_t>(i), 1);
        if (p)
            m->flash_restore_.emplace_back(a + static_cast<uint32_t>(i), *p);
    }
    m->board_.log.warn("bus", "store of " + hex(static_cast<uint32_t>(value)) + " (" + std::to_string(size * 8) +
                                  " bits) into flash at " + hex(a) + ": bus error, the flash is not written");
    return true;
}

void Machine::on_interrupt_hook(uc_engine *uc, uint32_t number, void *user)
{
    auto *m = static_cast<Machine *>(user);
    if (number == 2) {   // SWI: pc already points past it
        m->swi_return_ = m->cpu_->pc();
    } else {
        m->pending_fault_ = PendingFault{Exception::Undefined, "undefined instruction", m->cpu_->pc(), false};
    }
    uc_emu_stop(uc);
}

uint64_t Machine::on_mmio_read(uc_engine *uc, uint64_t offset, unsigned size, void *user)
{
    auto *page = static_cast<MmioPage *>(user);
    Machine *m = page->machine;
    uint32_t address = page->base + static_cast<uint32_t>(offset);
    m->flush();
    uint32_t v = m->board_.bus.read(address, size);
    if (m->board_.bus.take_fault()) {
        m->pending_fault_ = PendingFault{Exception::DataAbort, "data abort", address, false};
        uc_emu_stop(uc);
    }
    m->after_peripheral_access(address, false);
    return v;
}

void Machine::on_mmio_write(uc_engine *uc, uint64_t offset, unsigned size, uint64_t value, void *user)
{
    auto *page = static_cast<MmioPage *>(user);
    Machine *m = page->machine;
    uint32_t address = page->base + static_cast<uint32_t>(offset);
    m->flush();
    m->board_.bus.write(address, static_cast<uint32_t>(value), size);
    if (m->board_.bus.take_fault()) {
        m->pending_fault_ = PendingFault{Exception::DataAbort, "data abort", address, true};
        uc_emu_stop(uc);
    }
    m->after_peripheral_access(address, true);
}

void Machine::after_peripheral_access(uint32_t address, bool write)
{
    if (write && (address & ~3u) == kMcFmr) {
        uint32_t fmr = 0;
        if (board_.bus.peek(kMcFmr, fmr))
            wait_states_ = (fmr >> 8) & 3;
    }
    check_lines_ = true;
    recompute_budget();
}

// ---- time ----

void Machine::flush()
{
    if (pending_cycles_) {
        uint64_t n = pending_cycles_;
        pending_cycles_ = 0;
        board_.clock.advance_cycles(n);
    }
    check_lines_ = true;
}

void Machine::recompute_budget()
{
    board::Clock &clock = board_.clock;
    board::Picos target = deadline_;
    if (auto e = clock.next_event())
        target = std::min(target, *e);
    board::Picos now = clock.now() + pending_picos();
    if (target <= now) {
        budget_ = pending_cycles_;
        return;
    }
    unsigned __int128 fs = static_cast<unsigned __int128>(target - now) * 1000;
    uint64_t period = clock.master_period_fs();
    budget_ = pending_cycles_ + static_cast<uint64_t>((fs + period - 1) / period);
}

const BlockCost &Machine::cost_of(uint32_t address, uint32_t size)
{
    uint64_t key = (static_cast<uint64_t>(size) << 32) | address;
    CostSlot &slot = cost_slots_[(address >> 1) & (kCostSlots - 1)];
    if (slot.key == key)
        return slot.cost;
    auto it = costs_.find(key);
    if (it == costs_.end()) {
        const uint8_t *code = memory_.host(address, size);
        BlockCost c;
        if (code)
            c = block_cost(code, address, size, cpu_->thumb(), memory_.in_flash(address));
        it = costs_.emplace(key, c).first;
    }
    slot.key = key;
    slot.cost = it->second;
    return slot.cost;
}

void Machine::forget_costs()
{
    costs_.clear();
    std::fill(cost_slots_.begin(), cost_slots_.end(), CostSlot{});
}

void Machine::on_block(uint32_t address, uint32_t size)
{
    if (!flash_restore_.empty())
        restore_flash();
    if (stepping_)
        return;
    if (last_conditional_ && address != last_fallthrough_)
        pending_cycles_ += last_taken_cycles_;
    last_conditional_ = false;

    // Unicorn's exits stop inside a block; one at a block's start is seen here.
    if (!breakpoints_.empty() && breakpoints_.count(address)) {
        stop_requested_ = true;
        uc_emu_stop(cpu_->uc());
        return;
    }
    if (pending_cycles_ >= budget_ || check_lines_) {
        if (pending_cycles_ >= budget_)
            flush();
        if (board_.clock.now() >= deadline_ || interrupt_wanted()) {
            stop_requested_ = true;
            uc_emu_stop(cpu_->uc());
            return;
        }
        recompute_budget();
    }

    if (block_observer_) {
        block_observer_(address, size);
        if (halt_requested_) {
            stop_requested_ = true;
            uc_emu_stop(cpu_->uc());
            return;
        }
    }
    const BlockCost &c = cost_of(address, size);
    pending_cycles_ += c.charge(wait_states_);
    instructions_ += c.instructions;
    if (c.conditional_end) {
        last_conditional_ = true;
        last_fallthrough_ = address + size;
        last_taken_cycles_ = c.taken_charge(wait_states_);
    }
    current_block_ = address;
    current_block_size_ = size;
    if (c.self_loop) {
        if (loop_at_ != address) {
            loop_at_ = address;
            loop_since_ = board_.clock.now() + pending_picos();
        }
    } else {
        loop_at_.reset();
    }
}

void Machine::request_stop()
{
    halt_requested_ = true;
    uc_emu_stop(cpu_->uc());
}

bool Machine::interrupt_wanted()
{
    uint32_t cisr = 0;
    board_.bus.peek(kAicCisr, cisr);
    bool fiq = cisr & 1u, irq = cisr & 2u;
    if (!fiq && !irq) {
        check_lines_ = false;
        return false;
    }
    uint32_t cpsr = cpu_->cpsr();
    // Asserted but masked: look again at every block until it is taken.
    check_lines_ = true;
    if (fiq && !(cpsr & kCpsrF)) {
        wanted_ = Exception::Fiq;
        return true;
    }
    if (irq && !(cpsr & kCpsrI)) {
        wanted_ = Exception::Irq;
        return true;
    }
    return false;
}

void Machine::take(Exception e, uint32_t return_link)
{
    cpu_->enter(e, return_link);
    taken_[static_cast<int>(e)]++;
    pending_cycles_ += exception_entry_cycles(memory_.in_flash(vector_of(e)) ? wait_states_ : 0);
    last_conditional_ = false;
    loop_at_.reset();
}

void Machine::fault(Exception e, const std::string &what, uint32_t pc, uint32_t data_address, uint32_t return_link)
{
    GuestFault f;
    f.what = what;
    f.pc = pc;
    f.data_address = data_address;
    f.registers = cpu_->registers();
    f.registers.r[15] = pc;
    f.time = board_.clock.now() + pending_picos();
    f.where = describe(pc);
    std::string text = what + " at " + hex(pc) + (f.where.empty() ? "" : " (" + f.where + ")");
    if (e == Exception::DataAbort)
        text += ", accessing " + hex(data_address);
    board_.log.warn("cpu", text + " in " + mode_name(f.registers.cpsr) + " mode");
    faults_.push_back(std::move(f));
    take(e, return_link);
}

void Machine::restore_flash()
{
    for (auto it = flash_restore_.rbegin(); it != flash_restore_.rend(); ++it)
        if (uint8_t *p = memory_.host(it->first, 1))
            *p = static_cast<uint8_t>(it->second);
    flash_restore_.clear();
}

// ---- running ----

Machine::Stop Machine::run_until(board::Picos deadline)
{
    deadline_ = deadline;
    check_lines_ = true;
    bool first = true;
    for (;;) {
        flush();
        if (halt_requested_) {
            halt_requested_ = false;
            return Stop::Requested;
        }
        if (board_.clock.now() >= deadline_)
            return Stop::Deadline;
        if (interrupt_wanted()) {
            take(wanted_, cpu_->pc() + 4);
            continue;
        }
        uint32_t start = cpu_->pc();
        if (!first && breakpoints_.count(start))
            return Stop::Breakpoint;
        if (first && breakpoints_.count(start)) {
            // Resuming from a breakpoint: its instruction runs first.
            step();
            first = false;
            continue;
        }
        first = false;
        recompute_budget();
        stop_requested_ = false;
        current_block_ = start;
        current_block_size_ = 0;
        uc_err err = uc_emu_start(cpu_->uc(), cpu_->resume_address(), kNoExit, 0, 0);
        restore_flash();
        settle_branch();
        if (swi_return_) {
            uint32_t back = *swi_return_;
            swi_return_.reset();
            take(Exception::SoftwareInterrupt, back);
            continue;
        }
        if (pending_fault_) {
            PendingFault pf = *pending_fault_;
            pending_fault_.reset();
            uint32_t pc = cpu_->pc();
            bool thumb = cpu_->thumb();
            switch (pf.kind) {
            case Exception::PrefetchAbort:
                fault(pf.kind, pf.what, pf.address, 0, pf.address + 4);
                break;
            case Exception::Undefined:
                fault(pf.kind, pf.what, pc, 0, pc + (thumb ? 2 : 4));
                break;
            default: {
                if (err != UC_ERR_OK) {
                    // Stopped before the faulting instruction: find it in the block.
                    uint32_t regs[16];
                    for (int i = 0; i < 16; ++i)
                        regs[i] = cpu_->reg(i);
                    uint32_t at = pc;
                    if (const uint8_t *code = memory_.host(current_block_, current_block_size_))
                        at = find_faulting_access(code, current_block_, current_block_size_, thumb, regs, pf.address)
                                 .value_or(pc);
                    fault(pf.kind, pf.what, at, pf.address, at + 8);
                } else {
                    // A peripheral hole: the access came back as 0 and the
                    // block ran to its end; the abort is taken after it.
                    fault(pf.kind, pf.what + " after the block at " + hex(current_block_), pc, pf.address, pc + 8);
                }
            }
            }
            continue;
        }
        if (err == UC_ERR_INSN_INVALID || err == UC_ERR_EXCEPTION) {
            uint32_t pc = cpu_->pc();
            fault(Exception::Undefined, "undefined instruction", pc, 0, pc + (cpu_->thumb() ? 2 : 4));
            continue;
        }
        if (err != UC_ERR_OK) {
            uint32_t pc = cpu_->pc();
            fault(Exception::DataAbort, std::string("emulator error: ") + uc_strerror(err), pc, 0, pc + 8);
            continue;
        }
        if (!stop_requested_ && breakpoints_.count(cpu_->pc())) {
            flush();
            return Stop::Breakpoint;
        }
    }
}

void Machine::settle_branch()
{
    // A run that ended right after a block with a conditional branch (at a
    // breakpoint or a fault) has not yet seen where the branch went.
    if (last_conditional_ && cpu_->pc() != last_fallthrough_)
        pending_cycles_ += last_taken_cycles_;
    last_conditional_ = false;
}

Machine::Stop Machine::step()
{
    settle_branch();
    flush();
    if (interrupt_wanted()) {
        take(wanted_, cpu_->pc() + 4);
        flush();
    }
    uint32_t pc = cpu_->pc();
    bool thumb = cpu_->thumb();
    if (const uint8_t *code = memory_.host(pc, thumb ? 2 : 4)) {
        BlockCost c = block_cost(code, pc, thumb ? 2 : 4, thumb, memory_.in_flash(pc));
        pending_cycles_ += c.charge(wait_states_);
        instructions_ += 1;
    }
    if (!breakpoints_.empty())
        uc_ctl_exits_disable(cpu_->uc());
    stepping_ = true;
    current_block_ = pc;
    current_block_size_ = thumb ? 2 : 4;
    uc_err err = uc_emu_start(cpu_->uc(), cpu_->resume_address(), kNoExit, 0, 1);
    stepping_ = false;
    if (!breakpoints_.empty())
        add_breakpoint(*breakpoints_.begin());
    restore_flash();
    if (swi_return_) {
        take(Exception::SoftwareInterrupt, *swi_return_);
        swi_return_.reset();
    } else if (pending_fault_) {
        PendingFault pf = *pending_fault_;
        pending_fault_.reset();
        if (pf.kind == Exception::PrefetchAbort)
            fault(pf.kind, pf.what, pf.address, 0, pf.address + 4);
        else if (pf.kind == Exception::Undefined)
            fault(pf.kind, pf.what, pc, 0, pc + (thumb ? 2 : 4));
        else
            fault(pf.kind, pf.what, pc, pf.address, pc + 8);
    } else if (err == UC_ERR_INSN_INVALID || err == UC_ERR_EXCEPTION) {
        fault(Exception::Undefined, "undefined instruction", pc, 0, pc + (thumb ? 2 : 4));
    }
    flush();
    return Stop::Stepped;
}

void Machine::add_breakpoint(uint32_t address)
{
    breakpoints_.insert(address & ~1u);
    std::vector<uint64_t> exits(breakpoints_.begin(), breakpoints_.end());
    uc_ctl_exits_enable(cpu_->uc());
    uc_ctl_set_exits(cpu_->uc(), exits.data(), exits.size());
}

void Machine::remove_breakpoint(uint32_t address)
{
    breakpoints_.erase(address & ~1u);
    if (breakpoints_.empty()) {
        uc_ctl_exits_disable(cpu_->uc());
        return;
    }
    std::vector<uint64_t> exits(breakpoints_.begin(), breakpoints_.end());
    uc_ctl_set_exits(cpu_->uc(), exits.data(), exits.size());
}

void Machine::set_instruction_observer(InstructionObserver o)
{
    instruction_observer_ = std::move(o);
    uc_engine *uc = cpu_->uc();
    if (instruction_observer_ && !code_hook_) {
        uc_hook_add(uc, &code_hook_, UC_HOOK_CODE, reinterpret_cast<void *>(on_code_hook), this, 1, 0);
    } else if (!instruction_observer_ && code_hook_) {
        uc_hook_del(uc, code_hook_);
        code_hook_ = 0;
    }
}

std::optional<ParkedState> Machine::parked() const
{
    if (!loop_at_)
        return std::nullopt;
    ParkedState p;
    p.pc = *loop_at_;
    p.where = describe(p.pc);
    p.registers = cpu_->registers();
    p.since = loop_since_;
    return p;
}

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

bool Machine::poke(uint32_t address, const uint8_t *data, uint32_t length)
{
    if (uint8_t *p = memory_.host(address, length)) {
        std::memcpy(p, data, length);
        if (memory_.in_flash(address)) {
            // Code may have changed under translated blocks.
            uc_ctl_remove_cache(cpu_->uc(), address, address + length);
            forget_costs();
        }
        return true;
    }
    if (length == 4 && (address & 3u) == 0 && board_.bus.is_mapped(address)) {
        uint32_t v;
        std::memcpy(&v, data, 4);
        flush();
        board_.bus.write(address, v);
        after_peripheral_access(address, true);
        return true;
    }
    return false;
}

}  // namespace sim
