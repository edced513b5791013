// Delay-loop fast-forward. Private to sim/core.
//
// A backward branch that closes a loop is analysed the first time it is
// taken. The loop qualifies when the path around it is straight-line code
// whose whole effect is a counter (a register or a word at a fixed offset
// from an unchanging base register) moving by a constant step, values
// derived from the counter, constants, and the flags of a compare or add/sub
// of the counter with a constant or an unchanging register; its only way
// out is one conditional branch on those flags. Its data accesses must go
// to host memory (never to a peripheral).
//
// When such a loop comes round again after one complete iteration run in
// full (which is how the cost of an iteration is measured, wait states and
// all, once for as long as the code and the loop's words stay in the same
// memories), and from then on whenever an iteration starts, also the first
// of a later run of the loop, the iterations before the one that leaves are computed at once: the
// counter and the locations derived from it get the values of the last
// skipped iteration, the flags those of its last flag-setting instruction,
// and the cycle and instruction counts the measured cost times the number
// skipped. It never skips past the run's cycle limit, and never while
// anything wants the core's attention (an interrupt, a stop, tools).
#pragma once

#include "sim/core/cpu.h"

namespace board {
class StateWriter;
class StateReader;
}

namespace sim::core {

constexpr uint32_t kNotALoop = 0xFFFFFFFF;

// A value as a function of the state at the start of an iteration: the
// value location `base` had then, plus k (or the constant k). Locations are
// registers 0..14 and slots (words at fixed offsets from the slot base
// register) kSlot + j.
struct Sym {
    static constexpr uint8_t kConst = 0xFF;
    uint8_t base = kConst;
    uint32_t k = 0;
    bool operator==(const Sym &) const = default;
};
constexpr uint8_t kSlot = 16;
constexpr unsigned kMaxSlots = 4;
// A skip is replayed when its outcome reads at most this many locations
// (the counter included) and writes at most this many.
constexpr unsigned kMaxReplayInputs = 4;
constexpr unsigned kMaxReplayOutputs = 4;

// The flags of an add or subtract of two values.
struct FlagOp {
    bool valid = false;
    bool subtract = false;
    Sym a, b;
};

struct LoopInfo {
    uint32_t branch_pc = 0, head = 0;
    bool thumb = false;
    uint64_t generation = 0;
    bool usable = false;

    uint8_t counter = 0;            // location
    uint32_t step = 0;              // added per iteration (mod 2^32)
    uint8_t slot_base = 0;          // register
    unsigned slots = 0;
    uint32_t slot_offset[kMaxSlots] = {};
    struct Update {
        uint8_t location;
        Sym value;                  // in terms of the last skipped iteration's start
    };
    std::vector<Update> updates;    // modified locations other than the counter
    FlagOp exit_op;                 // the flags the way out tests
    uint32_t exit_cond = 0;
    bool exit_when = true;          // leaves when the condition is this
    FlagOp last_op;                 // the flags an iteration ends with
    uint32_t path_length = 0;       // instructions per iteration
    std::vector<std::pair<uint32_t, uint32_t>> segments;   // address ranges of the path

    // The last leaving iterations found: the distance from `counter` with
    // the other operand of the exit test at `other` (a routine is called
    // with a few counts, again and again).
    struct Answer {
        bool valid = false;
        uint32_t counter = 0, other = 0, distance = 0;
    };
    static constexpr unsigned kAnswers = 4;
    mutable Answer answers[kAnswers];
    mutable unsigned next_answer = 0;
    // The last answers that made room for others, found again without the
    // search (they are what it finds). Not state: a restore starts
    // without them.
    mutable Answer gone[kAnswers];
    mutable unsigned next_gone = 0;

    // The last skips made to a remembered answer, each with the values of
    // every location its outcome read and of those it wrote: a delay
    // routine called again with the same count writes the same again, and
    // its first instruction need only compare. Kept for as long as their
    // answers, the measured cost and the decoded code stay: a replay in
    // place of a skip that would remember its answer anew would leave the
    // answers (which are state) other than the skip leaves them. Not
    // state: a restore starts without them.
    struct Replay {
        bool valid = false;
        uint8_t answer = 0;   // its answer's place in answers
        // The values the inputs had, two to a word (0 past replay_inputs).
        uint64_t input[2] = {};
        // Cycles 0: it skipped nothing (an iteration costs at least one).
        uint64_t cycles = 0, instructions = 0;
        bool sets_flags = false;
        Cpu::Flags flags;
        // What it wrote: the updated locations in the loop's order, then
        // the counter, then the counter again up to kMaxReplayOutputs
        // (none when it skipped nothing).
        uint32_t output_value[kMaxReplayOutputs] = {};
    };
    // Found by their inputs' values: a few sets of two, so that a start
    // looks at two replays at most however many the routine's callers
    // made (the newest first in its set).
    static constexpr unsigned kReplaySetBits = 2, kReplayWays = 2;
    mutable Replay replays[kReplayWays << kReplaySetBits];
    static_assert(kMaxReplayInputs == 4, "the inputs fill two words");
    static unsigned replay_set(uint64_t a, uint64_t b)
    {
        return static_cast<unsigned>(((a ^ (b << 23 | b >> 41)) * 0x9E3779B97F4A7C15ull) >> (64 - kReplaySetBits));
    }
    Replay *replays_for(uint64_t a, uint64_t b) const { return &replays[replay_set(a, b) * kReplayWays]; }
    // The locations every skip of the loop reads, the counter first
    // (worked out with the first replay; kNoReplay: too many).
    static constexpr uint8_t kNoReplay = 0xFF;
    mutable bool replay_known = false;
    mutable uint8_t replay_inputs = 0;
    mutable uint8_t replay_input[kMaxReplayInputs] = {};
    void forget_replays() const
    {
        for (Replay &r : replays) r.valid = false;
    }
    // The answer at `at` is about to make room for another: the replays
    // made to it go with it, the others stay.
    void forget_replays_of(unsigned at) const
    {
        for (Replay &r : replays)
            if (r.answer == at) r.valid = false;
    }

    // Where the slots are for the base register's value `base`, while the
    // memories are those of `generation`.
    struct SlotPlace {
        bool valid = false;
        uint32_t base = 0;
        uint64_t generation = 0;
        const Region *region = nullptr;   // of the first slot
        uint8_t *host[kMaxSlots] = {};
        const uint8_t *has_code[kMaxSlots] = {};   // its page's "holds decoded code" mark
    };
    SlotPlace where;

    // What a replay from the loop's first instruction reads and writes,
    // found once for the memories (code generation) and the slot base it
    // holds for: where each input's bytes are (a register, a slot's host
    // bytes, or a zero word past the inputs) and where the slots are. Not
    // state: dropped whenever the loop is analysed or measured anew, so
    // that while it is valid for the code generation, the loop is usable
    // and measured. Kept for two slot bases (a routine called from two
    // depths of the stack), never two for the same one, the second only
    // for a loop with slots (one without keeps base 0).
    //
    // A start looks at no more than it must: the facts hold while their
    // generation is the code's (kNever: made for none), the inputs past
    // the first two are read only where there are more, and every output
    // place is written (those past the loop's own repeat its last).
    struct Ready {
        static constexpr uint64_t kNever = ~uint64_t{0};
        uint64_t generation = kNever;
        uint32_t base = 0;
        bool wide = false;   // more than two inputs
        uint8_t slots = 0;   // the loop's
        const uint8_t *input[kMaxReplayInputs] = {};
        uint8_t *output[kMaxReplayOutputs] = {};   // in Replay::output_value's order
        const uint8_t *has_code[kMaxSlots] = {};
    };
    static constexpr unsigned kReadyBases = 2;
    mutable Ready ready[kReadyBases];
    mutable uint8_t ready_victim = 0;   // the one made anew next for another base
    void forget_ready() const
    {
        for (Ready &k : ready) k.generation = Ready::kNever;
    }

    // The handler of the loop's first instruction, while its decoded entry
    // skips first (see delay_loop.cpp).
    Handler head_fn = nullptr;

    // The cost of an iteration once measured (0: not yet), and the memory
    // its words were in then.
    uint64_t cost = 0;
    const Region *cost_slot_region = nullptr;
    // The last time round (for measuring that cost).
    bool marked = false;
    uint64_t mark_cycles = 0, mark_instructions = 0, mark_exceptions = 0;
    uint32_t mark_counter = 0, mark_base = 0;
};

// For host code. The handler a loop's first instruction runs after its
// skip, where `d` is one (its handler skips first); else null.
Handler head_handler(const Cpu &c, const Decoded &d);
// At such a head, inside a straight run: the replay of the skip where it
// holds and the run goes on after it (true: the head itself is still to
// run); else all that the head's handler does (false).
bool replayed_at_head(Cpu &c, Decoded &d);

// The branch in `d` at `pc` has just been taken backwards (r[15] is its target).
void delay_loop_closed(Cpu &c, Decoded &d, uint32_t pc);
// Tells the observer of the iterations the last closing branch skipped.
void tell_repeated(Cpu &c);

// For snapshots: the loops found (measured, marked, answers), and the
// decoded entries that carry them, the closing branches' loop numbers and
// the hooked loop heads. A restore, after the decoded code was dropped,
// decodes those entries again from memory and puts the marks back, so the
// run goes on skipping exactly where it would have.
void save_loops(const Cpu &c, board::StateWriter &w);
void restore_loops(Cpu &c, board::StateReader &r);

}  // namespace sim::core
