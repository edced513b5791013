#include "sim/tools/call_tracker.h"

namespace simtools {

void CallTracker::add_root(uint32_t target)
{
    for (Root &r : roots_)
        if (r.target == target) {
            ++r.entries;
            return;
        }
    roots_.push_back({target, 1});
}

void CallTracker::start(uint32_t target)
{
    while (!contexts_.empty()) pop_context();
    contexts_.push_back({0, 0, 0, *cycles_, *instructions_});
    add_root(target);
    push(target, kNoAddress, kNoAddress, kNoEdge);
}

void CallTracker::exception(uint32_t vector, uint32_t resume, uint32_t resume_alt)
{
    if (contexts_.size() >= kMaxContexts) {
        // Exceptions that never returned (a handler parked for good): the
        // oldest interrupted code will not run again as it was.
        start(vector);
        return;
    }
    contexts_.push_back({frames_.size(), 0, 0, *cycles_, *instructions_});
    add_root(vector);
    push(vector, resume, resume_alt, kNoEdge);
}

uint32_t CallTracker::edge(uint32_t site, uint32_t target)
{
    uint64_t key = uint64_t{site} << 32 | target;
    if (key == last_key_) return last_edge_;
    auto [it, inserted] = edge_index_.emplace(key, static_cast<uint32_t>(edges_.size()));
    if (inserted) edges_.push_back({site, target, 0, 0, 0});
    last_key_ = key;
    last_edge_ = it->second;
    return it->second;
}

void CallTracker::push(uint32_t target, uint32_t ret, uint32_t ret_alt, uint32_t e)
{
    if (frames_.size() >= kMaxFrames) {
        ++dropped_;
        return;
    }
    const Context &c = contexts_.back();
    frames_.push_back({target, ret, ret_alt, e, *cycles_ - c.excluded_cycles, *instructions_ - c.excluded_instructions});
}

void CallTracker::call(uint32_t site, uint32_t target, uint32_t return_address)
{
    if (contexts_.empty()) start(site);
    uint32_t e = edge(site, target);
    ++edges_[e].calls;
    push(target, return_address, kNoAddress, e);
}

void CallTracker::jumped_to_function(uint32_t site, uint32_t target)
{
    if (contexts_.empty() || frames_.size() <= contexts_.back().first) return;
    const Frame &top = frames_.back();
    if (top.target == target) return;   // a loop back to the function's start
    uint32_t e = edge(site, target);
    ++edges_[e].calls;
    push(target, top.ret, top.ret_alt, e);
}

bool CallTracker::returned(uint32_t to)
{
    if (contexts_.empty()) return false;
    size_t first = contexts_.back().first;
    size_t i = frames_.size();
    while (i > first && frames_[i - 1].ret != to && frames_[i - 1].ret_alt != to) --i;
    if (i == first) return false;
    // Frame i-1 returns; so do the tail calls below it that share its return.
    while (frames_.size() >= i) pop_frame();
    while (frames_.size() > first && (frames_.back().ret == to || frames_.back().ret_alt == to)) pop_frame();
    if (frames_.size() == first && contexts_.size() > 1) pop_context();
    return true;
}

void CallTracker::pop_frame()
{
    const Frame &f = frames_.back();
    if (f.edge != kNoEdge) {
        const Context &c = contexts_.back();
        Edge &e = edges_[f.edge];
        e.cycles += *cycles_ - c.excluded_cycles - f.cycles0;
        e.instructions += *instructions_ - c.excluded_instructions - f.instructions0;
    }
    frames_.pop_back();
}

void CallTracker::pop_context()
{
    size_t first = contexts_.back().first;
    while (frames_.size() > first) pop_frame();
    Context done = contexts_.back();
    contexts_.pop_back();
    if (!contexts_.empty()) {
        contexts_.back().excluded_cycles += *cycles_ - done.start_cycles;
        contexts_.back().excluded_instructions += *instructions_ - done.start_instructions;
    }
}

void CallTracker::settle()
{
    // The open frames' cost so far goes to their edges; their start moves
    // to now, so that a later settle() adds only what came after.
    for (size_t k = 0; k < contexts_.size(); ++k) {
        const Context &c = contexts_[k];
        size_t end = k + 1 < contexts_.size() ? contexts_[k + 1].first : frames_.size();
        // A context below the top is paused: its clock stopped when the
        // exception above it came.
        uint64_t now_c = (k + 1 < contexts_.size() ? contexts_[k + 1].start_cycles : *cycles_) - c.excluded_cycles;
        uint64_t now_i =
            (k + 1 < contexts_.size() ? contexts_[k + 1].start_instructions : *instructions_) - c.excluded_instructions;
        for (size_t f = c.first; f < end; ++f) {
            Frame &fr = frames_[f];
            if (fr.edge != kNoEdge) {
                edges_[fr.edge].cycles += now_c - fr.cycles0;
                edges_[fr.edge].instructions += now_i - fr.instructions0;
            }
            fr.cycles0 = now_c;
            fr.instructions0 = now_i;
        }
    }
}

}  // namespace simtools
