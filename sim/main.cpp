// boardsim: runs the firmware image on the simulated board.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "sim/bench.h"
#include "sim/duration.h"
#include "sim/gdb_run.h"
#include "sim/headless_run.h"
#include "sim/instrument_wiring.h"
#include "sim/report_wiring.h"
#include "sim/samba_run.h"
#include "sim/scenario.h"
#include "sim/scenario_run.h"
#include "sim/screenshot.h"
#include "sim/session.h"
#include "sim/stop_signal.h"
#include "sim/terminal_view.h"
#include "sim/tools/board_waves.h"
#include "sim/tools/capped_stream.h"
#include "sim/tools/execution_reports.h"
#include "sim/tools/instruments.h"
#include "sim/tools/output_file.h"

#ifndef DEFAULT_IMAGE
#define DEFAULT_IMAGE "program.elf"
#endif
#ifndef BOARDSIM_VERSION
#define BOARDSIM_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;

// Everything the command line says.
struct CommandLine {
    std::string image = DEFAULT_IMAGE;
    std::string for_text, flash, scenario, junit;
    bool headless = false, fast = false, bench = false, verbose = false, exact = false;
    bool samba = false, image_given = false;
    unsigned bench_passes = sim::kBenchPasses;
    uint32_t crystal_hz = 18432000;
    unsigned bounce = 0;
    uint64_t seed = 1;
    int gdb_port = -1;
    bool gdb_wait = false;
    std::string vcd_file, vcd_signals = "all", trace_kinds, trace_file, screenshot;
    std::string coverage, profile;
    std::string chip_flash, serial;
    uint64_t trace_limit = simtools::Instruments::kDefaultTraceLimit;
};

const CLI::Validator kNotEmpty(
    [](const std::string &s) { return s.empty() ? std::string("an empty file name") : std::string(); }, "");

const CLI::Validator kWholeNumber(
    [](const std::string &s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos ? std::string()
                                                                                    : "must be a whole number, 0 or more";
    },
    "");

// "18432000", "18432000Hz", "18432kHz", "18.432MHz".
std::string parse_frequency(std::string text, uint32_t &hz)
{
    double scale = 1;
    for (auto [unit, s] : {std::pair{"MHz", 1e6}, {"kHz", 1e3}, {"Hz", 1.0}}) {
        size_t n = std::strlen(unit);
        if (text.size() > n && text.compare(text.size() - n, n, unit) == 0) {
            text.resize(text.size() - n);
            scale = s;
            break;
        }
    }
    size_t used = 0;
    double v = -1;
    try {
        v = std::stod(text, &used) * scale;
    } catch (const std::exception &) {
    }
    if (used != text.size() || text.empty() || !(text[0] >= '0' && text[0] <= '9'))
        return "is not a frequency (write it like 18432000, 18432kHz or 18.432MHz)";
    if (v < 3e6 || v > 20e6) return "is outside the crystal range of 3 to 20 MHz";
    hz = static_cast<uint32_t>(v + 0.5);
    return "";
}

void declare_options(CLI::App &app, CommandLine &c)
{
    auto *image = app.add_option("image", c.image, "firmware ELF image (default: firmware/program.elf of the build tree boardsim was built in; "
                                                   "with --chip-flash and none given: boot what the chip's flash holds)")
                      ->capture_default_str()
                      ->check(kNotEmpty);
    auto *headless = app.add_flag("--headless", c.headless, "run without the terminal view");
    auto *for_opt = app.add_option("--for", c.for_text, "virtual time to run, e.g. 3s, 250ms, 40us, 500ns (at most 1 day)");
    auto *fast = app.add_flag("--fast", c.fast, "terminal view: run unthrottled instead of in real time");
    app.add_option("--flash", c.flash, "serial flash contents (512 KiB file; created erased if absent)")->check(kNotEmpty);
    app.add_option("--chip-flash", c.chip_flash,
                   "the chip's own flash (256 KiB file; created erased if absent; the image is programmed into it)")
        ->check(kNotEmpty);
    auto *serial = app.add_option("--serial", c.serial, "the debug unit's serial line: pty (a new pseudo-terminal) or stdio")
        ->check(CLI::IsMember({"pty", "stdio"}));
    auto *scenario = app.add_option("--scenario", c.scenario, "run the steps of a YAML scenario")->check(kNotEmpty);
    app.add_option("--junit", c.junit, "with --scenario: write a JUnit XML report")->check(kNotEmpty)->needs(scenario);
    app.add_option_function<std::string>(
           "--crystal",
           [&c](const std::string &text) {
               std::string why = parse_frequency(text, c.crystal_hz);
               if (!why.empty()) throw CLI::ValidationError("--crystal", text + " " + why);
           },
           "main crystal frequency: 18432000, 18432kHz or 18.432MHz (default 18.432MHz)")
        ->type_name("HZ");
    auto *bounce = app.add_option("--bounce", c.bounce, "extra contact transitions per key edge (0 = clean edges)")
                       ->check(CLI::Range(0u, 32u));
    app.add_option("--seed", c.seed, "with --bounce: seed of the key bounce")->capture_default_str()->check(kWholeNumber)->needs(bounce);
    auto *gdb = app.add_option("--gdb", c.gdb_port, "serve the GDB remote protocol on 127.0.0.1:PORT (runs headless, unthrottled)")
                    ->check(CLI::Range(0, 65535));
    app.add_flag("--gdb-wait", c.gdb_wait, "with --gdb: hold the core at reset until a debugger attaches")->needs(gdb);
    auto *vcd = app.add_option("--vcd", c.vcd_file, "write the board's signals as a VCD waveform file")->check(kNotEmpty);
    app.add_option("--vcd-signals", c.vcd_signals, "with --vcd: lcd, spi, led, keys, irq or all, comma-separated")
        ->capture_default_str()
        ->needs(vcd);
    auto *trace = app.add_option("--trace", c.trace_kinds, "trace mmio, irq, insn or all, comma-separated")->check(kNotEmpty);
    app.add_option("--trace-file", c.trace_file, "with --trace: the file to write (default: standard error)")
        ->check(kNotEmpty)
        ->needs(trace);
    app.add_option_function<std::string>(
           "--trace-limit",
           [&c](const std::string &text) {
               if (!simtools::parse_size(text, c.trace_limit))
                   throw CLI::ValidationError("--trace-limit", text + " is not a size (write it like 500M, 2G or 0 for none)");
           },
           "with --trace: stop writing trace lines after this many bytes (default 1G; 0: no limit)")
        ->type_name("SIZE")
        ->needs(trace);
    app.add_option("--screenshot", c.screenshot, "at exit, save a PNG picture of the display and the LED")->check(kNotEmpty);
    app.add_flag("--exact", c.exact, "run every instruction: no delay-loop fast-forward (same results, slower)");
    app.add_option("--coverage", c.coverage, "at exit, write an lcov tracefile of the image's sources (hits add to an existing one)")
        ->check(kNotEmpty);
    app.add_option("--profile", c.profile, "at exit, write a callgrind profile: cycles by function and line, with calls")
        ->check(kNotEmpty);
    app.add_flag("-v,--verbose", c.verbose, "print the board's diagnostics (bus errors, lost writes) as they happen");
    auto *bench = app.add_flag("--bench", c.bench, "benchmark: boot, run status passes headless, print figures");
    app.add_option("--passes", c.bench_passes, "with --bench: status passes to run")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1000u))
        ->needs(bench);

    // Combinations where one option would be silently ignored.
    app.add_flag("--samba", c.samba,
                 "the chip as after the TST procedure: its boot program serves the SAM-BA monitor on a new "
                 "pseudo-terminal; with --for, the run ends that long after the host resets the chip")
        ->excludes(image, serial, scenario, gdb, bench);
    bench->excludes(scenario, gdb, for_opt);
    scenario->excludes(for_opt);
    fast->excludes(headless, for_opt, scenario, gdb, bench);
}

const char *kFooter = R"(Exit status:
  0  the run ended (at --for, q in the terminal view, or the debugger's kill), every scenario step passed
  1  a scenario step failed, the benchmark did not complete, or an output could not be written
  2  a bad command line, image, flash file, scenario or output path (nothing was run or written)
  3  a headless run ended with guest faults (undefined instruction, abort; they are printed)
  128+N  ended by signal N (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP); the flash and outputs are saved

Examples:
  boardsim --headless --for 3s --flash flash.bin
  boardsim --scenario counter.yaml --junit report.xml
)";

// One file a run reads or writes, for the checks before it starts.
struct NamedPath {
    std::string what;   // "--vcd", "the image", ...
    std::string path;
};

bool same_input(const std::string &input, const simtools::OutputPlan &out)
{
    struct stat st;
    return out.exists && stat(input.c_str(), &st) == 0 && st.st_dev == out.device && st.st_ino == out.inode;
}

// Every output can be written, none is an input, and no two are one file.
bool check_paths(const std::vector<NamedPath> &inputs, const std::vector<NamedPath> &outputs, std::string &error)
{
    std::vector<simtools::OutputPlan> plans;
    for (const auto &o : outputs) {
        auto plan = simtools::plan_output(o.path, error);
        if (!plan) {
            error = o.what + " " + error;
            return false;
        }
        for (const auto &in : inputs)
            if (same_input(in.path, *plan)) {
                error = o.what + " " + o.path + " is " + in.what + " " + in.path + ": writing it would destroy the input";
                return false;
            }
        for (size_t k = 0; k < plans.size(); ++k)
            if (plan->how != simtools::OutputPlan::How::Direct && plan->same_file(plans[k])) {
                error = o.what + " " + o.path + " and " + outputs[k].what + " " + outputs[k].path +
                        " are one file: one output would overwrite the other";
                return false;
            }
        plans.push_back(*plan);
    }
    return true;
}

// Each output's finishing touch, after the run: the picture, traces,
// waveforms, the flash.
struct Outputs {
    std::unique_ptr<simtools::Instruments> instruments;
    std::unique_ptr<simtools::ExecutionReports> reports;
    std::string screenshot;
};

int finish(sim::Session &session, int status, Outputs &outputs)
{
    std::string error;
    auto failed = [&] {
        std::cerr << "boardsim: " << error << "\n";
        if (status == 0) status = 1;
    };
    if (!outputs.screenshot.empty() && !sim::save_screenshot(session, outputs.screenshot, error))
        failed();
    if (outputs.instruments && !outputs.instruments->finish(session.machine.instructions(), error))
        failed();
    if (outputs.reports && !outputs.reports->finish(session.machine.cycles(), std::cerr, error))
        failed();
    if (!session.save_flash(error))
        failed();
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Runs the firmware image on the simulated board.\n"
                 "Display codes 0..7 (the user glyphs) are shown as the circled digits ⓪..⑦."};
    app.set_version_flag("--version", "boardsim " BOARDSIM_VERSION);
    app.footer(kFooter);
    CommandLine c;
    declare_options(app, c);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kUsageError;
    }
    c.image_given = app.get_option("image")->count() > 0;

    std::optional<board::Picos> duration;
    if (!c.for_text.empty()) {
        std::string why;
        duration = sim::parse_duration(c.for_text, &why);
        if (!duration) {
            std::cerr << "boardsim: --for " << c.for_text << " " << why << "\n";
            return kUsageError;
        }
    }

    std::optional<sim::Scenario> scenario;
    std::vector<NamedPath> inputs{{"the image", c.image}}, outputs;
    std::string error;
    if (!c.scenario.empty()) {
        scenario = sim::Scenario::load(c.scenario, error);
        if (!scenario) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
        inputs.push_back({"the scenario", c.scenario});
        for (const auto &s : scenario->steps) {
            if (s.kind == sim::Step::ExpectScreenshot) inputs.push_back({"the reference picture", s.file});
            if (s.kind == sim::Step::Screenshot) outputs.push_back({"the scenario's screenshot", s.file});
        }
    }

    sim::SessionOptions options;
    // No image given: a board boots whatever its flash holds.
    options.image = c.samba || (!c.chip_flash.empty() && !c.image_given) ? "" : c.image;
    options.boot_program = c.samba;
    if (c.samba)
        options.serial = sim::SerialLink::Kind::Pty;
    options.crystal_hz = c.crystal_hz;
    options.bounce = c.bounce;
    options.bounce_seed = c.seed;
    if (!c.chip_flash.empty())
        options.chip_flash_file = c.chip_flash;
    if (!c.serial.empty())
        options.serial = c.serial == "pty" ? sim::SerialLink::Kind::Pty : sim::SerialLink::Kind::Stdio;
    if (c.serial == "stdio" && !c.headless && !duration && !scenario && c.gdb_port < 0 && !c.bench &&
        isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        std::cerr << "boardsim: --serial stdio needs a headless run (--headless or --for): the terminal view uses the terminal\n";
        return kUsageError;
    }
    if (!c.flash.empty())
        options.flash_file = c.flash;
    else if (scenario && scenario->flash_file)
        options.flash_file = *scenario->flash_file;
    if (options.flash_file) outputs.insert(outputs.begin(), {"the flash file", *options.flash_file});
    if (options.chip_flash_file) {
        outputs.insert(outputs.begin(), {"the chip's flash file", *options.chip_flash_file});
        outputs.insert(outputs.begin() + 1, {"the chip's flash bits file", sim::nvm_bits_path(*options.chip_flash_file)});
    }
    if (!c.vcd_file.empty()) outputs.push_back({"--vcd", c.vcd_file});
    if (!c.trace_file.empty()) outputs.push_back({"--trace-file", c.trace_file});
    if (!c.junit.empty()) outputs.push_back({"--junit", c.junit});
    if (!c.screenshot.empty()) outputs.push_back({"--screenshot", c.screenshot});
    if (!c.coverage.empty()) outputs.push_back({"--coverage", c.coverage});
    if (!c.profile.empty()) outputs.push_back({"--profile", c.profile});
    if (!check_paths(inputs, outputs, error)) {
        std::cerr << "boardsim: " << error << "\n";
        return kUsageError;
    }

    simtools::Instruments::Options recording;
    if (!c.trace_kinds.empty() && !simtools::parse_trace_kinds(c.trace_kinds, recording.trace_kinds, error)) {
        std::cerr << "boardsim: --trace " << c.trace_kinds << ": " << error << "\n";
        return kUsageError;
    }
    if (!c.vcd_file.empty() && !simtools::parse_wave_groups(c.vcd_signals, recording.vcd_groups, error)) {
        std::cerr << "boardsim: --vcd-signals " << c.vcd_signals << ": " << error << "\n";
        return kUsageError;
    }
    recording.trace_file = c.trace_file;
    recording.trace_limit = c.trace_limit;
    recording.vcd_file = c.vcd_file;

    // Declared before the session, so that it outlives the board reporting to it.
    Outputs outs;
    outs.screenshot = c.screenshot;
    auto session = sim::Session::open(options, error);
    if (!session) {
        std::cerr << "boardsim: " << error << "\n";
        return kUsageError;
    }
    session->machine.set_exact(c.exact);
    if (recording.trace_kinds || !recording.vcd_file.empty()) {
        outs.instruments = std::make_unique<simtools::Instruments>(session->board.bus, session->board.pa,
                                                                   session->board.clock);
        if (!outs.instruments->open(recording, std::cerr, error)) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
        sim::attach_instruments(*outs.instruments, *session);
    }
    if (!c.coverage.empty() || !c.profile.empty()) {
        if (options.image.empty()) {
            std::cerr << "boardsim: --coverage and --profile need the image, for its source lines and functions\n";
            return kUsageError;
        }
        simtools::ExecutionReports::Options o{options.image, c.coverage, c.profile, {}};
        for (int i = 0; i < argc; ++i)
            o.command += (i ? " " : "") + std::string(argv[i]);
        outs.reports = std::make_unique<simtools::ExecutionReports>();
        if (!outs.reports->open(o, error)) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
        sim::attach_execution_reports(*outs.reports, *session);
    }
    if (!session->serial_path().empty() && !c.samba)
        std::cerr << "boardsim: serial line (DBGU) on " << session->serial_path() << std::endl;
    sim::install_stop_signals();
    if (c.verbose)
        session->board.log.set_listener([](const board::LogEntry &e) {
            std::cerr << sim::format_time(e.time) << "  " << e.source << ": " << e.message << "\n";
        });

    if (c.samba) {
        int status = sim::run_samba(*session, duration, std::cerr);
        std::cout << session->report();
        return finish(*session, sim::status_after_signal(status), outs);
    }
    if (c.bench)
        return finish(*session, sim::status_after_signal(sim::run_bench(*session, c.bench_passes, std::cout)), outs);
    if (c.gdb_port >= 0) {
        sim::GdbRunOptions g;
        g.port = static_cast<uint16_t>(c.gdb_port);
        g.wait = c.gdb_wait;
        g.duration = duration;
        g.scenario = scenario ? &*scenario : nullptr;
        g.junit = c.junit;
        int status = sim::run_with_gdb(*session, g, std::cout, std::cerr);
        if (status == kUsageError)
            return status;
        if (!scenario) std::cout << session->report();
        return finish(*session, status, outs);
    }
    if (scenario)
        return finish(*session, sim::run_scenario(*scenario, *session, std::cout, std::cerr, c.junit), outs);
    if (!c.headless && !duration && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        sim::ViewOptions view;
        view.fast = c.fast;
        view.image = options.image.empty() ? "chip flash " + c.chip_flash : options.image;
        return finish(*session, sim::status_after_signal(sim::run_terminal_view(*session, view)), outs);
    }
    return finish(*session, sim::run_headless(*session, duration, std::cout, std::cerr), outs);
}
