// Operating limits and timing rules of the parts, as their documentation
// states them. A model that sees a rule broken reports it here: the real part
// may work on the bench today and fail on the next board, so a breach is
// shown even when the model itself carries on as if nothing happened.
//
// Each rule is kept once, with the virtual time, the instruction (when the
// simulator supplies a pc source; host tests leave it empty), the measured
// value, the documented limit and where the limit comes from; later breaches
// of the same rule only count.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board/clock.h"

namespace board {

class StateWriter;
class StateReader;

// A documented limit: what it constrains, which way, and its source.
struct Rule {
    std::string source;      // the model that checks it, e.g. "LCD"
    std::string name;        // e.g. "E pulse width PWEH"
    enum Bound { AtLeast, AtMost } bound;
    double limit;
    std::string unit;        // of the limit and the measured value
    std::string reference;   // the datasheet and the figure
};

struct RuleViolation {
    Rule rule;
    double measured = 0;
    Picos time = 0;                 // of the first breach
    std::optional<uint32_t> pc;     // instruction running at the first breach
    uint64_t count = 1;             // breaches of this rule so far

    // One line: "LCD: E pulse width PWEH 83 ns, at least 450 ns (reference)".
    std::string text() const;
};

// The measured value of a rule that came nearest to its limit (or went
// furthest past it), over every check: how much room the firmware leaves.
struct RuleClosest {
    Rule rule;
    double measured = 0;
    Picos time = 0;
    std::optional<uint32_t> pc;
    uint64_t checks = 0;

    // "LCD: E pulse width PWEH 512 ns, at least 450 ns, 1200 checks".
    std::string text() const;
};

class Rules {
public:
    using PcSource = std::function<std::optional<uint32_t>()>;

    explicit Rules(const Clock &clock) : clock_(clock) {}

    // Where the instruction that is running can be found (the simulator's core).
    void set_pc_source(PcSource source) { pc_source_ = std::move(source); }

    // Checks `measured` against the rule; a breach is recorded. Returns true
    // when the rule is kept.
    bool check(const Rule &rule, double measured);
    // Records a breach the caller has already found.
    void breach(const Rule &rule, double measured);

    // First breaches in the order they happened.
    const std::vector<RuleViolation> &violations() const { return violations_; }
    uint64_t total() const { return total_; }
    const RuleViolation *find(const std::string &name) const;
    // Every rule checked so far, in the order first checked.
    const std::vector<RuleClosest> &closest() const { return closest_; }
    const RuleClosest *closest(const std::string &name) const;
    void clear();

    // Every breach and closest value so far, for snapshots; a restore tells
    // no listener (they were told when the breaches happened).
    void save(StateWriter &w) const;
    void restore(StateReader &r);

    // Called at the first breach of each rule (reports, strict scenarios).
    void add_listener(std::function<void(const RuleViolation &)> listener) { listeners_.push_back(std::move(listener)); }

private:
    const Clock &clock_;
    PcSource pc_source_;
    std::vector<RuleViolation> violations_;
    std::vector<RuleClosest> closest_;
    // The declaration each of closest_ was last checked through: models
    // check their own constants again and again, so the address mostly
    // finds the entry without going through every name.
    std::vector<const Rule *> checked_through_;
    uint64_t total_ = 0;
    RuleClosest &closest_entry(const Rule &rule, double measured);
    std::vector<std::function<void(const RuleViolation &)>> listeners_;
};

// "83 ns", "48.05 MHz": a value with its unit, to four significant digits.
std::string format_quantity(double value, const std::string &unit);

}  // namespace board
