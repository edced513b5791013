// boardsim: runs the firmware image on the simulated board.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "sim/bench.h"
#include "sim/duration.h"
#include "sim/scenario.h"
#include "sim/session.h"
#include "sim/stop_signal.h"
#include "sim/terminal_view.h"

#ifndef DEFAULT_IMAGE
#define DEFAULT_IMAGE "program.elf"
#endif

namespace {

constexpr int kUsageError = 2;

int finish(sim::Session &session, int status)
{
    std::string error;
    if (!session.save_flash(error)) {
        std::cerr << "boardsim: " << error << "\n";
        return status == 0 ? 1 : status;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Runs the firmware image on the simulated board.\n"
                 "Display codes 0..7 (the user glyphs) are shown as the circled digits ⓪..⑦."};
    std::string image = DEFAULT_IMAGE;
    std::string for_text, flash, scenario_path, junit;
    bool headless = false, fast = false, bench = false, verbose = false;
    unsigned bench_passes = sim::kBenchPasses;
    uint32_t crystal = 18432000;
    unsigned bounce = 0;
    uint64_t seed = 1;
    app.add_option("image", image, "firmware ELF image")->capture_default_str();
    app.add_flag("--headless", headless, "run without the terminal view");
    app.add_option("--for", for_text, "headless: virtual time to run, e.g. 3s or 250ms");
    app.add_flag("--fast", fast, "terminal view: run unthrottled instead of in real time");
    app.add_option("--flash", flash, "serial flash contents (512 KiB file; created erased if absent)");
    app.add_option("--scenario", scenario_path, "run the steps of a YAML scenario");
    app.add_option("--junit", junit, "with --scenario: write a JUnit XML report");
    app.add_option("--crystal", crystal, "main crystal frequency in Hz")->capture_default_str()->check(CLI::Range(3000000u, 20000000u));
    app.add_option("--bounce", bounce, "extra contact transitions per key edge (0 = clean edges)")->check(CLI::Range(0u, 32u));
    app.add_option("--seed", seed, "seed of the key bounce");
    app.add_flag("-v,--verbose", verbose, "print the board's diagnostics (bus errors, lost writes) as they happen");
    auto *bench_opt = app.add_flag("--bench", bench, "benchmark: boot, run status passes headless, print figures");
    app.add_option("--passes", bench_passes, "with --bench: status passes to run")->check(CLI::Range(1u, 1000u))->needs(bench_opt);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kUsageError;
    }

    std::optional<board::Picos> duration;
    if (!for_text.empty()) {
        duration = sim::parse_duration(for_text);
        if (!duration) {
            std::cerr << "boardsim: --for " << for_text << ": not a duration (write it like 3s, 250ms, 40us)\n";
            return kUsageError;
        }
    }
    if (!junit.empty() && scenario_path.empty()) {
        std::cerr << "boardsim: --junit needs --scenario\n";
        return kUsageError;
    }

    std::optional<sim::Scenario> scenario;
    if (!scenario_path.empty()) {
        std::string error;
        scenario = sim::Scenario::load(scenario_path, error);
        if (!scenario) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
    }

    sim::SessionOptions options;
    options.image = image;
    options.crystal_hz = crystal;
    options.bounce = bounce;
    options.bounce_seed = seed;
    if (!flash.empty())
        options.flash_file = flash;
    else if (scenario && scenario->flash_file)
        options.flash_file = *scenario->flash_file;

    std::string error;
    auto session = sim::Session::open(options, error);
    if (!session) {
        std::cerr << "boardsim: " << error << "\n";
        return kUsageError;
    }
    sim::install_stop_signals();
    if (verbose)
        session->board.log.set_listener([](const board::LogEntry &e) {
            std::cerr << sim::format_time(e.time) << "  " << e.source << ": " << e.message << "\n";
        });

    if (bench)
        return finish(*session, sim::run_bench(*session, bench_passes, std::cout));
    if (scenario) {
        int status = sim::run_scenario(*scenario, *session, std::cout, junit);
        return finish(*session, status);
    }
    if (!headless && !duration && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        sim::ViewOptions view;
        view.fast = fast;
        view.image = image;
        return finish(*session, sim::run_terminal_view(*session, view));
    }
    if (!duration) {
        // No terminal and no duration: run until stopped by a signal.
        while (!sim::stop_requested())
            session->machine.run_for(100 * board::kPicosPerMs);
    } else {
        board::Picos end = *duration;
        while (!sim::stop_requested() && session->board.clock.now() < end)
            session->machine.run_until(std::min(end, session->board.clock.now() + 100 * board::kPicosPerMs));
    }
    std::cout << session->report();
    return finish(*session, 0);
}
