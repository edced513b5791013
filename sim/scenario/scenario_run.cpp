#include "sim/scenario/scenario_run.h"

#include "sim/machine/duration.h"
#include "sim/machine/rule_report.h"
#include "sim/machine/session.h"
#include "sim/machine/stop_signal.h"
#include "sim/machine/time_slices.h"

namespace sim {

namespace {

double seconds(board::Picos t) { return static_cast<double>(t) / board::kPicosPerSecond; }

}  // namespace

ScenarioRun::ScenarioRun(const Scenario &scenario, Session &session, std::ostream &out)
    : scenario_(scenario), session_(session), out_(out), context_{session}
{
    suite_.name = scenario.name;
}

std::optional<board::Picos> ScenarioRun::advance()
{
    while (!over()) {
        const Step &s = *scenario_.steps[next_];
        if (!under_way_) {
            under_way_ = true;
            context_.started = session_.board.clock.now();
        }
        StepOutcome outcome = s.run(context_);
        if (!outcome.done) return outcome.until;
        const auto &broken = session_.board.log.rules.violations();
        if (scenario_.strict && !broken.empty())
            outcome.failure = describe_violation(broken.front()) + (outcome.failure.empty() ? "" : "\n  " + outcome.failure);
        complete(outcome.failure);
    }
    return std::nullopt;
}

void ScenarioRun::complete(const std::string &failure)
{
    const Step &s = *scenario_.steps[next_];
    board::Clock &clock = session_.board.clock;
    JunitCase tc;
    tc.name = std::to_string(next_ + 1) + ": " + s.source;
    tc.seconds = seconds(clock.now() - context_.started);
    tc.failure = failure;
    suite_.cases.push_back(tc);
    if (!failure.empty()) {
        status_ = 1;
        out_ << scenario_.path << ":" << s.line << ": step " << (next_ + 1) << " failed: " << s.source << "\n  " << failure
             << "\nat virtual time " << format_time(clock.now()) << ", the display shows:\n"
             << session_.report();
    }
    ++next_;
    under_way_ = false;
}

void ScenarioRun::interrupt(const std::string &why, int status)
{
    if (over()) return;
    const Step &s = *scenario_.steps[next_];
    board::Clock &clock = session_.board.clock;
    JunitCase tc;
    tc.name = std::to_string(next_ + 1) + ": " + s.source;
    tc.seconds = under_way_ ? seconds(clock.now() - context_.started) : 0;
    tc.error = why + " at virtual time " + format_time(clock.now());
    suite_.cases.push_back(tc);
    out_ << scenario_.path << ":" << s.line << ": step " << (next_ + 1) << " " << why << ": " << s.source
         << "\nat virtual time " << format_time(clock.now()) << ", the display shows:\n"
         << session_.report();
    interrupted_ = why;
    status_ = status;
    ++next_;
}

int ScenarioRun::finish(const std::string &junit, std::ostream &err)
{
    for (size_t i = suite_.cases.size(); i < scenario_.steps.size(); ++i) {
        JunitCase tc;
        tc.name = std::to_string(i + 1) + ": " + scenario_.steps[i]->source;
        tc.skipped = interrupted_.empty() ? "an earlier step failed" : "not run: the scenario was " + interrupted_;
        suite_.cases.push_back(tc);
    }
    if (status_ == 0)
        out_ << "scenario " << scenario_.name << ": " << scenario_.steps.size() << " steps passed at virtual time "
             << format_time(session_.board.clock.now()) << " (" << session_.machine.cycles() << " cycles)\n";
    else if (!interrupted_.empty())
        out_ << "scenario " << scenario_.name << ": " << interrupted_ << "; " << next_ - 1 << " of "
             << scenario_.steps.size() << " steps passed, " << scenario_.steps.size() - next_ << " not run\n";
    if (!junit.empty()) {
        std::string error;
        if (!write_junit(junit, suite_, error)) {
            err << "boardsim: " << error << "\n";
            return status_ ? status_ : 1;
        }
    }
    return status_;
}

int run_scenario(const Scenario &scenario, Session &session, std::ostream &out, std::ostream &err, const std::string &junit)
{
    ScenarioRun run(scenario, session, out);
    run_slices(session.machine, slices::kScenario, [&] { return run.advance(); });
    if (stop_requested()) run.interrupt(std::string("interrupted by ") + stop_signal_name(), status_after_signal(1));
    return run.finish(junit, err);
}

}  // namespace sim
