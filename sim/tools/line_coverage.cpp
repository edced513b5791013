#include "sim/tools/line_coverage.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <tuple>
#include <unordered_map>

namespace simtools {

namespace {

bool conditional(const SourceMap::Instruction &i)
{
    if (i.thumb) return (i.encoding & 0xF000) == 0xD000 && ((i.encoding >> 8) & 0xF) < 0xE;
    return (i.encoding >> 28) < 0xE;
}

}  // namespace

LcovTracefile line_coverage(ExecutionRecorder &recorder, const SourceMap &map, std::vector<std::string> &left_out)
{
    using Place = std::tuple<uint32_t, uint32_t, uint32_t>;   // file, line, scope
    std::map<Place, uint64_t> most;
    std::map<Place, std::vector<ExecutionRecorder::Count>> decisions;
    for (const auto &i : map.instructions()) {
        ExecutionRecorder::Count c = recorder.count(i.address);
        Place p{i.line.file, i.line.line, map.scope_at(i.address)};
        uint64_t &m = most[p];
        m = std::max(m, c.hits);
        if (conditional(i)) decisions[p].push_back(c);
    }

    std::vector<bool> present(map.files().size());
    for (size_t f = 0; f < present.size(); ++f) {
        std::error_code ec;
        present[f] = std::filesystem::is_regular_file(map.files()[f], ec);
    }
    LcovTracefile t;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> blocks;   // places seen per line
    for (const auto &[p, hits] : most) {
        auto [file, line, scope] = p;
        if (!present[file]) continue;
        LcovFile &out = t.files[map.files()[file]];
        out.lines[line] += hits;
        uint32_t block = blocks[{file, line}]++;
        auto d = decisions.find(p);
        if (d == decisions.end()) continue;
        uint32_t branch = 0;
        for (const ExecutionRecorder::Count &c : d->second) {
            bool ran = c.hits > 0;
            out.branches[{line, block, branch++}] = ran ? std::optional(c.hits - c.failed) : std::nullopt;
            out.branches[{line, block, branch++}] = ran ? std::optional(c.failed) : std::nullopt;
        }
    }

    const CallTracker &calls = recorder.calls();
    std::unordered_map<uint32_t, uint64_t> entered;
    for (const auto &e : calls.edges()) entered[e.target] += e.calls;
    for (const auto &r : calls.roots()) entered[r.target] += r.entries;
    auto hits_at = [&](uint32_t a) { return recorder.count(a).hits; };
    for (const auto &f : map.functions()) {
        if (!f.file || !present[*f.file]) continue;
        uint64_t n = 0, first = 0;
        for (uint32_t a : f.entries) {
            auto it = entered.find(a);
            if (it != entered.end()) n += it->second;
            first += hits_at(a);
        }
        if (n == 0) n = first;
        for (uint32_t a : f.inlined_entries) n += hits_at(a);
        auto &fn = t.files[map.files()[*f.file]].functions[f.name];
        fn.line = f.line;
        fn.hits += n;
    }
    for (size_t f = 0; f < present.size(); ++f)
        if (!present[f]) left_out.push_back(map.files()[f]);
    return t;
}

}  // namespace simtools
