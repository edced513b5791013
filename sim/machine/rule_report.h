// The board's rule violations as boardsim shows them: in the headless report,
// the run summary, the terminal view, and as the failure of a strict
// scenario.
#pragma once

#include <string>

#include "board/rules.h"

namespace sim {

class Machine;

// Each violation takes the pc of the instruction running when it happened.
void attach_pc_source(board::Rules &rules, Machine &machine);

// One line per rule broken: "rule broken: <text>, first at <time>, pc <pc>".
std::string describe_violations(const board::Rules &rules);
std::string describe_violation(const board::RuleViolation &v);

}  // namespace sim
