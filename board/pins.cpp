#include "board/pins.h"

#include <stdexcept>

namespace board {

Pins::Pins(Log &log, std::string port_name) : log_(log), name_(std::move(port_name)), state_(name_)
{
    state_.custom("drivers",
                  [this](StateWriter &w) {
                      w.u32(static_cast<uint32_t>(sources_.size()));
                      for (const Source &s : sources_) {
                          w.u32(s.driven);
                          w.u32(s.levels);
                      }
                  },
                  [this](StateReader &r) {
                      if (r.u32() != sources_.size())
                          r.fail(name_ + ": the pins have another number of drivers");
                      for (Source &s : sources_) {
                          s.driven = r.u32();
                          s.levels = r.u32();
                      }
                      others_of_ = kNoneGathered;   // what the others drive is worked out again
                  },
                  nullptr)
        .kept("pull-ups", pullups_)
        .kept("levels", levels_)
        .kept("contention", contention_);
}

Pins::SourceId Pins::add_source(std::string name)
{
    sources_.push_back(Source{std::move(name), 0, 0});
    return static_cast<SourceId>(sources_.size() - 1);
}

void Pins::set_pullups(uint32_t enabled)
{
    if (enabled == pullups_)
        return;
    pullups_ = enabled;
    resolve(-1);
}

uint32_t Pins::driven_mask() const
{
    uint32_t m = 0;
    for (const auto &s : sources_)
        m |= s.driven;
    return m;
}

void Pins::report_contention(uint32_t fight, uint32_t changed)
{
    std::string who;
    for (const auto &s : sources_)
        if (s.driven & fight)
            who += (who.empty() ? "" : ", ") + s.name;
    log_.warn(name_, "lines " + hex32(fight) + " driven high and low at once by " + who);
    if (changed)
        settled(changed);
}

void Pins::resolve(SourceId changed_source)
{
    // Runs on every change of a driver: no call on the way unless lines
    // change, fight, or another source than last time changed.
    if (changed_source != others_of_) [[unlikely]]
        return resolve_anew(changed_source);
    uint32_t driven = others_driven_, high = others_high_, low = others_low_;
    if (changed_source >= 0) {
        const Source &s = sources_[static_cast<size_t>(changed_source)];
        driven |= s.driven;
        high |= s.driven & s.levels;
        low |= s.driven & ~s.levels;
    }
    uint32_t fight = high & low;
    uint32_t new_fight = fight & ~contention_;
    contention_ = fight;

    uint32_t undriven_pulled = ~driven & pullups_;
    uint32_t held = ~driven & ~pullups_;
    uint32_t next = (high & ~low) | undriven_pulled | (levels_ & held);
    uint32_t changed = next ^ levels_;
    levels_ = next;
    if (new_fight) [[unlikely]]
        return report_contention(fight, changed);
    if (changed)
        tell(changed);
}

void Pins::resolve_anew(SourceId changed_source)
{
    gather_others(changed_source);
    resolve(changed_source);
}

void Pins::settled(uint32_t changed)
{
    // Lines no listener but the controller wants: it alone hears.
    if (!(changed & listened_) && !notifying_) {
        if (controller_)
            controller_->lines_changed(changed, levels_);
        return;
    }
    // The controller hears first: it heard first when it was a listener.
    if (controller_)
        controller_->lines_changed(changed, levels_);
    notify(changed);
}

void Pins::set_controller(LineController *c)
{
    if (c && controller_)
        throw std::logic_error(name_ + ": a second controller for the port");
    controller_ = c;
}

void Pins::gather_others(SourceId source)
{
    others_of_ = source;
    others_driven_ = others_high_ = others_low_ = 0;
    for (size_t i = 0; i < sources_.size(); ++i) {
        if (static_cast<SourceId>(i) == source)
            continue;
        const Source &s = sources_[i];
        others_driven_ |= s.driven;
        others_high_ |= s.driven & s.levels;
        others_low_ |= s.driven & ~s.levels;
    }
}

void Pins::notify(uint32_t changed)
{
    if (notifying_) {
        pending_changed_ |= changed;
        return;
    }
    notifying_ = true;
    while (changed) {
        for (auto &w : listeners_)
            if (changed & w.lines)
                w.listener(changed, levels_);
        changed = pending_changed_;
        pending_changed_ = 0;
    }
    notifying_ = false;
}

}  // namespace board
