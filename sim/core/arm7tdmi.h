// The ARM7TDMI: an interpreter of the ARMv4T instruction set as this core
// executes it, ARM and Thumb state, every mode with its banked registers,
// every exception, and the core's own timing.
//
// The core knows nothing of the board. It reads and writes memory directly
// where it has been given host memory for an address range (flash, RAM) and
// goes through CoreBus for everything else (peripherals, holes), handing each
// such access the core cycle at which it happens. Time is counted in core
// cycles (one master-clock cycle each): every code fetch and data access
// costs its S or N cycle plus the wait states of the memory it goes to, and
// every internal cycle one, in the order the ARM7TDMI performs them.
//
// A data access that the bus refuses (nothing there, or the memory
// controller's misalignment check) is a precise data abort: taken on that
// instruction, LR_abt = its address + 8, later instructions not run, base
// write-back as the ARM7TDMI does it. A fetch the bus refuses is a prefetch
// abort, taken when the instruction would execute.
//
// Timing (ARM7TDMI cycle counts; S = sequential, N = non-sequential, I =
// internal; every memory cycle costs 1 + the wait states of the memory it
// goes to, every I cycle 1):
//   data processing           1S            (+1I register-specified shift,
//                                             +1S+1N when it writes pc)
//   MRS, MSR                  1S
//   B, BL, BX                 2S+1N          (Thumb BL: 1S for its first half)
//   Bcc not taken (Thumb)     1S
//   LDR/LDRB/LDRH/LDRS*       1S+1N+1I       (+1S+1N into pc)
//   STR/STRB/STRH             2N
//   LDM, POP                  nS+1N+1I       (+1S+1N with pc)
//   STM, PUSH                 (n-1)S+2N
//   SWP, SWPB                 1S+2N+1I
//   MUL / MLA                 1S+mI / 1S+(m+1)I
//   UMULL,SMULL / UMLAL,SMLAL 1S+(m+1)I / 1S+(m+2)I
//   SWI, exception entry      2S+1N
//   undefined instruction     2S+1I+1N
//   MRC / MCR (coprocessor 14, the debug channel)
//                             1S+1I+1C / 1N+1C
//   condition failed (ARM)    1S
// m is 1..4: the number of nonzero (for the signed forms: not all-zero and
// not all-one) bytes of the multiplier operand Rs above its lowest byte, plus
// one, as the ARM7TDMI's early-terminating multiplier does; UMULL/UMLAL only
// stop early on zero bytes.
//
// Which accesses these are, in the order they happen (a CoreBus access sees
// the cycle count at its start):
//   - every instruction's first cycle fetches the instruction two ahead
//     (S, or N for stores) from the memory of the executing instruction;
//   - data accesses follow (the first N, the rest of an LDM/STM S), then the
//     I cycles;
//   - a write to pc (branch, load into pc, exception) then fetches the
//     target (N) and the word or halfword after it (S).
// A memory with `read_buffer` (the flash, read 32 bits at a time) has two
// 32-bit buffers: Thumb code fetched from it costs one cycle for a halfword
// of the word held, and fetching the second halfword of a word starts the
// read of the next word, so that a fetch of it costs only what is left of
// that read (one cycle at least). Any other word costs a whole read (1 + the
// wait states): after a branch elsewhere, a data read of the memory (which
// takes the buffers) or ARM code (whose words are read whole, without the
// read-ahead). With one wait state, sequential Thumb fetches are then all
// single-cycle but the first; with two or three, they alternate between a
// single cycle and one of `wait` cycles.
// Fetches from outside every region (code run from a peripheral) go through
// CoreBus like data; their prefetch cycles are counted without wait states.
// A refused access costs one cycle; the transfers of an LDM/STM after a
// refused one are not made (registers after it are not written, memory
// after it not stored to) and cost one cycle each. An aborting instruction
// is charged its own cycles, then the entry (2S+1N: S in the code it was
// in, N and S at the vector).
//
// C is the coprocessor's transfer cycle, one cycle with no memory access;
// the debug channel never makes the core busy-wait (the table's bI is 0).
// MRC's I cycle writes the register, as a load's does; after MCR's C cycle,
// which drives Rd out, the next fetch is non-sequential, as after a store.
//
// MUL, MLA and the long multiplies leave C and V unchanged (the ARM7TDMI
// leaves C meaningless; unchanged is the choice here).
//
// Self-modifying code meets the pipeline as on the ARM7TDMI: the two
// instructions after the one executing have been fetched before a store's
// data cycle, so a store (STR*, STM, SWP) that rewrites them leaves them to
// run as they were, as long as execution reaches them in sequence; anything
// that refills the pipeline (a taken branch, a write to pc, an exception
// entry, an interrupt taken between them) fetches the new bytes. Writes from
// outside the core (invalidate_code) take effect at once, in the pipeline too.
//
// nIRQ and nFIQ are sampled at every instruction boundary: the run loop
// sets them with set_interrupt_lines() (typically from a bus callback, so a
// change made by a peripheral access is seen before the next instruction).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/debug_channel.h"

namespace board {
class State;
}

namespace sim {

enum class Mode : uint32_t {
    User = 0x10, Fiq = 0x11, Irq = 0x12, Supervisor = 0x13, Abort = 0x17, Undefined = 0x1B, System = 0x1F,
};

enum class Exception { Undefined, SoftwareInterrupt, PrefetchAbort, DataAbort, Irq, Fiq };

constexpr uint32_t kCpsrT = 1u << 5;
constexpr uint32_t kCpsrF = 1u << 6;
constexpr uint32_t kCpsrI = 1u << 7;

struct Registers {
    uint32_t r[16] = {};
    uint32_t cpsr = 0;
    uint32_t spsr = 0;   // of the current mode; 0 in user and system mode
};

const char *mode_name(uint32_t cpsr);
uint32_t vector_of(Exception e);
const char *exception_name(Exception e);
// "r0=... r1=... ... cpsr=... (SVC, Thumb, IRQ off)" on a few lines.
std::string format_registers(const Registers &regs);

enum class AccessKind : uint8_t { Fetch, Read, Write };

// Why an access was refused.
enum class AbortCause : uint8_t { Undefined, Misaligned };

struct AbortInfo {
    uint32_t pc = 0;          // the instruction that made the access
    uint32_t address = 0;     // the address accessed
    uint8_t size = 0;         // bytes
    AccessKind kind = AccessKind::Read;
    AbortCause cause = AbortCause::Undefined;
};

// Host memory the core reads and writes directly.
struct MemoryRegion {
    uint32_t base = 0;
    uint32_t size = 0;          // a power of two; base aligned to it
    uint8_t *host = nullptr;    // little-endian bytes
    bool writable = true;       // false: stores go to CoreBus::write instead
    // Wait states of one access (added to its one cycle).
    uint8_t wait_n = 0;
    uint8_t wait_s = 0;
    // Thumb fetches go through the memory's two read buffers (see above);
    // without wait states there is nothing to gain and they are not used.
    bool read_buffer = false;
};

// While the core is inside a CoreBus call, Arm7tdmi::pc() is the address of
// the instruction making the access and cycles() the cycle it starts at.
class CoreBus {
public:
    virtual ~CoreBus() = default;
    // An access outside every MemoryRegion, or a store to a read-only one.
    // `cycle` is the core's cycle count when the access starts; `wait`
    // returns the extra cycles it took. False refuses the access (abort).
    virtual bool read(uint32_t address, unsigned size, uint64_t cycle, uint32_t &value, unsigned &wait) = 0;
    virtual bool write(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait) = 0;
    // Whether the memory system aborts this misaligned data access (the
    // chip's memory controller does); false: the ARM7TDMI's own behaviour
    // (a word load rotates the aligned word right by 8 * (address & 3); a
    // halfword load from an odd address gives the aligned halfword rotated
    // right by 8, a signed one the byte at the address sign-extended;
    // stores and LDM/STM ignore the low address bits).
    virtual bool aborts_misaligned() const { return false; }
    // The core is about to take an abort for this access (for the memory
    // controller's status registers and reports).
    virtual void aborted(const AbortInfo &) {}
    // The instruction at `pc` is undefined: the core is about to take the
    // trap; its registers are still those the instruction found.
    virtual void undefined(uint32_t /*pc*/, uint32_t /*cpsr*/) {}

    // Word stores the bus lets the core hand straight to what takes them (a
    // peripheral register), found by address with no virtual call: a port
    // that holds the address takes the store at `cycle` in no wait states,
    // as write() would, or refuses it (false, nothing done), and write()
    // then takes it the whole way. The bus fills its ports; the core only
    // looks. An address with no port goes to write().
    struct Port {
        uint32_t address = 1;   // odd: none
        bool (*store)(const Port &, uint64_t cycle, uint32_t value) = nullptr;
        void *owner = nullptr;
    };
    static constexpr unsigned kPorts = 32;
    const Port &port(uint32_t address) const { return ports_[(address >> 2) % kPorts]; }

protected:
    Port &port_entry(uint32_t address) { return ports_[(address >> 2) % kPorts]; }

private:
    std::array<Port, kPorts> ports_{};
};

// Sees what the core runs; set only while a tool needs it (traces, coverage,
// profiles, watchpoints).
class ExecutionObserver {
public:
    virtual ~ExecutionObserver() = default;
    // One instruction done: its address, state, encoding, whether its
    // condition passed, the cycles it took (wait states included) and where
    // execution goes next. Called after the instruction, before any
    // exception it raised is entered.
    virtual void executed(uint32_t pc, bool thumb, uint32_t encoding, bool passed, uint32_t cycles, uint32_t next_pc) = 0;
    // An exception entered (after the entry: the core shows the new mode).
    virtual void exception(Exception e, uint32_t return_link, uint32_t old_cpsr) = 0;
    // A loop fast-forwarded: the instructions from `first` to `last`
    // (inclusive) each ran `iterations` more times than executed() told,
    // costing `cycles` in all, and the loop's closing branch was taken each
    // time. The executed() calls of the iteration that leaves the loop
    // follow as usual; the repeated() calls come right after the executed()
    // of the closing branch that started the skip (whose cycles are its
    // own). A loop whose path jumps over instructions between
    // its head and its closing branch is told as one call per straight
    // stretch of its path, in path order; the last call carries all the
    // cycles, the others 0. Data accesses of the skipped iterations are not
    // told through accessed().
    virtual void repeated(uint32_t first, uint32_t last, bool thumb, uint64_t iterations, uint64_t cycles) = 0;
    // A data access (memory or bus) made by the instruction at `pc`.
    virtual void accessed(uint32_t pc, uint32_t address, unsigned size, bool write, uint32_t value) = 0;
};

// The EmbeddedICE's view of the core's buses: attached only while one of its
// watchpoint units is enabled (it costs every instruction the slow path).
class DebugWatch {
public:
    virtual ~DebugWatch() = default;
    // The instruction at `address` is about to execute; `word` is the 32-bit
    // word its fetch put on the data bus. True: a breakpoint, the core stops
    // before it.
    virtual bool fetched(uint32_t address, uint32_t word, bool thumb, bool privileged) = 0;
    // A data access of the instruction executing. True: a watchpoint, the
    // core stops after the instruction.
    virtual bool accessed(uint32_t address, unsigned size, bool write, uint32_t value, bool privileged) = 0;
};

class Arm7tdmi {
public:
    explicit Arm7tdmi(CoreBus &bus);
    ~Arm7tdmi();
    Arm7tdmi(const Arm7tdmi &) = delete;
    Arm7tdmi &operator=(const Arm7tdmi &) = delete;

    // The memories the core reaches directly; replaces the previous set (a
    // remap, the flash controller making the flash unreadable, new wait
    // states). Decoded code of addresses whose bytes change is forgotten.
    // Throws std::invalid_argument for a region without host memory, of a
    // size that is not a power of two, or with a base not aligned to it.
    void set_regions(const std::vector<MemoryRegion> &regions);
    // Forget decoded instructions in a range whose bytes were changed behind
    // the core's back (debugger, loader, flash programming). Instructions
    // already in the pipeline are fetched again too.
    void invalidate_code(uint32_t address, uint32_t length);
    // The same for host bytes given to the core in any region: every
    // address that shows them (mirrors, the remap) runs them anew.
    void invalidate_host(const uint8_t *host, uint32_t length);

    // The reset exception: supervisor mode, ARM state, IRQ and FIQ masked,
    // pc 0; every other register 0 (undefined on the chip). Cycles to 0.
    void reset();

    // Registers as a debugger sees them: r0..r15 of the current mode and
    // cpsr = 16. Writing pc keeps the state; writing cpsr switches banks.
    static constexpr int kCpsr = 16;
    uint32_t reg(int n) const;
    void set_reg(int n, uint32_t value);
    uint32_t cpsr() const;
    void set_cpsr(uint32_t value);
    uint32_t spsr() const;              // of the current mode; 0 in user and system mode
    void set_spsr(uint32_t value);
    // A register of another mode's bank (for reports and tests).
    uint32_t banked(Mode mode, int n) const;
    uint32_t pc() const { return reg(15); }   // the next instruction's address
    bool thumb() const { return cpsr() & kCpsrT; }
    Registers registers() const;

    // nIRQ / nFIQ asserted (true = the exception is wanted).
    void set_interrupt_lines(bool irq, bool fiq);
    // Enter an exception now, as the core would (used by the run loop for
    // tests and by the reset path).
    void enter(Exception e, uint32_t return_link);

    enum class Stop : uint8_t { Limit, Requested, Breakpoint, Watchpoint, DebugBreakpoint, DebugWatchpoint };
    // Runs until the cycle count reaches `cycle_limit` (at an instruction
    // boundary: the last instruction may overrun it), a stop request, a
    // breakpoint (before the instruction runs; not at the first instruction
    // of the call, so that a run resumes from a breakpoint), or a watchpoint
    // (after the instruction that touched the watched range).
    Stop run(uint64_t cycle_limit);
    // Exactly one instruction (or the entry of an interrupt that is due).
    void step();
    // From a bus callback or observer: end run() at the next instruction boundary.
    void request_stop();

    uint64_t cycles() const;
    uint64_t instructions() const;
    // Charge cycles the core did not run (for callers that own time).
    void add_cycles(uint64_t n);

    void set_breakpoints(const std::vector<uint32_t> &addresses);
    struct Watch {
        uint32_t address;
        uint32_t length;
        bool read;
        bool write;
    };
    void set_watchpoints(const std::vector<Watch> &watches);
    // After Stop::Watchpoint: the access that hit.
    struct WatchHit {
        uint32_t pc, address;
        unsigned size;
        bool write;
        uint32_t value;
    };
    WatchHit last_watch_hit() const;

    void set_observer(ExecutionObserver *observer);
    // The EmbeddedICE's comparators: run() returns DebugBreakpoint before an
    // instruction whose fetch they match (also at the first instruction of
    // the call, as on the chip) and DebugWatchpoint after one whose data
    // access they match. nullptr detaches them.
    void set_debug_watch(DebugWatch *watch);
    // Debug state: one instruction from its encoding, as if fetched from
    // `address`, in the current state. With `debug_bus` it runs at debug
    // speed: its data accesses go to that bus, not to memory, and it costs
    // no cycles. Without, at system speed: memory and peripherals as in a
    // run, its cycles charged. Exceptions it raises are entered. pc()
    // afterwards is where execution would go on (the next address, or a
    // branch's target); true when it refilled the pipeline (wrote pc or
    // entered an exception).
    bool execute_debug(uint32_t encoding, uint32_t address, CoreBus *debug_bus);
    // Delay-loop fast-forward (on by default); off, every iteration runs.
    // It is never used while breakpoints, watchpoints or stepping are active;
    // with an observer it is, and told through repeated(). Cycles,
    // instruction counts and state at every run() return are the same
    // either way.
    void set_fast_forward(bool on);
    // Host code for the straight runs that start often (on by default, where
    // the host has a code generator): made at a run's `after_starts`-th
    // start (1 to 255), it runs the run with the same cycles, counts and
    // accesses as interpreting it. Off, every run is interpreted.
    void set_host_code(bool on, unsigned after_starts = 16);
    uint64_t exceptions_taken(Exception e) const;

    // The EmbeddedICE debug communications channel; the code's side is
    // coprocessor 14, a debugger uses the other (see debug_channel.h).
    DebugChannel &debug_channel();

    // Everything the core carries from one instruction to the next, for
    // snapshots (board/state.h): the registers of every mode, the CPSR and
    // SPSRs, the two instructions the pipeline holds, the interrupt lines
    // and a stop asked for, the counts, the read buffers, the debug channel
    // and the delay-loop fast-forward's loops. Decoded code is not saved: a
    // restore forgets it and decodes anew. Restore with the regions set as
    // they were when saved (the owner restores its memories first). Its
    // declarations also give reset().
    board::State &state();

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace sim
