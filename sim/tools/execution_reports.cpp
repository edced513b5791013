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
        // Hits add to an earlier tracefile; a FIFO or a device holds none.
        std::error_code ec;
        if (std::filesystem::is_regular_file(options.coverage_file, ec)) {
            std::ifstream in(options.coverage_file);
            if (!in) {
                error = options.coverage_file + ": cannot read";
                return false;
            }
            earlier_ = LcovTracefile::parse(in, options.coverage_file, error);
            if (!earlier_) return false;
        }
    }
    if (!options.coverage_file.empty() && !coverage_out_.open(options.coverage_file, error)) return false;
    return options.profile_file.empty() || profile_out_.open(options.profile_file, error);
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
        t.write(coverage_out_.stream());
        ok = coverage_out_.commit(error) && ok;
    }
    if (!options_.profile_file.empty()) {
        write_callgrind(profile_out_.stream(), recorder_, *map_, run_cycles, options_.command);
        std::string e;
        if (!profile_out_.commit(e)) {
            ok = false;
            error = e;
        }
    }
    return ok;
}

}  // namespace simtools
