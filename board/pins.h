// The 32 lines of a PIO port as nets. Each line's level comes from whoever
// drives it (the PIO controller's output or a peripheral routed through it, a
// device on the board) and otherwise from its pull-up. A line that nothing
// drives and no pull-up holds keeps the level it had last (the pad's input
// capacitance holds it for far longer than any read here takes).
// Two sources driving a line to opposite levels is logged; the low driver wins.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/log.h"
#include "board/state.h"

namespace board {

// The port's own controller: it sees every change of every line (its
// input-change detection) before any listener, by a plain call. The lines
// it drives itself (an LED toggled again and again) then need no listener
// at all.
class LineController {
public:
    virtual void lines_changed(uint32_t changed, uint32_t levels) = 0;

protected:
    ~LineController() = default;
};

class Pins {
public:
    using SourceId = int;
    // changed: lines whose level changed; levels: all 32 levels after the change.
    using Listener = std::function<void(uint32_t changed, uint32_t levels)>;

    Pins(Log &log, std::string port_name);

    SourceId add_source(std::string name);
    // The source drives the lines in `mask` to the levels in `levels` (bit n =
    // line n) and releases them when `driven` has the bit clear. Lines outside
    // `mask` keep whatever this source did before.
    void drive(SourceId source, uint32_t mask, uint32_t driven, uint32_t levels)
    {
        Source &s = sources_[static_cast<size_t>(source)];
        uint32_t new_driven = (s.driven & ~mask) | (driven & mask);
        uint32_t new_levels = (s.levels & ~mask) | (levels & driven & mask);
        if (new_driven == s.driven && new_levels == s.levels)
            return;
        const bool same_lines = new_driven == s.driven;
        const uint32_t flipped = new_levels ^ s.levels;
        s.driven = new_driven;
        s.levels = new_levels;
        if (same_lines)
            return moved(source, flipped);
        resolve(source);
    }
    void release(SourceId source, uint32_t mask) { drive(source, mask, 0, 0); }
    // drive(source, lines, lines, levels) for lines the source drives
    // already (a port's outputs): only their levels change.
    void drive_levels(SourceId source, uint32_t lines, uint32_t levels)
    {
        Source &s = sources_[static_cast<size_t>(source)];
        const uint32_t flipped = (levels ^ s.levels) & lines & s.driven;
        if (!flipped)
            return;
        s.levels ^= flipped;
        moved(source, flipped);
    }
    void set_pullups(uint32_t enabled);

    bool level(int line) const { return (levels_ >> line) & 1u; }
    uint32_t levels() const { return levels_; }
    uint32_t pullups() const { return pullups_; }
    uint32_t driven_by(SourceId source) const { return sources_[source].driven; }
    uint32_t driven_mask() const;

    // Told of changes that include one of `lines`.
    void add_listener(Listener l, uint32_t lines = 0xFFFFFFFF)
    {
        listeners_.push_back({lines, std::move(l)});
        listened_ |= lines;
    }

    // The port's controller (one at most; nullptr: none).
    void set_controller(LineController *c);

    // Power-on: no drivers, no pull-ups, all lines low until resolved again.
    void reset_levels(uint32_t levels)
    {
        levels_ = levels;
        others_of_ = kNoneGathered;   // the next change resolves every line
    }

    // The levels and what each source drives. All of it is kept through a
    // reset: each source's owner sets its drive through drive() in its own
    // reset, and the levels follow. Listeners are wiring.
    State &state() { return state_; }

private:
    // The levels after `changed_source` changed what it drives (-1: the
    // pull-ups changed); the listeners hear of lines that changed.
    void resolve(SourceId changed_source);
    // What every source but `source` drives.
    void gather_others(SourceId source);
    // Out of resolve()'s way, which runs on every change of a driver: the
    // others gathered again first, and what follows a change (a fight
    // logged, the controller and the listeners told).
    [[gnu::noinline]] void resolve_anew(SourceId changed_source);
    // The source's levels on `flipped`, lines it drives, changed.
    void moved(SourceId source, uint32_t flipped)
    {
        // Mostly lines no other source drives: those follow the source,
        // nothing else can move, no fight can start or end.
        if (source == others_of_ && !(flipped & others_driven_)) [[likely]] {
            levels_ ^= flipped;
            return tell(flipped);
        }
        resolve(source);
    }
    // The controller and the listeners told of lines that changed.
    void tell(uint32_t changed)
    {
        // Mostly lines only the controller wants (settled()'s first case).
        if (!(changed & listened_) && !notifying_) [[likely]] {
            if (controller_)
                controller_->lines_changed(changed, levels_);
            return;
        }
        settled(changed);
    }
    [[gnu::noinline]] void settled(uint32_t changed);
    [[gnu::noinline]] void notify(uint32_t changed);
    // A new fight logged, then the change settled.
    [[gnu::cold, gnu::noinline]] void report_contention(uint32_t fight, uint32_t changed);

    struct Source {
        std::string name;
        uint32_t driven = 0;
        uint32_t levels = 0;
    };
    Log &log_;
    std::string name_;
    std::vector<Source> sources_;
    struct Watcher {
        uint32_t lines;
        Listener listener;
    };
    std::vector<Watcher> listeners_;
    uint32_t listened_ = 0;   // lines some listener wants
    LineController *controller_ = nullptr;
    uint32_t pullups_ = 0;
    uint32_t levels_ = 0;
    uint32_t contention_ = 0;
    // What every source but `others_of_` drives: one source changing its
    // lines again and again (a port toggling an LED) need not go through
    // all the others each time.
    // -1: what all of them drive (a change of the pull-ups).
    static constexpr SourceId kNoneGathered = -2;
    SourceId others_of_ = kNoneGathered;
    uint32_t others_driven_ = 0, others_high_ = 0, others_low_ = 0;
    bool notifying_ = false;
    uint32_t pending_changed_ = 0;
    State state_;
};

}  // namespace board
