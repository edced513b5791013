// A peripheral's interrupt output: a level wired to the AIC or to the system
// interrupt's OR. The wire hears only changes.
#pragma once

#include <functional>

namespace board {

class IrqLine {
public:
    void connect(std::function<void(bool)> wire) { wire_ = std::move(wire); }
    void set(bool level)
    {
        if (level == level_)
            return;
        level_ = level;
        if (wire_)
            wire_(level);
    }
    bool level() const { return level_; }
    // For the owner's state declaration: saved and restored as it stands
    // (the far end restores its own view), never reset behind the wire's
    // back (the owner's reset sets it through set()).
    bool &saved_level() { return level_; }

private:
    std::function<void(bool)> wire_;
    bool level_ = false;
};

// What a model with one interrupt output offers the board's wiring.
class InterruptSource {
public:
    void set_irq_output(std::function<void(bool)> out) { irq_.connect(std::move(out)); }
    bool irq() const { return irq_.level(); }

protected:
    IrqLine irq_;
};

}  // namespace board
