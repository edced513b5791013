// The run loop: the ARM7TDMI core, the chip's memories and the board's models
// on one virtual clock.
//
// The core counts time in master-clock cycles and runs on its own until the
// next device event or the run's deadline, whichever is first; the board's
// clock trails it and is brought up to the exact cycle of every peripheral
// access before the access reaches its model, so each model, trace line and
// waveform edge sees the access at its own time. An access that schedules an
// earlier event or changes the master clock ends the core's run at the next
// instruction boundary and the loop starts a new one with the new limit. The
// AIC's nIRQ and nFIQ reach the core whenever they change and are sampled at
// every instruction boundary; the AIC asserts them through a clock event
// (its synchronisation, see aic.h), so the core runs on to that cycle first.
// Nothing depends on the host's clock, so one image with one sequence of
// inputs always gives the same run, with or without the core's delay-loop
// fast-forward.
//
// Memory as this chip's memory controller decodes it (see memory_map.h):
// flash at 0x00100000 and, until a remap, at 0 (MC_FMR.FWS wait states on
// reads, one more on writes; 32 bits a read through two read buffers);
// RAM at 0x00200000 (and at 0 after a remap), no wait states; each repeated
// within its 1 MiB; peripherals through the board's bus. A store into flash
// and the memory at 0 are decided in one place (flash_store, regions). An
// access to nothing, or a misaligned data access, is refused: the core takes
// a precise abort and MC_ASR / MC_AASR record it.
//
// While the flash controller runs a command the flash cannot be read: a
// fetch from it takes a prefetch abort and a load from it a data abort (the
// bus refuses both; MC_ASR records the access with neither UNDADD nor
// MISADD), and each is reported as the rule "flash read while a flash
// command runs" with the time and pc of the access. The two instructions
// after a store that starts a command from the flash were fetched before
// its data cycle and still run; the abort comes with the next fetch. The
// other bus master fares no better: the memory controller aborts a PDC
// read of the busy flash (MC_ASR names the PDC as its master), and the PDC,
// which has no abort input, moves the undefined data the bus gave it (0
// here); the boot monitor's load is refused as the core's is. Each is the
// same rule, with the reader named. Code that programs the flash runs from
// RAM and waits for FRDY, as the chip requires.
//
// Faults of the guest (undefined instruction, prefetch and data aborts) are
// taken as the chip takes them and recorded for reports, each when the core
// meets it, with the time, pc, mode and registers at the faulting
// instruction; the loop goes on.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "board/board.h"
#include "sim/core/arm7tdmi.h"
#include "sim/machine/elf_image.h"
#include "sim/machine/memory_map.h"

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
    board::Picos since = 0;     // when the run loop first found it there (within 1 ms of its entry)
    // Resets (the watchdog's, the reset controller's) that brought the core
    // back to the same loop since then, and the last one's time.
    uint64_t resets = 0;
    board::Picos last_reset = 0;
};

// A debugger's hardware on the chip (the JTAG port and the debug logic).
// It is served at instruction boundaries and may hold the core in debug
// state, during which the core does not run and the board's clock goes on.
class DebugAgent {
public:
    virtual ~DebugAgent() = default;
    // At an instruction boundary, after want_debug_service().
    virtual void serve() = 0;
    virtual bool holds_core() const = 0;
    // The EmbeddedICE's comparators stopped the core (before the
    // instruction at pc, or after a watched access).
    virtual void stopped(bool watchpoint) = 0;
    // The processor was reset.
    virtual void core_reset() = 0;
};

class Machine : private CoreBus {
public:
    explicit Machine(board::Board &board);
    ~Machine() override;
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // Places the image in flash (and RAM) and keeps its symbols for reports.
    void load(const ElfImage &image);
    // Power-on reset of the board, the core and RAM; flash keeps the image.
    // Then, as a debugger loads an image after a power-on: its RAM segments
    // are written again, and an image with nothing at the reset vector
    // starts at its entry point (ARM or Thumb by bit 0) instead.
    void reset();

    enum class Stop { Deadline, Breakpoint, Watchpoint, Stepped, Requested };
    // Runs until virtual time `deadline` (the first instruction boundary at
    // or after it), a breakpoint, a watchpoint or a stop request.
    Stop run_until(board::Picos deadline);
    Stop run_for(board::Picos duration) { return run_until(now() + duration); }
    // The same, to the first instruction boundary at or after the core's
    // cycle `cycle`: a deadline in picoseconds can only name a cycle to
    // within one, as the clock keeps a fraction of a picosecond.
    Stop run_to_cycle(uint64_t cycle);
    // Whichever of the two comes first.
    Stop run_until(board::Picos deadline, uint64_t cycle) { return run_to(Goal{deadline, cycle}); }
    // One instruction (or the entry of an interrupt that is due).
    Stop step();

    // From an observer or a bus callback: end the run at the next
    // instruction boundary; run_until then returns Stop::Requested.
    void request_stop();

    // At the first instruction boundary at or after virtual time `when`,
    // whichever call is running the core (run_until, step), `action` is
    // done there and the run goes on: a snapshot in the middle of a run,
    // whatever the front end's slices. Actions due at one time run in the
    // order given.
    void at_time(board::Picos when, std::function<void()> action);

    // Breakpoints stop before the instruction at the address runs.
    void add_breakpoint(uint32_t address);
    void remove_breakpoint(uint32_t address);
    const std::set<uint32_t> &breakpoints() const { return breakpoints_; }
    // Watchpoints stop after the instruction whose access touched the range.
    void set_watchpoints(const std::vector<Arm7tdmi::Watch> &watches)
    {
        watches_ = watches;
        core_.set_watchpoints(watches);
    }
    const std::vector<Arm7tdmi::Watch> &watchpoints() const { return watches_; }
    Arm7tdmi::WatchHit last_watch_hit() const { return core_.last_watch_hit(); }

    // The debugger's hardware; nullptr detaches it.
    void attach_debug_agent(DebugAgent *agent) { agent_ = agent; }
    // From a clock event: serve the agent at the next instruction boundary.
    void want_debug_service()
    {
        serve_wanted_ = true;
        core_.request_stop();
    }
    // In debug state: one instruction from its encoding (see
    // Arm7tdmi::execute_debug); at system speed the board's clock follows
    // its cycles. True when it refilled the pipeline.
    bool debug_execute(uint32_t encoding, uint32_t address, CoreBus *debug_bus);

    // Tools that follow what the core runs (traces, coverage, profiles).
    // Several may be attached; each sees everything. An attached observer
    // slows the core: attach only what is needed.
    void set_execution_observer(ExecutionObserver *observer);
    void remove_execution_observer(ExecutionObserver *observer);
    // Attaches an observer the machine keeps for the rest of its life.
    void keep_execution_observer(std::unique_ptr<ExecutionObserver> observer);

    // Off: every instruction runs, no delay loop is fast-forwarded. Results
    // are the same either way; only the host's time differs.
    void set_exact(bool exact);
    // Host code for the core's straight runs that start often (on by
    // default; the same results either way, see Arm7tdmi::set_host_code).
    void set_host_code(bool on) { core_.set_host_code(on); }
    bool exact() const { return exact_; }

    // A data access as the core makes one, but outside any instruction, for
    // models of code that is not emulated (the boot monitor): memory, a
    // store into the flash's range as the core's store goes, peripherals
    // with their side effects at the current cycle. False where the core
    // would take an abort (misaligned, nothing there).
    bool data_read(uint32_t address, unsigned size, uint32_t &value);
    bool data_write(uint32_t address, unsigned size, uint32_t value);

    // Reads without side effects: memory, and peripherals through peek.
    bool peek(uint32_t address, uint8_t *out, uint32_t length) const;
    // Debugger writes to memory (flash included) and peripherals.
    bool poke(uint32_t address, const uint8_t *data, uint32_t length);

    board::Board &board() { return board_; }
    Arm7tdmi &cpu() { return core_; }
    const Arm7tdmi &cpu() const { return core_; }
    MemoryMap &memory() { return memory_; }
    const ElfImage *image() const { return image_ ? &*image_ : nullptr; }
    std::string describe(uint32_t address) const;

    uint64_t instructions() const { return core_.instructions(); }
    // The core's count; inside a peripheral access, the access's cycle.
    uint64_t cycles() const { return clock_leads_ ? board_.clock.cycles() : core_.cycles(); }
    // Virtual time at cycles(), and at any cycle near it.
    board::Picos now() const { return time_of(cycles()); }
    board::Picos time_of(uint64_t cycle) const;
    unsigned flash_wait_states() const { return board_.mc.flash_wait_states(); }
    // The first kKeptFaults faults since reset, the count of all of them and
    // the last one: a guest that faults in a loop costs no memory.
    static constexpr size_t kKeptFaults = 10;
    const std::vector<GuestFault> &faults() const { return faults_; }
    uint64_t fault_count() const { return fault_count_; }
    const GuestFault *last_fault() const { return fault_count_ ? &last_fault_ : nullptr; }
    std::optional<ParkedState> parked() const;
    uint64_t exceptions_taken(Exception e) const { return core_.exceptions_taken(e); }

    // Snapshots of the whole board with its processor, in memory: the
    // board's parts, then (attached to the board) the RAM, the core, what
    // the run loop keeps for its reports (faults, the parked loop, the
    // rule checks) and every part the owner attached (keys, serial line).
    // Taken between runs, at an instruction boundary. A restore needs the
    // same image in flash (a snapshot of the chip's flash brings its own)
    // and a machine set up alike (the same attached parts); it throws
    // board::SnapshotError otherwise or for a stream that is not a save(),
    // leaving the machine to be reset or restored again. Breakpoints,
    // observers and --exact are the caller's and stay as they are.
    void save(board::StateWriter &w) { board_.save(w); }
    std::vector<uint8_t> save()
    {
        board::StateWriter w;
        save(w);
        return w.take();
    }
    void restore(board::StateReader &r);
    void restore(const std::vector<uint8_t> &snapshot)
    {
        board::StateReader r(snapshot);
        restore(r);
    }

private:
    // CoreBus: peripherals, holes and stores into flash.
    bool read(uint32_t address, unsigned size, uint64_t cycle, uint32_t &value, unsigned &wait) override;
    bool write(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait) override;
    bool aborts_misaligned() const override { return true; }
    void aborted(const AbortInfo &info) override;
    void undefined(uint32_t pc, uint32_t cpsr) override;

    // The system memory as the PDC, the chip's other bus master, sees it:
    // the memory map, except that the memory controller aborts its reads of
    // the flash while a flash command runs.
    class PdcView : public board::Memory {
    public:
        explicit PdcView(Machine &m) : m_(m) {}
        bool read8(uint32_t address, uint8_t &value) override;
        bool write8(uint32_t address, uint8_t value) override { return m_.memory_.write8(address, value); }

    private:
        Machine &m_;
    };

    // What the core reaches directly, from the memory controller's state.
    void update_regions();
    // A flash address while the flash controller runs a command.
    bool flash_busy(uint32_t address) const;
    // What a store by the core into the flash's address range does.
    void flash_store(uint32_t address, unsigned size, uint32_t value);
    // A reset the reset controller (or the watchdog through it) ordered:
    // the board's part, and the core's when it names the processor.
    void perform_reset_order();
    // Brings the board's clock to `cycle`, firing the events due by then.
    // Mostly nothing is due: that case is a few instructions, inline.
    void catch_up(uint64_t cycle)
    {
        board::Clock &c = board_.clock;
        if (cycle <= c.cycles())
            return;
        if (cycle < next_event_cycle_) {
            bool outer = clock_leads_;
            clock_leads_ = true;
            c.advance_cycles(cycle - c.cycles());
            clock_leads_ = outer;
        } else {
            catch_up_with_events(cycle);
        }
    }
    void catch_up_with_events(uint64_t cycle);
    // A store the fast path of write() does not take: an event due by its
    // cycle, flash, a register under the bus's watch or not yet decoded, a
    // narrow access, nothing there.
    [[gnu::noinline]] bool write_otherwise(uint32_t address, unsigned size, uint64_t cycle, uint32_t value, unsigned &wait);
    // The same fast path for a word the core hands a port (CoreBus::Port)
    // straight to; ports are opened for registers write() has taken words to.
    static bool store_at_port(const Port &p, uint64_t cycle, uint32_t value);
    bool store_quietly(const board::Bus::Port &port, uint64_t cycle, uint32_t value);
    void open_port(uint32_t address);
    // The core's ports, all of them, once the bus's may no longer hold.
    void close_ports();
    // After a peripheral access: new events or a new clock, a flash
    // command started or over, a reset ordered. Mostly none of it: that
    // case is a few compares, inline.
    void after_access()
    {
        const board::Clock &c = board_.clock;
        if (c.next_event_time() == limit_event_ && c.master_period_fs() == limit_period_fs_ && !board_.reset_ordered() &&
            board_.chip_flash.busy(c.now()) == regions_flash_busy_) [[likely]]
            return;
        after_access_changed();
    }
    void after_access_changed();
    // Where a run ends: a virtual time or a core cycle, whichever comes first.
    struct Goal {
        board::Picos time = ~board::Picos{0};
        uint64_t cycle = ~uint64_t{0};
    };
    Stop run_to(Goal goal);
    uint64_t cycle_limit(Goal goal);
    uint64_t cycles_until(board::Picos t) const;
    void note_next_event();
    void after_run();
    // The core does not run (debug state, or held in reset by NRST): the
    // board's clock goes on to the next event or the deadline.
    bool core_held() const { return (agent_ && agent_->holds_core()) || board_.rstc.processor_held(); }
    void idle_until(Goal goal);
    // The actions of at_time() that are due.
    void do_timed();
    uint32_t spsr_of(Mode mode);
    void note_fault(const std::string &what, uint32_t pc, uint32_t data_address, const Registers &registers);
    void install_observers();
    void declare_state();

    board::Board &board_;
    MemoryMap memory_{board_.chip_flash};
    PdcView pdc_view_{*this};
    Arm7tdmi core_;
    std::optional<ElfImage> image_;
    std::set<uint32_t> breakpoints_;
    std::vector<Arm7tdmi::Watch> watches_;
    bool exact_ = false;
    // What an open port of the core stands for: the bus's port it was
    // opened from, so that its stores need no second look at the bus. Kept
    // while the bus's ports hold (the core's port is closed otherwise).
    struct OpenPort {
        Machine *machine = nullptr;
        board::Bus::Port port;
    };
    std::array<OpenPort, kPorts> open_ports_{};

    // What the current core run's limit was computed from.
    board::Picos limit_event_ = board::Clock::kNever;
    uint64_t limit_period_fs_ = 0;
    uint64_t next_event_cycle_ = 0;   // the clock's cycle count when the next event is due
    // What the regions the core has were made for: the flash wait states
    // and these.
    static constexpr unsigned kRegionsRemapped = 0x100, kRegionsFlashBusy = 0x200;
    unsigned regions_key_ = ~0u;
    bool regions_flash_busy_ = false;   // the key's kRegionsFlashBusy, for after_access()
    bool clock_leads_ = false;      // in a peripheral access or catching up: time is the clock's
    bool stop_wanted_ = false;      // a stop asked by a caller, not a resync
    DebugAgent *agent_ = nullptr;
    bool serve_wanted_ = false;
    std::vector<std::pair<board::Picos, std::function<void()>>> timed_;   // by time

    std::vector<ExecutionObserver *> observers_;
    std::unique_ptr<ExecutionObserver> fan_out_;
    std::vector<std::unique_ptr<ExecutionObserver>> kept_;

    std::optional<uint32_t> parked_at_;
    board::Picos next_park_look_ = 0;
    uint32_t parked_mode_ = 0;
    board::Picos parked_since_ = 0;
    uint64_t parked_resets_ = 0;
    board::Picos parked_last_reset_ = 0;
    std::vector<GuestFault> faults_;
    GuestFault last_fault_;
    uint64_t fault_count_ = 0;

    board::State state_{"machine"};
};

}  // namespace sim
