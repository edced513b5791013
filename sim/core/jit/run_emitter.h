// The host code of one straight run as it is made: the parts every
// instruction shares (entry, exits, calls of handlers, cycles, counts,
// Thumb fetches through the read buffers) for the code of each state's
// instructions (arm_code.cpp, thumb_code.cpp). Private to sim/core/jit.
//
// In the code: rbx holds the Cpu, rbp its cycles, r12 and r14 the cost of
// an S and an N fetch from the code's memory, r13 (Thumb code read through
// the read buffers) their ahead_ready, r15 whether the run was chained to;
// rax, rcx, rdx, rsi, rdi and r8 to r11 are scratch. The buffers' key is
// known to the code as it is made, from one straight fetch to the next,
// and checked where it is not (at the start and after a handler call). Cpu::cycles is up to date only around a handler
// call and at the end, r[15] only for a handler call, and
// Cpu::instructions holds the count at the run's start until the end: a
// handler call adds the instructions before it and takes them off again
// after, so that every path through an instruction leaves the same count.
// A run's code is preceded by a header: what it was made for (stamp()) and
// where a run made for the same goes on into it with the state still in
// the registers (past the entry's checks and loads).
#pragma once

#include "sim/core/cpu.h"

#include <xbyak/xbyak.h>

#include <deque>
#include <functional>
#include <vector>

namespace sim::core::jit {

class RunEmitter : public Xbyak::CodeGenerator {
public:
    RunEmitter(Cpu &c, uint8_t *at, size_t room, bool thumb);

    // The operand of a Cpu field.
    template <class T>
    Xbyak::Address field(const T &member, int size = sizeof(T))
    {
        const int at = static_cast<int>(reinterpret_cast<const char *>(&member) - reinterpret_cast<const char *>(&c_));
        switch (size) {
        case 1: return byte[rbx + at];
        case 2: return word[rbx + at];
        case 4: return dword[rbx + at];
        default: return qword[rbx + at];
        }
    }
    Xbyak::Address reg(unsigned n) { return field(c_.r[n]); }
    Cpu &cpu() { return c_; }
    bool thumb() const { return thumb_; }

    void begin();
    // The run ends after its last instruction, which went on to `next_pc`
    // (an instruction done inline).
    void end_at(uint32_t next_pc, bool chain = true);
    // The run ends with its last instruction done by its handler, which
    // left pc (or, where its condition failed, the code did).
    void end_after_call();
    // The run ends with a branch done inline to `target`: where the run
    // loop would run the run there next (in the window, kept, short of
    // run_until by its reckoning) and it has host code, that goes on at
    // once (the two runs chained), else the run loop takes over.
    void end_at_branch(uint32_t target);
    // Thumb: the run ends with a branch to the Thumb address in esi, in the
    // window, its own fetch made straight: the refill, then on as
    // end_at_branch.
    void end_at_thumb_branch_to_esi();
    // Thumb, code running straight on (the caller has checked the read
    // buffers' key is `address`, see unless_straight): the fetch of
    // `address` through the buffers (Cpu::fetch_straight), or an S fetch
    // where the code's memory has none. Takes rax.
    void straight_fetch(uint32_t address);
    // Thumb: the pipeline refill at `target` through the read buffers,
    // their key being `key` (Cpu::refill_buffered), or N and S fetches.
    // Takes rax, rcx, rdx.
    void thumb_refill(uint32_t key, uint32_t target);
    // Jumps to `other` unless the read buffers' key is `address` (code
    // running straight on fetches it next); nothing where code is not read
    // through them.
    void unless_straight(uint32_t address, Xbyak::Label &other);
    // Whether the body can take another instruction.
    bool has_room() const { return getSize() + 512 < maxSize_; }

    // The instruction of `d` at `pc`, by its handler.
    void call_handler(Decoded &d, uint32_t pc);
    // What the code knows at a point of it.
    enum class Key : uint8_t {
        kUnknown,    // the read buffers' key: to be looked at
        kStraight,   // the key is key_next (code running straight on)
        kEmptied,    // nothing in the buffers (a data read took them)
    };
    struct State {
        uint32_t pending;
        Key key;
        uint32_t key_next;
        bool ahead_passed;
    };
    State state() const { return {pending_, key_, key_next_, ahead_passed_}; }
    void set_state(const State &s)
    {
        pending_ = s.pending;
        key_ = s.key;
        key_next_ = s.key_next;
        ahead_passed_ = s.ahead_passed;
    }
    // The instruction by its handler out of line, from a jump to `from`
    // made where the code was as `at_jump` says; it returns to `back`, the
    // end of the instruction's inline code, which must be called here
    // (where the code is as it is at `back`).
    void call_handler_cold(Decoded &d, uint32_t pc, const State &at_jump, Xbyak::Label &from, Xbyak::Label &back);
    // After call_handler_cold for a word store to `from`, not to plain
    // memory: from `from`, the store of register rd at the address in esi
    // taken by a port of the bus (CoreBus::Port) after `fetch` makes the
    // instruction's fetch, back to `back`; where no port takes it, on to
    // `slow`, the handler.
    void store_at_port_cold(uint32_t pc, unsigned rd, const State &at_jump, Xbyak::Label &from, Xbyak::Label &slow,
                            Xbyak::Label &back, std::function<void()> fetch);
    // A delay loop's head (its entry's handler `d.fn` skips first,
    // delay_loop.h): the skip replayed by a call; where that is done and
    // the run goes on, the head's own code follows, `head` making it inline
    // (true) or else a call of `own`, the head's own handler, in its place
    // (and in `head`'s slow paths); else the call did all. True where the
    // head is inline.
    bool at_loop_head(Decoded &d, uint32_t pc, Handler own, const std::function<bool()> &head);
    // An instruction done inline: counted.
    void done() { ++pending_; }

    // Thumb, before anything of the instruction at `pc`: where the read
    // buffers' key is not known, a look at it; off the straight path, out
    // to the run loop before the instruction (or, as its first, to be
    // interpreted).
    void thumb_begin(uint32_t pc);
    // Thumb: the instruction's fetch of the halfword at `address` through
    // the read buffers where the code's memory has them, else an S (or N)
    // fetch. Takes rax.
    void thumb_fetch(uint32_t address, bool sequential = true);
    // A data read took the read buffers.
    void buffers_emptied() { key_ = Key::kEmptied; }
    bool buffered() const { return thumb_ && c_.code_buffered; }

    // A label that lives as long as the emitter.
    Xbyak::Label &label() { return labels_.emplace_back(); }
    // Code to place after the body (slow paths).
    void later(std::function<void()> f) { cold_.push_back(std::move(f)); }
    // Makes the code; null where it did not fit.
    const uint8_t *finish();

    // Jumps to `fail` when ARM condition `cond` fails on the flags.
    void jump_unless(unsigned cond, Xbyak::Label &fail);

    // ---- pieces of instructions ----
    // ecx := register rm shifted by an immediate (`type` LSL, LSR, ASR,
    // ROR; amount 0 as the ARM encodes LSR #32, ASR #32 and RRX); with
    // `carry`, dl := the shifter's carry-out (the C flag where the shift
    // leaves it alone). Takes edx.
    void shifted_operand(unsigned rm, unsigned type, unsigned amount, bool carry);
    // The flags a later instruction of the run (or anything after it) may
    // read before one overwrites them, after the instruction being made:
    // the others are not stored (kFlagN, kFlagZ, kFlagC, kFlagV).
    static constexpr uint8_t kFlagN = 8, kFlagZ = 4, kFlagC = 2, kFlagV = 1, kAllFlags = 15;
    void set_live(uint8_t flags) { live_ = flags; }
    // N and Z of `res`.
    void set_nz(const Xbyak::Reg32 &res);
    // N, Z, C and V of the x86 add or subtract just made (ARM C is "no borrow").
    void set_nzcv(bool subtract);
    // C := `value` (a byte register or a constant).
    void set_c(const Xbyak::Reg8 &value);
    void set_flag_to(uint8_t flag, bool value);
    // CF := the C flag, inverted for a subtraction's borrow. Takes edx.
    void carry_in(bool subtract);
    // Cpu::plain for the address in esi: r9 := its host address and r10 :=
    // the wait states of an N cycle there (r8 one past its Region), or a
    // jump to `slow`. Takes rax and r8 to r11.
    void plain_region(bool write, Xbyak::Label &slow);
    // The same through the page table, for any region.
    void plain_region_any(bool write, Xbyak::Label &slow);
    // eax := the `size` bytes at r9 (sign-extended with `sign`); and the
    // low `size` bytes of register rd to r9.
    void load_host(unsigned size, bool sign);
    void store_host(unsigned size, unsigned rd);
    // After plain_region for a store: a jump to `slow` where the granule of
    // esi + `offset` (in the same page) holds decoded code. Takes rax and r11.
    void code_free_at(uint32_t offset, Xbyak::Label &slow);

private:
    void flush_before_call(uint32_t pc);
    // Thumb: the refill at the target in esi by Cpu::refill_buffered.
    void refill_by_call();
    // The call of `own`, else of d.fn as it is at the time of the call.
    void call_of(Decoded &d, Handler own);
    // After a handler call out of line: back to `back` where the read
    // buffers are as the code has them there (`at_back`), else out to the
    // run loop after the instruction at `pc`, `counted` instructions done.
    void rejoin(const State &at_back, uint32_t counted, Xbyak::Label &back, uint32_t pc);
    void after_call();
    void leave(int outcome);
    // Where the run loop would run the run at pc next (in the window, kept,
    // short of run_until by its reckoning) and it has host code, on there
    // at once (the two runs chained), else back to the run loop. The
    // Cpu's cycles, count and pc are up to date.
    void chain_to_pc();
    // ecx, an offset into the window: rsi := the decoded entry there, rdi
    // := its slot of host code. Takes rcx.
    void entry_of_ecx();
    // The same for the entry rsi and its slot rdi; `out` is bound here.
    void chain_from(Xbyak::Label &out);
    // For the entry rsi and its slot rdi, as the run loop (straight_runs.cpp)
    // looks before it runs a run: the run kept, within the window, short of
    // run_until by its reckoning (the cycles in `cycles`), host code made
    // for it. Then rax := that code and the run is entered as chained to
    // (run_end its end, r15d set); else a jump to `out`.
    void run_there(Xbyak::Label &out, const Xbyak::Operand &cycles);
    // end_at_branch where the target's run may be gone on into straight.
    void chain_straight_to(uint32_t target);
    // The same for the entry rsi and its slot rdi, the cycles in rbp: on
    // into the run there, else to `out` (the run loop) or `other` (rax:
    // its code, made for another state or timing, to be entered after its
    // registers' saving). Cpu::instructions is up to date.
    void chain_straight(Xbyak::Label &out, Xbyak::Label &other);
    // What the code is made for (the window, the state, the timing of the
    // code's fetches), in the header before the code.
    uint64_t stamp() const;
    static constexpr int kHeader = 16;
    size_t fast_entry_ = 0;
    // Out with nothing done (`outcome`), or, chained to, as a run done.
    void leave_undone(int outcome);
    // The read buffers' key and ahead_ready into the Cpu.
    void flush_buffers();

    Cpu &c_;
    bool thumb_;
    uint32_t pending_ = 0;   // instructions of the run so far
    Key key_ = Key::kUnknown;
    uint32_t key_next_ = 0;
    uint8_t live_ = kAllFlags;
    Handler own_ = nullptr;   // while a loop's head is made: its own handler
    const Region *likely_ = nullptr;
    // The straight fetch just made was a word's second half, and the read
    // ahead it started will have ended by the next fetch.
    bool ahead_passed_ = false;
    Xbyak::Label exit_after_call_, stale_, elsewhere_;
    // Where a run chained to from another goes in: its entry less the
    // registers it saves, which the first run of the chain saved.
    static size_t chain_offset_;
    std::vector<std::function<void()>> cold_;
    std::deque<Xbyak::Label> labels_;
};

// The instruction of `d` at `pc` into the run's code: inline where it is a
// form the state's code knows, else by its handler. True when it ended the
// run's code (the run's last instruction is handled by end_* as well).
void emit_arm(RunEmitter &e, Decoded &d, uint32_t pc, bool last);
void emit_thumb(RunEmitter &e, Decoded &d, uint32_t pc, bool last);
// LDM/STM of `d` (its fields as block_form and thumb_block_form fill them),
// not loading pc, in either state (block_code.cpp).
struct BlockShape {
    bool load, before, up, write_back;
};
void emit_block_transfer(RunEmitter &e, Decoded &d, const BlockShape &shape, uint32_t pc);
// The flags the instruction of `d` at `pc` reads (all where a handler or
// an exit may see them) and those it always writes, as emit_* make it.
struct FlagUse {
    uint8_t reads, writes;
};
FlagUse thumb_flag_use(const Cpu &c, const Decoded &d, uint32_t pc);

}  // namespace sim::core::jit
