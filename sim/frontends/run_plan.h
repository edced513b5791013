// A boardsim run, decided once from the command line before anything is
// opened: the mode (which front end drives the board), the session's
// options, every file read or written (checked together), and the
// instruments and reports to attach.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board/clock.h"
#include "sim/frontends/bench.h"
#include "sim/machine/history.h"
#include "sim/machine/replay_bundle.h"
#include "sim/scenario/scenario.h"
#include "sim/machine/session.h"
#include "sim/tools/execution_reports.h"
#include "sim/tools/instruments.h"

namespace sim {

// Everything the command line says, as given.
struct CommandLine {
    std::string image;
    bool image_given = false;
    std::string for_text, flash, scenario, junit;
    bool headless = false, fast = false, bench = false, verbose = false, exact = false, interpret = false;
    bool samba = false;
    unsigned bench_passes = kBenchPasses;
    uint32_t crystal_hz = 18432000;
    unsigned bounce = 0;
    uint64_t seed = 1;
    int gdb_port = -1;
    int jtag_port = -1;
    bool gdb_wait = false;
    std::string vcd_file, vcd_signals = "all", trace_kinds, trace_file, screenshot;
    std::string coverage, profile;
    // --record FILE, --record-on-fail DIR, --replay FILE.
    std::string record, record_on_fail, replay;
    std::string chip_flash, serial;
    std::vector<std::pair<std::string, std::string>> save_at;   // --save-at TIME FILE, as typed
    std::string restore;
    // --gdb: the run's history for going back (history.h).
    board::Picos history_interval = HistoryOptions{}.interval;
    uint64_t history_memory = HistoryOptions{}.memory;
    uint64_t trace_limit = simtools::Instruments::kDefaultTraceLimit;
    // The options that name a file the run writes, by the name they are
    // reported with ("--vcd"): each is checked with every other file.
    std::vector<std::pair<std::string, const std::string *>> output_options;
    std::string command;   // as typed, for the profile
};

enum class RunMode { Samba, Bench, Gdb, Scenario, View, Headless, Replay };

// One file a run reads or writes, for the checks before it starts.
struct NamedPath {
    std::string what;   // "--vcd", "the image", ...
    std::string path;
};

struct RunPlan {
    RunMode mode = RunMode::Headless;
    std::optional<board::Picos> duration;
    std::optional<Scenario> scenario;
    std::optional<ReplayBundle> replay;
    SessionOptions session;
    std::vector<NamedPath> inputs, outputs;
    std::optional<simtools::Instruments::Options> recording;
    std::optional<simtools::ExecutionReports::Options> reports;
    // Snapshots to write (virtual time, file), and the one to start from.
    std::vector<std::pair<board::Picos, std::string>> snapshots;
    std::optional<std::string> restore;
};

// The plan, or nullopt with `error` for a command line that cannot run (a
// bad duration, scenario, trace or signal list, a file that cannot be
// written or would overwrite an input). `terminal`: standard input and
// output are a terminal, where the terminal view is the default.
std::optional<RunPlan> plan_run(const CommandLine &c, bool terminal, std::string &error);

}  // namespace sim
