#include "sim/tools/callgrind_profile.h"

#include <filesystem>
#include <map>
#include <vector>

namespace simtools {

namespace {

struct Cost {
    uint64_t cycles = 0, instructions = 0;
};

struct Call {
    uint32_t callee = 0;
    uint32_t callee_line = 0;
    uint32_t site_file = 0, site_line = 0;
    uint64_t calls = 0;
    Cost cost;
};

// A name written in full the first time and by number after (the format's
// name compression).
std::string named(std::map<std::string, unsigned> &seen, const std::string &name)
{
    auto [it, fresh] = seen.emplace(name, static_cast<unsigned>(seen.size() + 1));
    std::string id = "(" + std::to_string(it->second) + ")";
    return fresh ? id + " " + name : id;
}

}  // namespace

void write_callgrind(std::ostream &out, ExecutionRecorder &recorder, const SourceMap &map, uint64_t run_cycles,
                     const std::string &command)
{
    const uint32_t unknown = static_cast<uint32_t>(map.functions().size());
    const uint32_t outside = unknown + 1;
    const uint32_t no_file = static_cast<uint32_t>(map.files().size());
    auto function_of = [&](uint32_t a) { return map.function_at(a).value_or(unknown); };
    auto line_of = [&](uint32_t a) {
        auto l = map.line_at(a);
        return l ? std::make_pair(l->file, l->line) : std::make_pair(no_file, 0u);
    };

    std::map<uint32_t, std::map<std::pair<uint32_t, uint32_t>, Cost>> self;
    for (const auto &m : recorder.memories())
        for (size_t k = 0; k < m.counters.size(); ++k) {
            const auto &c = m.counters[k];
            if (!c.hits) continue;
            uint32_t a = m.base + static_cast<uint32_t>(2 * k);
            Cost &cost = self[function_of(a)][line_of(a)];
            cost.cycles += c.cycles;
            cost.instructions += c.hits;
        }
    if (run_cycles > recorder.cycles()) self[outside][{no_file, 0}].cycles += run_cycles - recorder.cycles();

    std::map<uint32_t, std::vector<Call>> calls;
    for (const auto &e : recorder.calls().edges()) {
        auto [file, line] = line_of(e.site);
        calls[function_of(e.site)].push_back(
            {function_of(e.target), line_of(e.target).second, file, line, e.calls, {e.cycles, e.instructions}});
        self[function_of(e.target)];   // a callee is listed even if it costs nothing itself
    }

    auto name_of = [&](uint32_t f) -> std::string {
        if (f == unknown) return "(code without a symbol)";
        if (f == outside) return "(cycles outside instructions)";
        return map.functions()[f].display;
    };
    auto home_of = [&](uint32_t f) -> uint32_t {
        if (f < unknown && map.functions()[f].file) return *map.functions()[f].file;
        auto it = self.find(f);
        if (it != self.end() && !it->second.empty()) return it->second.begin()->first.first;
        return no_file;
    };
    // callgrind_annotate shows a file under the directory it runs in by a
    // name relative to it where the file opens a function's costs, and by
    // its full name where it is named as a call's target: one function
    // would be listed twice. Names relative to the directory the profile is
    // written in (where it is usually read) are the same either way.
    std::error_code ec;
    std::string here = std::filesystem::current_path(ec).string() + "/";
    auto file_name = [&](uint32_t file) {
        if (file == no_file) return std::string("???");
        const std::string &name = map.files()[file];
        return !ec && name.size() > here.size() && name.compare(0, here.size(), here) == 0 ? name.substr(here.size()) : name;
    };

    std::map<std::string, unsigned> files_seen, functions_seen;
    uint64_t total = 0;
    for (const auto &[f, lines] : self)
        for (const auto &[at, cost] : lines) total += cost.cycles;
    uint64_t total_instructions = 0;
    for (const auto &[f, lines] : self)
        for (const auto &[at, cost] : lines) total_instructions += cost.instructions;

    out << "# callgrind format\nversion: 1\ncreator: boardsim\n";
    if (!command.empty()) out << "cmd: " << command << "\n";
    out << "positions: line\nevents: Cycles Instructions\nsummary: " << total << " " << total_instructions << "\n\n";
    for (const auto &[f, lines] : self) {
        uint32_t home = home_of(f);
        out << "fl=" << named(files_seen, file_name(home)) << "\n";
        out << "fn=" << named(functions_seen, name_of(f)) << "\n";
        uint32_t current = home;
        auto in_file = [&](uint32_t file) {
            if (file == current) return;
            out << (file == home ? "fe=" : "fi=") << named(files_seen, file_name(file)) << "\n";
            current = file;
        };
        for (const auto &[at, cost] : lines) {
            in_file(at.first);
            out << at.second << " " << cost.cycles << " " << cost.instructions << "\n";
        }
        auto it = calls.find(f);
        if (it != calls.end())
            for (const Call &c : it->second) {
                in_file(c.site_file);
                out << "cfi=" << named(files_seen, file_name(home_of(c.callee))) << "\n";
                out << "cfn=" << named(functions_seen, name_of(c.callee)) << "\n";
                out << "calls=" << c.calls << " " << c.callee_line << "\n";
                out << c.site_line << " " << c.cost.cycles << " " << c.cost.instructions << "\n";
            }
        out << "\n";
    }
}

}  // namespace simtools
