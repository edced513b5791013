#include "board/rules.h"

#include <cstdio>

#include "board/state.h"

namespace board {

std::string format_quantity(double value, const std::string &unit)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", value);
    return std::string(buf) + (unit.empty() ? "" : " " + unit);
}

std::string RuleViolation::text() const
{
    std::string s = rule.source + ": " + rule.name + " " + format_quantity(measured, rule.unit) + ", " +
                    (rule.bound == Rule::AtLeast ? "at least " : "at most ") + format_quantity(rule.limit, rule.unit) +
                    " (" + rule.reference + ")";
    if (count > 1)
        s += ", " + std::to_string(count) + " times";
    return s;
}

std::string RuleClosest::text() const
{
    return rule.source + ": " + rule.name + " " + format_quantity(measured, rule.unit) + ", " +
           (rule.bound == Rule::AtLeast ? "at least " : "at most ") + format_quantity(rule.limit, rule.unit) + ", " +
           std::to_string(checks) + (checks == 1 ? " check" : " checks");
}

namespace {
bool same_rule(const Rule &a, const Rule &b) { return a.source == b.source && a.name == b.name; }
}  // namespace

RuleClosest &Rules::closest_entry(const Rule &rule, double measured)
{
    // An address found is confirmed by the names: a caller's rule may be a
    // temporary whose address another one takes later.
    for (size_t i = 0; i < checked_through_.size(); ++i)
        if (checked_through_[i] == &rule && same_rule(closest_[i].rule, rule)) [[likely]]
            return closest_[i];
    checked_through_.resize(closest_.size());   // after a restore
    for (size_t i = 0; i < closest_.size(); ++i)
        if (same_rule(closest_[i].rule, rule)) {
            checked_through_[i] = &rule;
            return closest_[i];
        }
    closest_.push_back(RuleClosest{rule, measured, clock_.now(), pc_source_ ? pc_source_() : std::nullopt, 0});
    checked_through_.push_back(&rule);
    return closest_.back();
}

bool Rules::check(const Rule &rule, double measured)
{
    bool kept = rule.bound == Rule::AtLeast ? measured >= rule.limit : measured <= rule.limit;
    RuleClosest *c = &closest_entry(rule, measured);
    ++c->checks;
    if (rule.bound == Rule::AtLeast ? measured < c->measured : measured > c->measured) {
        c->measured = measured;
        c->time = clock_.now();
        c->pc = pc_source_ ? pc_source_() : std::nullopt;
    }
    if (!kept)
        breach(rule, measured);
    return kept;
}

void Rules::breach(const Rule &rule, double measured)
{
    ++total_;
    for (auto &v : violations_)
        if (v.rule.source == rule.source && v.rule.name == rule.name) {
            ++v.count;
            return;
        }
    RuleViolation v{rule, measured, clock_.now(), pc_source_ ? pc_source_() : std::nullopt, 1};
    violations_.push_back(v);
    // A copy: a listener may add to the record.
    RuleViolation first = violations_.back();
    for (auto &l : listeners_)
        l(first);
}

const RuleViolation *Rules::find(const std::string &name) const
{
    for (const auto &v : violations_)
        if (v.rule.name == name)
            return &v;
    return nullptr;
}

const RuleClosest *Rules::closest(const std::string &name) const
{
    for (const auto &c : closest_)
        if (c.rule.name == name)
            return &c;
    return nullptr;
}

void Rules::clear()
{
    violations_.clear();
    closest_.clear();
    checked_through_.clear();
    total_ = 0;
}

namespace {

void save_rule(StateWriter &w, const Rule &r, double measured, Picos time, std::optional<uint32_t> pc, uint64_t count)
{
    w.text(r.source);
    w.text(r.name);
    w.u8(r.bound == Rule::AtLeast);
    w.bytes(&r.limit, sizeof r.limit);
    w.text(r.unit);
    w.text(r.reference);
    w.bytes(&measured, sizeof measured);
    w.u64(time);
    w.u8(pc.has_value());
    w.u32(pc.value_or(0));
    w.u64(count);
}

template <class Record>
void restore_rule(StateReader &r, Record &out, uint64_t &count)
{
    out.rule.source = r.text();
    out.rule.name = r.text();
    out.rule.bound = r.u8() ? Rule::AtLeast : Rule::AtMost;
    r.bytes(&out.rule.limit, sizeof out.rule.limit);
    out.rule.unit = r.text();
    out.rule.reference = r.text();
    r.bytes(&out.measured, sizeof out.measured);
    out.time = r.u64();
    bool has_pc = r.u8();
    uint32_t pc = r.u32();
    out.pc = has_pc ? std::optional<uint32_t>(pc) : std::nullopt;
    count = r.u64();
}

}  // namespace

void Rules::save(StateWriter &w) const
{
    w.u64(total_);
    w.u32(static_cast<uint32_t>(violations_.size()));
    for (const auto &v : violations_)
        save_rule(w, v.rule, v.measured, v.time, v.pc, v.count);
    w.u32(static_cast<uint32_t>(closest_.size()));
    for (const auto &c : closest_)
        save_rule(w, c.rule, c.measured, c.time, c.pc, c.checks);
}

void Rules::restore(StateReader &r)
{
    total_ = r.u64();
    violations_.clear();
    closest_.clear();
    checked_through_.clear();
    for (uint32_t i = 0, n = r.u32(); i < n; ++i) {
        RuleViolation v;
        restore_rule(r, v, v.count);
        violations_.push_back(std::move(v));
    }
    for (uint32_t i = 0, n = r.u32(); i < n; ++i) {
        RuleClosest c;
        restore_rule(r, c, c.checks);
        closest_.push_back(std::move(c));
    }
}

}  // namespace board
