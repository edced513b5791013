// The run loop: the core, the chip's memories and the board's models on one
// virtual clock.
//
// Unicorn runs translated blocks; at the start of each block the loop charges
// its cycle estimate (cycle_model.h) at the current flash wait states. The
// cycles are handed to the board's clock in batches, always before the next
// device event falls due, before every peripheral access (so a model sees the
// time at the end of the block that makes the access) and at the end of a
// run. The AIC's nIRQ and nFIQ (as CISR shows them) are sampled between
// blocks whenever something could have changed them, and an unmasked one is
// taken there as the ARM7TDMI takes it. Nothing depends on the host's clock,
// so one image with one sequence of inputs always gives the same run.
//
// Faults of the guest (undefined instruction, prefetch and data aborts, a
// store into flash, an access to nothing) are taken or logged as the chip
// would and recorded for reports; the loop itself goes on running.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "board/board.h"
#include "sim/cpu.h"
#include "sim/cycle_model.h"
#include "sim/elf_image.h"
#include "sim/memory_map.h"

namespace sim {

struct GuestFault {
    std::string what;           // "undefined instruction", "data abort", ...
    uint32_t pc = 0;            // the instruction that faulted
    uint32_t data_address = 0;  // data aborts: the address accessed
    Registers registers;        // before the exception was taken
    board::Picos time = 0;
    std::string where;          // symbol of pc, if known
};

// The core spinning in a loop that only an interrupt could leave (a branch
// to itself): a default handler, a vector, `exit`, a parked check.
struct ParkedState {
    uint32_t pc = 0;
    std::string where;
    Registers registers;
    board::Picos since = 0;
};

class Machine {
public:
    static constexpr uint32_t kAicCisr = 0xFFFFF114;
    static constexpr uint32_t kMcFmr = 0xFFFFFF60;

    explicit Machine(board::Board &board);
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // Places the image in flash (and RAM) and keeps its symbols for reports.
    void load(const ElfImage &image);
    // Power-on reset of the board, the core and RAM; flash keeps the image.
    void reset();

    enum class Stop { Deadline, Breakpoint, Stepped, Requested };
    // Runs until virtual time `deadline` (the first block boundary at or
    // after it) or a breakpoint.
    Stop run_until(board::Picos deadline);
    Stop run_for(board::Picos duration) { return run_until(board().clock.now() + duration + pending_picos()); }
    // One instruction (an interrupt that is due is taken first).
    Stop step();

    // From an observer: end the run before the observed block or
    // instruction; run_until then returns Stop::Requested.
    void request_stop();

    // Breakpoints stop before the instruction at the address runs.
    void add_breakpoint(uint32_t address);
    void remove_breakpoint(uint32_t address);

    // Observers for traces: every block that is about to run (address,
    // bytes; the core's state says ARM or Thumb), and every instruction
    // (costly: set only while tracing). A block observer that calls
    // request_stop() stops the run before that block.
    using BlockObserver = std::function<void(uint32_t address, uint32_t size)>;
    void set_block_observer(BlockObserver o) { block_observer_ = std::move(o); }
    using InstructionObserver = std::function<void(uint32_t address)>;
    void set_instruction_observer(InstructionObserver o);

    // Reads without side effects: memory, and peripherals through peek.
    bool peek(uint32_t address, uint8_t *out, uint32_t length) const;
    // Debugger writes to memory (flash included) and peripherals.
    bool poke(uint32_t address, const uint8_t *data, uint32_t length);

    board::Board &board() { return board_; }
    Cpu &cpu() { return *cpu_; }
    MemoryMap &memory() { return memory_; }
    const ElfImage *image() const { return image_ ? &*image_ : nullptr; }
    std::string describe(uint32_t address) const;

    uint64_t instructions() const { return instructions_; }
    uint64_t cycles() const { return board_.clock.cycles() + pending_cycles_; }
    unsigned flash_wait_states() const { return wait_states_; }
    const std::vector<GuestFault> &faults() const { return faults_; }
    std::optional<ParkedState> parked() const;
    uint64_t exceptions_taken(Exception e) const { return taken_[static_cast<int>(e)]; }

private:
    struct MmioPage {
        Machine *machine;
        uint32_t base;
    };
    static void on_block_hook(uc_engine *uc, uint64_t address, uint32_t size, void *user);
    static void on_code_hook(uc_engine *uc, uint64_t address, uint32_t size, void *user);
    static bool on_unmapped_hook(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t value, void *user);
    static bool on_write_protected_hook(uc_engine *uc, uc_mem_type type, uint64_t address, int size, int64_t value, void *user);
    static void on_interrupt_hook(uc_engine *uc, uint32_t number, void *user);
    static uint64_t on_mmio_read(uc_engine *uc, uint64_t offset, unsigned size, void *user);
    static void on_mmio_write(uc_engine *uc, uint64_t offset, unsigned size, uint64_t value, void *user);

    void build_cpu();
    void on_block(uint32_t address, uint32_t size);
    const BlockCost &cost_of(uint32_t address, uint32_t size);
    void forget_costs();
    void flush();
    void recompute_budget();
    bool interrupt_wanted();
    void take(Exception e, uint32_t return_link);
    void fault(Exception e, const std::string &what, uint32_t pc, uint32_t data_address, uint32_t return_link);
    void restore_flash();
    void settle_branch();
    void after_peripheral_access(uint32_t address, bool write);
    board::Picos pending_picos() const { return board_.clock.cycles_to_picos(pending_cycles_); }
    uint32_t locate_data_fault(uint32_t block_start, uint32_t address) const;

    board::Board &board_;
    MemoryMap memory_;
    std::unique_ptr<Cpu> cpu_;
    std::optional<ElfImage> image_;
    std::vector<std::unique_ptr<MmioPage>> pages_;
    uc_hook code_hook_ = 0;
    InstructionObserver instruction_observer_;
    BlockObserver block_observer_;
    std::set<uint32_t> breakpoints_;

    std::unordered_map<uint64_t, BlockCost> costs_;
    // Direct-mapped front of costs_: the hot loops hit it on every block.
    struct CostSlot {
        uint64_t key = ~uint64_t{0};
        BlockCost cost;
    };
    static constexpr size_t kCostSlots = 4096;
    std::vector<CostSlot> cost_slots_ = std::vector<CostSlot>(kCostSlots);
    unsigned wait_states_ = 0;
    uint64_t pending_cycles_ = 0;
    uint64_t budget_ = 0;
    board::Picos deadline_ = 0;
    bool check_lines_ = true;
    bool stop_requested_ = false;
    bool halt_requested_ = false;
    bool stepping_ = false;
    Exception wanted_ = Exception::Irq;

    // The block that ran last, to see whether its final branch was taken.
    bool last_conditional_ = false;
    uint32_t last_fallthrough_ = 0;
    uint64_t last_taken_cycles_ = 0;
    uint32_t current_block_ = 0;
    uint32_t current_block_size_ = 0;

    std::optional<uint32_t> loop_at_;   // start of the self-loop block running now
    board::Picos loop_since_ = 0;

    // A guest fault raised inside a hook, taken when the emulator returns.
    struct PendingFault {
        Exception kind;
        std::string what;
        uint32_t address;
        bool write;
    };
    std::optional<PendingFault> pending_fault_;
    std::optional<uint32_t> swi_return_;
    std::vector<std::pair<uint32_t, uint32_t>> flash_restore_;   // address, original word

    uint64_t instructions_ = 0;
    uint64_t taken_[6] = {};
    std::vector<GuestFault> faults_;
};

}  // namespace sim
