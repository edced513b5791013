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

namespace {
void save_rule(StateWriter &w, const Rule &r, double measured, Picos time, std::optional<uint32_t> pc, uint64_t count)
{
    w.text(r.source);
    w.text(r.name);
    w.u8(r.bound);
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
void load_rule(StateReader &r, Record &rec, uint64_t &count)
{
    rec.rule.source = r.text();
    rec.rule.name = r.text();
    rec.rule.bound = r.u8() ? Rule::AtMost : Rule::AtLeast;
    r.bytes(&rec.rule.limit, sizeof rec.rule.limit);
    rec.rule.unit = r.text();
    rec.rule.reference = r.text();
    r.bytes(&rec.measured, sizeof rec.measured);
    rec.time = r.u64();
    bool has_pc = r.u8();
    uint32_t pc = r.u32();
    rec.pc = has_pc ? std::optional<uint32_t>(pc) : std::nullopt;
    count = r.u64();
}

template <class Record>
void declare_records(State &s, const char *name, std::vector<Record> &records, uint64_t Record::*count)
{
    s.custom(name,
             [&records, count](StateWriter &w) {
                 w.u64(records.size());
                 for (const Record &rec : records)
                     save_rule(w, rec.rule, rec.measured, rec.time, rec.pc, rec.*count);
             },
             [&records, count](StateReader &r) {
                 uint64_t n = r.u64();
                 if (n > r.left())
                     r.fail("rules: a list longer than what is left");
                 records.assign(n, Record{});
                 for (Record &rec : records)
                     load_rule(r, rec, rec.*count);
             },
             nullptr);
}
}  // namespace

Rules::Rules(const Clock &clock) : clock_(clock)
{
    declare_records(state_, "breaches", violations_, &RuleViolation::count);
    declare_records(state_, "closest", closest_, &RuleClosest::checks);
    state_.kept("total", total_);
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
