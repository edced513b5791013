// A scenario run as virtual time passes, by whichever loop owns the core:
// the plain headless loop, or the GDB server's while a debugger holds it.
// The loop asks advance() how far the core may run before the scenario must
// look again, runs it at most that far, and asks again, until advance() says
// the scenario is over. Steps that take no time run inside advance().
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "board/clock.h"
#include "sim/scenario/junit.h"
#include "sim/scenario/scenario.h"

namespace sim {

class Session;

class ScenarioRun {
public:
    ScenarioRun(const Scenario &scenario, Session &session, std::ostream &out);

    // Does what is due at the present virtual time; the time to run to
    // before calling again, or nullopt once the last step is done or one failed.
    std::optional<board::Picos> advance();
    bool over() const { return next_ >= scenario_.steps.size() || status_ != 0; }
    // 0 while every step so far passed, else as finish() returns.
    int status() const { return status_; }

    // The run was stopped from outside (`why`, e.g. "interrupted by SIGINT"):
    // the step under way is an error, the rest did not run; `status` is the
    // exit status to give.
    void interrupt(const std::string &why, int status);

    // Prints the outcome and writes the JUnit report unless `junit` is
    // empty (its error goes to `err`); returns the exit status: 0 when every
    // step passed, 1 when one failed, or the interruption's.
    int finish(const std::string &junit, std::ostream &err);

private:
    void complete(const std::string &failure);

    const Scenario &scenario_;
    Session &session_;
    std::ostream &out_;
    JunitSuite suite_;
    size_t next_ = 0;              // the step under way or due
    bool under_way_ = false;
    StepContext context_;
    int status_ = 0;
    std::string interrupted_;
};

// The plain loop: runs every step (in slices, so that a stop signal ends it
// promptly) and returns the exit status as finish() does.
int run_scenario(const Scenario &scenario, Session &session, std::ostream &out, std::ostream &err, const std::string &junit);

}  // namespace sim
