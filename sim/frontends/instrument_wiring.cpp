#include "sim/frontends/instrument_wiring.h"

#include <optional>

#include "sim/machine/memory_map.h"

namespace sim {

namespace {

bool is_thumb_bl_prefix(uint32_t half) { return (half & 0xF800u) == 0xF000u; }
bool is_thumb_bl_suffix(uint32_t half) { return (half & 0xF800u) == 0xF800u; }

// What the core runs, as the instruments want it: the instruction trace,
// branch targets (where the interrupt trace and the stack summary look),
// exceptions, and which instruction makes each peripheral access (the core
// reports an instruction after its accesses, so the one running during an
// access is the one the last report said comes next).
class InstrumentObserver : public ExecutionObserver {
public:
    InstrumentObserver(simtools::Instruments &in, Machine &m) : in_(in), m_(m), running_(m.cpu().pc())
    {
        if (const ElfImage *image = m.image())
            if (auto a = image->address_of("main")) main_entry_ = *a & ~1u;
    }

    uint32_t running() const { return running_; }

    void executed(uint32_t pc, bool thumb, uint32_t encoding, bool, uint32_t cycles, uint32_t next_pc) override
    {
        if (in_.wants_instructions()) list(pc, thumb, encoding, cycles);
        running_ = next_pc;
        // Where the stack pointers are seen: at every branch target and
        // wherever the mode changes (an MSR to another mode's stack).
        uint32_t mode = m_.cpu().cpsr() & 0x1F;
        if (next_pc != pc + (thumb ? 2 : 4) || mode != mode_) branch_target(next_pc);
    }

    void exception(Exception e, uint32_t return_link, uint32_t old_cpsr) override
    {
        Arm7tdmi &cpu = m_.cpu();
        // IRQ and FIQ save the interrupted instruction's address + 4.
        bool interrupt = e == Exception::Irq || e == Exception::Fiq;
        in_.exception(cpu.cpsr(), interrupt ? return_link - 4 : return_link, old_cpsr);
        running_ = cpu.pc();
        branch_target(running_);
    }

    // Fast-forwarded loop passes move no stack pointer and touch no peripheral.
    void repeated(uint32_t, uint32_t, bool, uint64_t, uint64_t) override {}
    void accessed(uint32_t, uint32_t, unsigned, bool, uint32_t) override {}

private:
    void branch_target(uint32_t pc)
    {
        Arm7tdmi &cpu = m_.cpu();
        if (main_entry_ && pc == *main_entry_) {
            // The start-up code ran on a temporary stack; the program's own starts here.
            in_.restart_stack(cpu.cpsr());
            main_entry_.reset();
        }
        mode_ = cpu.cpsr() & 0x1F;
        in_.block(pc, cpu.cpsr(), cpu.reg(13));
    }

    void list(uint32_t pc, bool thumb, uint32_t encoding, uint32_t cycles)
    {
        // A Thumb BL pair is one line, at its first half.
        if (thumb && pc == bl_suffix_at_ && is_thumb_bl_suffix(encoding)) return;
        uint8_t code[4] = {static_cast<uint8_t>(encoding), static_cast<uint8_t>(encoding >> 8),
                           static_cast<uint8_t>(encoding >> 16), static_cast<uint8_t>(encoding >> 24)};
        size_t available = thumb ? 2 : 4;
        if (thumb && is_thumb_bl_prefix(encoding) && m_.peek(pc + 2, code + 2, 2) &&
            is_thumb_bl_suffix(code[2] | code[3] << 8)) {
            available = 4;
            bl_suffix_at_ = pc + 2;
        }
        in_.instruction(pc, m_.time_of(m_.cycles() - cycles), code, available, thumb);
    }

    simtools::Instruments &in_;
    Machine &m_;
    uint32_t running_;
    uint32_t bl_suffix_at_ = 1;   // never an instruction address
    uint32_t mode_ = 0;
    std::optional<uint32_t> main_entry_;
};

}  // namespace

void attach_instruments(simtools::Instruments &in, Session &s)
{
    Machine &m = s.machine;
    in.set_time_source([&m] { return m.cycles(); }, [&m] { return m.now(); });
    s.board.aic.add_listener([&in, &aic = s.board.aic](bool nirq, bool) { in.nirq(nirq, aic.irq_request_cycle()); });
    in.start_levels(s.board.aic.nirq());
    in.set_stack_region(MemoryMap::kRamBase, MemoryMap::kRamBase + MemoryMap::kRamSize);
    in.set_rules(&s.board.log.rules);
    if (!in.wants_blocks()) return;

    auto observer = std::make_unique<InstrumentObserver>(in, m);
    InstrumentObserver *o = observer.get();
    in.set_pc_source([o](uint32_t) { return o->running(); });
    // The instruction trace lists every instruction, fast-forwarded or not.
    if (in.wants_instructions()) m.set_exact(true);
    m.keep_execution_observer(std::move(observer));
}

}  // namespace sim
