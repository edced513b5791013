#include "sim/scenario_run.h"

#include "sim/duration.h"
#include "sim/rule_report.h"
#include "sim/screen_text.h"
#include "sim/screenshot.h"
#include "sim/session.h"
#include "sim/stop_signal.h"

namespace sim {

namespace {

constexpr board::Picos kPoll = 100 * board::kPicosPerUs;
constexpr board::Picos kSlice = 10 * board::kPicosPerMs;
// Of what the line carried, a failure quotes this much (the end of it).
constexpr size_t kShownText = 400;

bool row_matches(const Session &session, const Step &s)
{
    return session.row_codes(s.row).compare(static_cast<size_t>(s.col), s.codes.size(), s.codes) == 0;
}

double seconds(board::Picos t) { return static_cast<double>(t) / board::kPicosPerSecond; }

}  // namespace

ScenarioRun::ScenarioRun(const Scenario &scenario, Session &session, std::ostream &out)
    : scenario_(scenario), session_(session), out_(out)
{
    suite_.name = scenario.name;
}

std::optional<board::Picos> ScenarioRun::advance()
{
    board::Clock &clock = session_.board.clock;
    while (!over()) {
        const Step &s = scenario_.steps[next_];
        board::Picos now = clock.now();
        if (!under_way_) {
            under_way_ = true;
            started_ = now;
            end_ = now + s.time;
        }
        std::string failure;
        switch (s.kind) {
        case Step::WaitLcd:
            if (row_matches(session_, s)) break;
            if (now < end_) return std::min(end_, now + kPoll);
            failure = "row " + std::to_string(s.row) + " did not show \"" + codes_text(s.codes) + "\" at column " +
                      std::to_string(s.col) + " within " + format_time(s.time);
            break;
        case Step::Delay:
            if (now < end_) return end_;
            break;
        case Step::ExpectLcd:
            if (!row_matches(session_, s))
                failure = "row " + std::to_string(s.row) + " does not show \"" + codes_text(s.codes) + "\" at column " +
                          std::to_string(s.col);
            break;
        case Step::Press: session_.keys.press(s.key); break;
        case Step::Release: session_.keys.release(s.key); break;
        case Step::ExpectPin:
            if (session_.board.pa.level(s.pin) != (s.level != 0))
                failure = "PA" + std::to_string(s.pin) + " is " + (s.level ? "0" : "1") + ", expected " + std::to_string(s.level);
            break;
        case Step::Screenshot: {
            std::string error;
            if (!save_screenshot(session_, s.file, error)) failure = error;
            break;
        }
        case Step::ExpectScreenshot: {
            std::string report;
            if (!matches_screenshot(session_, s.file, report)) failure = report;
            break;
        }
        case Step::WaitSerial: {
            // Each wait looks past the text the one before it matched.
            if (!serial_search_) serial_search_.emplace(s.text, serial_from_);
            if (auto end = serial_search_->next(session_.serial_text())) {
                serial_from_ = *end;
                serial_search_.reset();
                break;
            }
            if (now < end_) return std::min(end_, now + kPoll);
            serial_search_.reset();
            failure = "the serial line did not carry \"" + s.text + "\" within " + format_time(s.time) +
                      "; since the last match it carried " + session_.serial_text().since(serial_from_, kShownText);
            break;
        }
        case Step::WriteSerial: session_.board.dbgu.receive_from_host(s.text); break;
        }
        const auto &broken = session_.board.log.rules.violations();
        if (scenario_.strict && !broken.empty())
            failure = describe_violation(broken.front()) + (failure.empty() ? "" : "\n  " + failure);
        complete(failure);
    }
    return std::nullopt;
}

void ScenarioRun::complete(const std::string &failure)
{
    const Step &s = scenario_.steps[next_];
    board::Clock &clock = session_.board.clock;
    JunitCase tc;
    tc.name = std::to_string(next_ + 1) + ": " + s.source;
    tc.seconds = seconds(clock.now() - started_);
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
    const Step &s = scenario_.steps[next_];
    board::Clock &clock = session_.board.clock;
    JunitCase tc;
    tc.name = std::to_string(next_ + 1) + ": " + s.source;
    tc.seconds = under_way_ ? seconds(clock.now() - started_) : 0;
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
        tc.name = std::to_string(i + 1) + ": " + scenario_.steps[i].source;
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
    board::Clock &clock = session.board.clock;
    while (!stop_requested()) {
        auto until = run.advance();
        if (!until) break;
        session.machine.run_until(std::min(*until, clock.now() + kSlice));
    }
    if (stop_requested()) run.interrupt(std::string("interrupted by ") + stop_signal_name(), status_after_signal(1));
    return run.finish(junit, err);
}

}  // namespace sim
