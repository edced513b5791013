#include "sim/tools/lcov_tracefile.h"

#include <charconv>
#include <vector>

namespace simtools {

namespace {

bool number(std::string_view s, uint64_t &out)
{
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && p == s.data() + s.size();
}

bool number32(std::string_view s, uint32_t &out)
{
    uint64_t v = 0;
    if (!number(s, v) || v > 0xFFFFFFFFu) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// The first `n` comma-separated fields; the last takes the rest of the line
// (a function name may hold commas).
std::vector<std::string_view> fields(std::string_view s, size_t n)
{
    std::vector<std::string_view> out;
    while (out.size() + 1 < n) {
        size_t comma = s.find(',');
        if (comma == std::string_view::npos) break;
        out.push_back(s.substr(0, comma));
        s.remove_prefix(comma + 1);
    }
    out.push_back(s);
    return out;
}

}  // namespace

std::optional<LcovTracefile> LcovTracefile::parse(std::istream &in, const std::string &name, std::string &error)
{
    LcovTracefile t;
    LcovFile *file = nullptr;
    std::string line;
    size_t number_of_line = 0;
    auto fail = [&](const std::string &why) -> std::optional<LcovTracefile> {
        error = name + ":" + std::to_string(number_of_line) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, line)) {
        ++number_of_line;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.rfind("TN:", 0) == 0) continue;
        if (line == "end_of_record") {
            if (!file) return fail("end_of_record outside a file's record");
            file = nullptr;
            continue;
        }
        size_t colon = line.find(':');
        if (colon == std::string::npos) return fail("not a tracefile record: " + line);
        std::string key = line.substr(0, colon);
        std::string_view value = std::string_view(line).substr(colon + 1);
        if (key == "SF") {
            if (file) return fail("SF inside another file's record");
            file = &t.files[std::string(value)];
            continue;
        }
        if (!file) return fail(key + " outside a file's record (no SF before it)");
        if (key == "FN") {
            auto f = fields(value, 2);
            uint32_t l = 0;
            if (f.size() != 2 || !number32(f[0], l) || f[1].empty()) return fail("bad FN record");
            file->functions[std::string(f[1])].line = l;
        } else if (key == "FNDA") {
            auto f = fields(value, 2);
            uint64_t hits = 0;
            if (f.size() != 2 || !number(f[0], hits) || f[1].empty()) return fail("bad FNDA record");
            file->functions[std::string(f[1])].hits += hits;
        } else if (key == "DA") {
            auto f = fields(value, 3);
            uint32_t l = 0;
            uint64_t hits = 0;
            if (f.size() < 2 || !number32(f[0], l) || !number(f[1], hits)) return fail("bad DA record");
            file->lines[l] += hits;
        } else if (key == "BRDA") {
            auto f = fields(value, 4);
            std::array<uint32_t, 3> at{};
            if (f.size() != 4 || !number32(f[0], at[0]) || !number32(f[1], at[1]) || !number32(f[2], at[2]))
                return fail("bad BRDA record");
            auto &b = file->branches[at];
            if (f[3] != "-") {
                uint64_t taken = 0;
                if (!number(f[3], taken)) return fail("bad BRDA record");
                b = b.value_or(0) + taken;
            }
        } else if (key != "FNF" && key != "FNH" && key != "BRF" && key != "BRH" && key != "LF" && key != "LH" &&
                   key != "VER") {
            return fail("unknown record " + key);
        }
    }
    if (file) return fail("the last file's record has no end_of_record");
    return t;
}

void LcovTracefile::merge(const LcovTracefile &other)
{
    for (const auto &[path, o] : other.files) {
        LcovFile &f = files[path];
        for (const auto &[name, fn] : o.functions) {
            auto &mine = f.functions[name];
            if (mine.line == 0) mine.line = fn.line;
            mine.hits += fn.hits;
        }
        for (const auto &[at, taken] : o.branches) {
            auto &mine = f.branches[at];
            if (taken) mine = mine.value_or(0) + *taken;
        }
        for (const auto &[l, hits] : o.lines) f.lines[l] += hits;
    }
}

void LcovTracefile::write(std::ostream &out) const
{
    for (const auto &[path, f] : files) {
        out << "TN:\nSF:" << path << "\n";
        size_t hit = 0;
        for (const auto &[name, fn] : f.functions) out << "FN:" << fn.line << "," << name << "\n";
        for (const auto &[name, fn] : f.functions) {
            out << "FNDA:" << fn.hits << "," << name << "\n";
            hit += fn.hits > 0;
        }
        out << "FNF:" << f.functions.size() << "\nFNH:" << hit << "\n";
        hit = 0;
        for (const auto &[at, taken] : f.branches) {
            out << "BRDA:" << at[0] << "," << at[1] << "," << at[2] << ",";
            if (taken) out << *taken;
            else out << "-";
            out << "\n";
            hit += taken.value_or(0) > 0;
        }
        out << "BRF:" << f.branches.size() << "\nBRH:" << hit << "\n";
        hit = 0;
        for (const auto &[l, hits] : f.lines) {
            out << "DA:" << l << "," << hits << "\n";
            hit += hits > 0;
        }
        out << "LF:" << f.lines.size() << "\nLH:" << hit << "\nend_of_record\n";
    }
}

}  // namespace simtools
