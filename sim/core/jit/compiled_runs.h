// Host code for straight runs: a run that starts often is compiled into
// x86-64 code that does what the run loop's interpretation of it does, to
// the cycle (state, counts, the cycle of every access, where it ends), with
// the instructions it knows inline and the others through their handlers.
// Private to sim/core.
#pragma once

#include <cstdint>
#include <memory>

namespace sim::core {
struct Cpu;
struct Decoded;
}

namespace sim::core::jit {

// What running a run's host code came to.
enum Outcome : int {
    kRan = 0,         // as the interpreted run (run_unchecked): the run loop goes on from there
    kStale = 1,       // nothing done: made for other memory timing, to be compiled anew
    kInterpret = 2,   // nothing done: this time the run is interpreted
};
using Code = int (*)(Cpu &);

// A run's slot beside its first entry (CodeCache::arm_runs, thumb_runs):
// below kNever, how often it started (it is compiled at its
// Cpu::host_code_after-th start); above, its Code.
constexpr uintptr_t kNever = 256;

// The host code of the run of `length` entries from `d`, the first entry
// of r[15] in the window of the current state, its cycles short of
// run_until as the run loop reckons them; kNever where it cannot be made
// (no host code on this machine, or no room).
uintptr_t compile(Cpu &c, Decoded *d, unsigned length);

// Executable memory for host code, a Cpu's own.
class Arena {
public:
    Arena();
    ~Arena();
    Arena(const Arena &) = delete;
    Arena &operator=(const Arena &) = delete;
    uint8_t *next() const { return base_ + used_; }
    size_t room() const { return size_ - used_; }
    void take(size_t bytes) { used_ = (used_ + bytes + 15) & ~size_t{15}; }
    // Everything made so far is dropped (the caller forgets it first).
    void empty() { used_ = 0; }
    bool usable() const { return base_ != nullptr; }

private:
    uint8_t *base_ = nullptr;
    size_t size_ = 0, used_ = 0;
};

}  // namespace sim::core::jit
