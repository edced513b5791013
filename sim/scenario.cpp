#include "sim/scenario.h"

#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <fstream>

#include "sim/duration.h"
#include "sim/junit.h"
#include "sim/keys.h"
#include "sim/rule_report.h"
#include "sim/screen_text.h"
#include "sim/screenshot.h"
#include "sim/session.h"
#include "sim/stop_signal.h"

namespace sim {

namespace {

struct BadScenario {
    int line;
    std::string why;
};

int line_of(const YAML::Node &n)
{
    return n.Mark().line + 1;
}

std::string scalar(const YAML::Node &n, const std::string &what)
{
    if (!n || !n.IsScalar())
        throw BadScenario{n ? line_of(n) : 0, what + " must be a plain value"};
    return n.Scalar();
}

int integer(const YAML::Node &n, const std::string &what, int low, int high)
{
    std::string s = scalar(n, what);
    try {
        size_t used = 0;
        int v = std::stoi(s, &used);
        if (used == s.size() && v >= low && v <= high)
            return v;
    } catch (const std::exception &) {
    }
    throw BadScenario{line_of(n), what + " must be a whole number from " + std::to_string(low) + " to " +
                                      std::to_string(high) + ", not \"" + s + "\""};
}

board::Picos duration(const YAML::Node &n, const std::string &what)
{
    std::string s = scalar(n, what);
    auto d = parse_duration(s);
    if (!d)
        throw BadScenario{line_of(n), what + ": \"" + s + "\" is not a duration (write it like 3s, 250ms, 40us)"};
    return *d;
}

void only_fields(const YAML::Node &args, std::initializer_list<const char *> allowed, const std::string &step)
{
    for (const auto &kv : args) {
        std::string k = kv.first.Scalar();
        bool ok = false;
        for (const char *a : allowed)
            ok = ok || k == a;
        if (!ok)
            throw BadScenario{line_of(kv.first), step + ": unknown field \"" + k + "\""};
    }
}

Step lcd_step(Step s, const YAML::Node &args, bool wait)
{
    std::string name = wait ? "wait-lcd" : "expect-lcd";
    if (!args.IsMap())
        throw BadScenario{line_of(args), name + " needs { row, col, text" + std::string(wait ? ", timeout" : "") + " }"};
    if (wait)
        only_fields(args, {"row", "col", "text", "timeout"}, name);
    else
        only_fields(args, {"row", "col", "text"}, name);
    if (!args["row"] || !args["text"])
        throw BadScenario{line_of(args), name + " needs a row and a text"};
    s.row = integer(args["row"], "row", 0, 3);
    s.col = args["col"] ? integer(args["col"], "col", 0, 19) : 0;
    std::string text = scalar(args["text"], "text");
    auto codes = text_codes(text);
    if (!codes)
        throw BadScenario{line_of(args["text"]), "text \"" + text + "\" has a character the display cannot show"};
    if (codes->empty() || static_cast<int>(codes->size()) > 20 - s.col)
        throw BadScenario{line_of(args["text"]), "text \"" + text + "\" does not fit in row " + std::to_string(s.row) +
                                                     " from column " + std::to_string(s.col)};
    s.codes = *codes;
    if (wait) {
        if (!args["timeout"])
            throw BadScenario{line_of(args), "wait-lcd needs a timeout"};
        s.time = duration(args["timeout"], "timeout");
    }
    return s;
}

Step parse_step(const YAML::Node &node, const std::string &scenario_path)
{
    if (!node.IsMap() || node.size() != 1)
        throw BadScenario{line_of(node), "a step is one name with its arguments, like \"- delay: 50ms\""};
    auto kv = *node.begin();
    std::string name = kv.first.Scalar();
    const YAML::Node &args = kv.second;
    Step s{};
    s.line = line_of(kv.first);
    YAML::Emitter e;
    e << YAML::Flow << node;
    s.source = e.c_str();
    if (name == "wait-lcd") {
        s.kind = Step::WaitLcd;
        return lcd_step(s, args, true);
    }
    if (name == "expect-lcd") {
        s.kind = Step::ExpectLcd;
        return lcd_step(s, args, false);
    }
    if (name == "press" || name == "release") {
        s.kind = name == "press" ? Step::Press : Step::Release;
        std::string key = scalar(args, name);
        auto k = Keys::find(key);
        if (!k)
            throw BadScenario{line_of(args), "unknown key \"" + key + "\" (KEY_INC, KEY_DEC or KEY_CLR)"};
        s.key = *k;
        return s;
    }
    if (name == "delay") {
        s.kind = Step::Delay;
        s.time = duration(args, "delay");
        return s;
    }
    if (name == "expect-pin") {
        s.kind = Step::ExpectPin;
        if (!args.IsMap() || !args["pin"] || !args["level"])
            throw BadScenario{line_of(args), "expect-pin needs { pin, level }"};
        only_fields(args, {"pin", "level"}, name);
        std::string pin = scalar(args["pin"], "pin");
        int n = -1;
        if (pin.size() >= 3 && pin.size() <= 4 && pin.compare(0, 2, "PA") == 0 &&
            pin.find_first_not_of("0123456789", 2) == std::string::npos)
            n = std::stoi(pin.substr(2));
        if (n < 0 || n > 31)
            throw BadScenario{line_of(args["pin"]), "unknown pin \"" + pin + "\" (PA0 to PA31)"};
        s.pin = n;
        s.level = integer(args["level"], "level", 0, 1);
        return s;
    }
    if (name == "screenshot") {
        s.kind = Step::Screenshot;
        s.file = scalar(args, "screenshot");
        return s;
    }
    if (name == "expect-screenshot") {
        s.kind = Step::ExpectScreenshot;
        std::filesystem::path f = scalar(args, "expect-screenshot");
        if (f.is_relative())
            f = std::filesystem::path(scenario_path).parent_path() / f;
        s.file = f.string();
        return s;
    }
    if (name == "wait-serial") {
        s.kind = Step::WaitSerial;
        if (!args.IsMap() || !args["text"] || !args["timeout"])
            throw BadScenario{line_of(args), "wait-serial needs { text, timeout }"};
        only_fields(args, {"text", "timeout"}, name);
        s.text = scalar(args["text"], "text");
        if (s.text.empty())
            throw BadScenario{line_of(args["text"]), "wait-serial: the text is empty"};
        s.time = duration(args["timeout"], "timeout");
        return s;
    }
    if (name == "write-serial") {
        s.kind = Step::WriteSerial;
        s.text = scalar(args, "write-serial");
        return s;
    }
    throw BadScenario{s.line, "unknown step \"" + name +
                                  "\" (wait-lcd, expect-lcd, press, release, delay, expect-pin, screenshot, "
                                  "expect-screenshot, wait-serial, write-serial)"};
}

bool row_matches(const Session &session, const Step &s)
{
    return session.row_codes(s.row).compare(static_cast<size_t>(s.col), s.codes.size(), s.codes) == 0;
}

}  // namespace

std::optional<Scenario> Scenario::load(const std::string &path, std::string &error)
{
    Scenario sc;
    sc.path = path;
    try {
        if (!std::ifstream(path)) {
            error = path + ": cannot be read";
            return std::nullopt;
        }
        YAML::Node root = YAML::LoadFile(path);
        if (!root.IsMap())
            throw BadScenario{line_of(root), "a scenario is a map with name, steps and optionally flash"};
        for (const auto &kv : root) {
            std::string k = kv.first.Scalar();
            if (k != "name" && k != "steps" && k != "flash" && k != "strict")
                throw BadScenario{line_of(kv.first), "unknown field \"" + k + "\" (name, flash, strict, steps)"};
        }
        sc.name = root["name"] ? scalar(root["name"], "name") : std::filesystem::path(path).stem().string();
        if (root["flash"]) {
            std::filesystem::path f = scalar(root["flash"], "flash");
            if (f.is_relative())
                f = std::filesystem::path(path).parent_path() / f;
            sc.flash_file = f.string();
        }
        if (root["strict"]) {
            std::string v = scalar(root["strict"], "strict");
            if (v != "true" && v != "false")
                throw BadScenario{line_of(root["strict"]), "strict is true or false, not \"" + v + "\""};
            sc.strict = v == "true";
        }
        YAML::Node steps = root["steps"];
        if (!steps || !steps.IsSequence() || steps.size() == 0)
            throw BadScenario{steps ? line_of(steps) : line_of(root), "steps must be a list of at least one step"};
        for (const auto &n : steps)
            sc.steps.push_back(parse_step(n, path));
    } catch (const BadScenario &b) {
        error = path + ":" + std::to_string(b.line) + ": " + b.why;
        return std::nullopt;
    } catch (const YAML::Exception &e) {
        error = path + ":" + std::to_string(e.mark.line + 1) + ": malformed YAML: " + e.msg;
        return std::nullopt;
    }
    return sc;
}

int run_scenario(const Scenario &sc, Session &session, std::ostream &out, const std::string &junit_path)
{
    constexpr board::Picos kPoll = 100 * board::kPicosPerUs;
    JunitSuite suite;
    suite.name = sc.name;
    Machine &m = session.machine;
    board::Clock &clock = session.board.clock;
    int status = 0;
    size_t serial_from = 0;   // wait-serial looks past the last text it matched
    for (size_t i = 0; i < sc.steps.size(); ++i) {
        const Step &s = sc.steps[i];
        JunitCase tc;
        tc.name = std::to_string(i + 1) + ": " + s.source;
        board::Picos started = clock.now();
        if (status != 0 || stop_requested()) {
            tc.skipped = status != 0 ? "an earlier step failed" : "interrupted";
            suite.cases.push_back(tc);
            continue;
        }
        std::string failure;
        switch (s.kind) {
        case Step::WaitLcd: {
            board::Picos end = clock.now() + s.time;
            while (!row_matches(session, s) && clock.now() < end && !stop_requested())
                m.run_until(std::min(end, clock.now() + kPoll));
            if (!row_matches(session, s))
                failure = "row " + std::to_string(s.row) + " did not show \"" + codes_text(s.codes) + "\" at column " +
                          std::to_string(s.col) + " within " + format_time(s.time);
            break;
        }
        case Step::ExpectLcd:
            if (!row_matches(session, s))
                failure = "row " + std::to_string(s.row) + " does not show \"" + codes_text(s.codes) + "\" at column " +
                          std::to_string(s.col);
            break;
        case Step::Press: session.keys.press(s.key); break;
        case Step::Release: session.keys.release(s.key); break;
        case Step::Delay: m.run_until(clock.now() + s.time); break;
        case Step::ExpectPin:
            if (session.board.pa.level(s.pin) != (s.level != 0))
                failure = "PA" + std::to_string(s.pin) + " is " + (s.level ? "0" : "1") + ", expected " + std::to_string(s.level);
            break;
        case Step::Screenshot: {
            std::string error;
            if (!save_screenshot(session, s.file, error))
                failure = error;
            break;
        }
        case Step::ExpectScreenshot: {
            std::string report;
            if (!matches_screenshot(session, s.file, report))
                failure = report;
            break;
        }
        case Step::WaitSerial: {
            board::Picos end = clock.now() + s.time;
            auto found = [&] { return session.serial_text().find(s.text, serial_from); };
            while (found() == std::string::npos && clock.now() < end && !stop_requested())
                m.run_until(std::min(end, clock.now() + kPoll));
            size_t at = found();
            if (at == std::string::npos)
                failure = "the serial line did not carry \"" + s.text + "\" within " + format_time(s.time) +
                          "; since the last match it carried \"" + session.serial_text().substr(serial_from) + "\"";
            else
                serial_from = at + s.text.size();
            break;
        }
        case Step::WriteSerial: session.board.dbgu.receive_from_host(s.text); break;
        }
        const auto &broken = session.board.log.rules.violations();
        if (sc.strict && !broken.empty())
            failure = describe_violation(broken.front()) + (failure.empty() ? "" : "\n  " + failure);
        tc.seconds = static_cast<double>(clock.now() - started) / board::kPicosPerSecond;
        if (!failure.empty()) {
            status = 1;
            tc.failure = failure;
            out << sc.path << ":" << s.line << ": step " << (i + 1) << " failed: " << s.source << "\n  " << failure
                << "\nat virtual time " << format_time(clock.now()) << ", the display shows:\n"
                << session.report();
        }
        suite.cases.push_back(tc);
    }
    if (status == 0)
        out << "scenario " << sc.name << ": " << sc.steps.size() << " steps passed at virtual time "
            << format_time(clock.now()) << " (" << m.cycles() << " cycles)\n";
    if (!junit_path.empty()) {
        std::string error;
        if (!write_junit(junit_path, suite, error)) {
            out << "boardsim: " << error << "\n";
            return status ? status : 1;
        }
    }
    return status;
}

}  // namespace sim
