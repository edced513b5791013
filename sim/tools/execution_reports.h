// The coverage tracefile and the profile of a run, from one ExecutionRecorder
// watching the core and the image's SourceMap. open() reads the image and,
// for coverage, an existing tracefile (bad input is refused there, before
// the run); finish() writes each file whole, through a temporary file, with
// the earlier runs' hits added to the coverage.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "sim/tools/execution_recorder.h"
#include "sim/tools/lcov_tracefile.h"
#include "sim/tools/output_file.h"
#include "sim/tools/source_map.h"

namespace simtools {

class ExecutionReports {
public:
    struct Options {
        std::string image;
        std::string coverage_file;   // empty: none
        std::string profile_file;    // empty: none
        std::string command;         // recorded in the profile
    };

    bool open(const Options &options, std::string &error);
    bool active() const { return !options_.coverage_file.empty() || !options_.profile_file.empty(); }

    // Describe the memories code runs from before the run starts.
    ExecutionRecorder &recorder() { return recorder_; }
    // After the memories are described: function entries, for tail calls.
    void mark_functions();

    // `run_cycles`: the core's own count, which the profile adds up to.
    // Notes (sources left out) go to `notes`.
    bool finish(uint64_t run_cycles, std::ostream &notes, std::string &error);

private:
    Options options_;
    std::optional<SourceMap> map_;
    std::optional<LcovTracefile> earlier_;
    ExecutionRecorder recorder_;
    // Opened before the run, so that a bad path costs no run and a FIFO's
    // reader sees one writer from start to end (not an early end of file).
    OutputFile coverage_out_, profile_out_;
    bool finished_ = false;
};

}  // namespace simtools
