#include "sim/scenario/scenario_fields.h"

#include <filesystem>

#include "sim/machine/duration.h"

namespace sim::fields {

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

void require_fields(const YAML::Node &args, std::initializer_list<const char *> required, const std::string &usage)
{
    bool ok = args.IsMap();
    for (const char *r : required)
        ok = ok && args[r];
    if (!ok)
        throw BadScenario{line_of(args), usage};
}

std::string beside(const std::string &scenario_path, const std::string &file)
{
    std::filesystem::path f = file;
    if (f.is_relative())
        f = std::filesystem::path(scenario_path).parent_path() / f;
    return f.string();
}

}  // namespace sim::fields
