#include "sim/scenario/scenario.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "sim/scenario/scenario_fields.h"

namespace sim {

namespace {

using namespace fields;

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

std::unique_ptr<Step> parse_step(const YAML::Node &node, const std::string &scenario_path)
{
    if (!node.IsMap() || node.size() != 1)
        throw BadScenario{line_of(node), "a step is one name with its arguments, like \"- delay: 50ms\""};
    auto kv = *node.begin();
    std::string name = kv.first.Scalar();
    const StepType *type = find_step_type(name);
    if (!type)
        throw BadScenario{line_of(kv.first), "unknown step \"" + name + "\" (" + step_type_names() + ")"};
    // A name with nothing after it: the parser places the missing value at
    // whatever comes next, perhaps past the end of the file.
    if (kv.second.IsNull())
        throw BadScenario{line_of(kv.first), name + " needs a value"};
    auto step = type->parse(kv.second, scenario_path);
    step->line = line_of(kv.first);
    YAML::Emitter e;
    e << YAML::Flow << node;
    step->source = e.c_str();
    return step;
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
            std::string f = scalar(root["flash"], "flash");
            if (f.empty())
                throw BadScenario{line_of(root["flash"]), "flash must name a file"};
            sc.flash_file = beside(path, f);
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

std::vector<StepFile> Scenario::files() const
{
    std::vector<StepFile> out;
    for (const auto &s : steps) s->files(out);
    return out;
}

}  // namespace sim
