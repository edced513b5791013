#include "sim/machine/rule_report.h"

#include "sim/machine/duration.h"
#include "sim/machine/machine.h"

namespace sim {

void attach_pc_source(board::Rules &rules, Machine &machine)
{
    // During a bus access the core's pc is the instruction making it.
    rules.set_pc_source([&machine]() -> std::optional<uint32_t> { return machine.cpu().pc(); });
}

std::string describe_violation(const board::RuleViolation &v)
{
    std::string s = "rule broken: " + v.text() + ", first at " + format_time(v.time);
    if (v.pc)
        s += ", pc " + board::hex32(*v.pc);
    return s;
}

std::string describe_violations(const board::Rules &rules)
{
    std::string out;
    for (const auto &v : rules.violations())
        out += describe_violation(v) + "\n";
    return out;
}

}  // namespace sim
