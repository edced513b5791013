// A shadow call stack: which function each cycle was spent under, as call
// edges (the instruction that called, the address called, how often, and the
// cycles and instructions spent in the call, callees included).
//
// Each exception starts a context of its own whose first frame is the vector:
// an interrupt is a call root, and its cycles count for no function of the
// code it interrupted. A frame ends when execution jumps to its return
// address (a frame deeper in the context can be returned to, unwinding the
// ones above it); a context ends when its first frame does.
//
// Addresses: `site` and `target` are where the code is (aliases folded);
// return addresses are compared as the core jumps to them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace simtools {

class CallTracker {
public:
    struct Edge {
        uint32_t site = 0, target = 0;
        uint64_t calls = 0, cycles = 0, instructions = 0;
    };
    struct Root {
        uint32_t target = 0;
        uint64_t entries = 0;
    };
    static constexpr uint32_t kNoAddress = 1;   // never a return address (odd)

    // Running totals, kept by the caller; costs are read from them.
    void set_totals(const uint64_t *cycles, const uint64_t *instructions)
    {
        cycles_ = cycles;
        instructions_ = instructions;
    }

    // A new root context: the program starting (or being moved) at `target`
    // forgets every frame; an exception stacks one, to end when execution
    // comes back to `resume` (or `resume_alt`).
    void start(uint32_t target);
    void exception(uint32_t vector, uint32_t resume, uint32_t resume_alt);

    void call(uint32_t site, uint32_t target, uint32_t return_address);
    // A jump that is not a call: true when it returned from a frame.
    bool returned(uint32_t to);
    // A jump to the first instruction of a function from code that did not
    // call it: a tail call, sharing the return of the frame it leaves.
    void jumped_to_function(uint32_t site, uint32_t target);

    // Closes the frames still open (costs up to now) without forgetting them:
    // call before reading edges at the end of a run.
    void settle();

    const std::vector<Edge> &edges() const { return edges_; }
    const std::vector<Root> &roots() const { return roots_; }
    uint64_t dropped_frames() const { return dropped_; }

private:
    struct Frame {
        uint32_t target, ret, ret_alt, edge;
        uint64_t cycles0, instructions0;
    };
    struct Context {
        size_t first;
        uint64_t excluded_cycles = 0, excluded_instructions = 0;
        uint64_t start_cycles, start_instructions;
    };
    static constexpr uint32_t kNoEdge = ~0u;
    static constexpr size_t kMaxFrames = 4096, kMaxContexts = 64;

    uint32_t edge(uint32_t site, uint32_t target);
    void push(uint32_t target, uint32_t ret, uint32_t ret_alt, uint32_t edge);
    void pop_frame();
    void pop_context();
    void add_root(uint32_t target);

    const uint64_t *cycles_ = nullptr, *instructions_ = nullptr;
    std::vector<Frame> frames_;
    std::vector<Context> contexts_;
    std::vector<Edge> edges_;
    std::unordered_map<uint64_t, uint32_t> edge_index_;
    uint64_t last_key_ = ~uint64_t{0};
    uint32_t last_edge_ = 0;
    std::vector<Root> roots_;
    uint64_t dropped_ = 0;
};

}  // namespace simtools
