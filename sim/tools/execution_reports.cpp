#include "sim/tools/execution_reports.h"

#include <filesystem>
#include <fstream>

#include "sim/tools/callgrind_profile.h"
#include "sim/tools/line_coverage.h"
#include "sim/tools/output_file.h"

namespace simtools {

bool ExecutionReports::open(const Options &options, std::string &error)
{
    options_ = options;
    if (!active()) return true;
    map_ = SourceMap::load(options.image, error);
    if (!map_) return false;
    if (!options.coverage_file.empty()) {
        std::error_code ec;
        if (std::filesystem::exists(options.coverage_file, ec)) {
            std::ifstream in(options.coverage_file);
            if (!in) {
                error = options.coverage_file + ": cannot read";
                return false;
            }
            earlier_ = LcovTracefile::parse(in, options.coverage_file, error);
            if (!earlier_) return false;
        }
    }
    // Refuse a file that cannot be written now, not after the run.
    for (const std::string *path : {&options.coverage_file, &options.profile_file}) {
        if (path->empty()) continue;
        OutputFile probe;
        if (!probe.open(*path, error)) return false;
    }
    return true;
}

void ExecutionReports::mark_functions()
{
    if (!map_) return;
    for (const auto &f : map_->functions())
        for (uint32_t a : f.entries) recorder_.mark_function_entry(a);
}

bool ExecutionReports::finish(uint64_t run_cycles, std::ostream &notes, std::string &error)
{
    if (!active() || finished_) return true;
    finished_ = true;
    bool ok = true;
    if (!options_.coverage_file.empty()) {
        std::vector<std::string> left_out;
        LcovTracefile t = line_coverage(recorder_, *map_, left_out);
        if (earlier_) t.merge(*earlier_);
        for (const auto &f : left_out) notes << "coverage: left out " << f << " (no source here)\n";
        OutputFile out;
        if (out.open(options_.coverage_file, error)) {
            t.write(out.stream());
            ok = out.commit(error) && ok;
        } else {
            ok = false;
        }
    }
    if (!options_.profile_file.empty()) {
        OutputFile out;
        std::string e;
        if (out.open(options_.profile_file, e)) {
            write_callgrind(out.stream(), recorder_, *map_, run_cycles, options_.command);
            if (!out.commit(e)) {
                ok = false;
                error = e;
            }
        } else {
            ok = false;
            error = e;
        }
    }
    return ok;
}

}  // namespace simtools
