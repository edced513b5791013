#include "board/rules.h"

#include <cstdio>

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

bool Rules::check(const Rule &rule, double measured)
{
    bool kept = rule.bound == Rule::AtLeast ? measured >= rule.limit : measured <= rule.limit;
    RuleClosest *c = nullptr;
    for (auto &e : closest_)
        if (e.rule.source == rule.source && e.rule.name == rule.name) {
            c = &e;
            break;
        }
    if (!c) {
        closest_.push_back(RuleClosest{rule, measured, clock_.now(), pc_source_ ? pc_source_() : std::nullopt, 0});
        c = &closest_.back();
    }
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
    total_ = 0;
}

}  // namespace board
