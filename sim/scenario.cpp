#include "sim/scenario.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "sim/duration.h"
#include "sim/keys.h"
#include "sim/rule_report.h"
#include "sim/screen_text.h"

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
    std::string why;
    auto d = parse_duration(s, &why);
    if (!d)
        throw BadScenario{line_of(n), what + ": \"" + s + "\" " + why};
    return *d;
}

// yaml-cpp keeps one of two equal keys without a word; a scenario where
// a step silently vanished would pass without running it.
void refuse_duplicate_keys(const YAML::Node &node)
{
    if (node.IsSequence()) {
        for (const auto &n : node) refuse_duplicate_keys(n);
    } else if (node.IsMap()) {
        std::set<std::string> seen;
        for (const auto &kv : node) {
            if (kv.first.IsScalar() && !seen.insert(kv.first.Scalar()).second)
                throw BadScenario{line_of(kv.first), "\"" + kv.first.Scalar() + "\" appears twice in one map"};
            refuse_duplicate_keys(kv.second);
        }
    }
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

constexpr const char *kStepNames[] = {"wait-lcd",   "expect-lcd",        "press",       "release",     "delay",
                                      "expect-pin", "screenshot",        "expect-screenshot", "wait-serial", "write-serial"};

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
    // A key with nothing after it: the parser places the missing value at
    // whatever comes next, perhaps past the end of the file.
    bool known = std::find(std::begin(kStepNames), std::end(kStepNames), name) != std::end(kStepNames);
    if (known && args.IsNull())
        throw BadScenario{s.line, name + " needs a value"};
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
    std::string names;
    for (const char *n : kStepNames)
        names += (names.empty() ? "" : ", ") + std::string(n);
    throw BadScenario{s.line, "unknown step \"" + name + "\" (" + names + ")"};
}

}  // namespace

std::optional<Scenario> Scenario::load(const std::string &path, std::string &error)
{
    Scenario sc;
    sc.path = path;
    try {
        struct stat st;
        // A FIFO or a device would hold the read for ever or without end.
        if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            error = path + ": not a regular file";
            return std::nullopt;
        }
        if (!std::ifstream(path)) {
            error = path + ": cannot be read";
            return std::nullopt;
        }
        std::vector<YAML::Node> documents = YAML::LoadAllFromFile(path);
        if (documents.size() > 1)
            throw BadScenario{line_of(documents[1]), "a second YAML document; a scenario is one document"};
        YAML::Node root = documents.empty() ? YAML::Node() : documents[0];
        refuse_duplicate_keys(root);
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
            if (f.empty())
                throw BadScenario{line_of(root["flash"]), "flash must name a file"};
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
    } catch (const YAML::DeepRecursion &e) {
        error = path + ":" + std::to_string(e.mark.line + 1) + ": nested deeper than " + std::to_string(e.depth() - 1) +
                " levels";
        return std::nullopt;
    } catch (const YAML::Exception &e) {
        error = path + ":" + std::to_string(e.mark.line + 1) + ": malformed YAML: " + e.msg;
        return std::nullopt;
    }
    return sc;
}

}  // namespace sim
