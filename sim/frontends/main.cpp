// boardsim: runs the firmware image on the simulated board.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "sim/frontends/bench.h"
#include "sim/machine/duration.h"
#include "sim/frontends/gdb_run.h"
#include "sim/frontends/headless_run.h"
#include "sim/frontends/instrument_wiring.h"
#include "sim/frontends/report_wiring.h"
#include "sim/frontends/replay_run.h"
#include "sim/frontends/run_plan.h"
#include "sim/frontends/run_recording.h"
#include "sim/frontends/samba_run.h"
#include "sim/scenario/scenario_run.h"
#include "sim/machine/screenshot.h"
#include "sim/machine/session.h"
#include "sim/machine/stop_signal.h"
#include "sim/frontends/terminal_view.h"
#include "sim/tools/capped_stream.h"
#include "sim/tools/execution_reports.h"
#include "sim/tools/instruments.h"
#include "sim/tools/output_file.h"
#include "sim/tools/trace.h"

#ifndef DEFAULT_IMAGE
#define DEFAULT_IMAGE "program.elf"
#endif
#ifndef BOARDSIM_VERSION
#define BOARDSIM_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;

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

// An option naming a file the run writes: the plan checks it with every
// other file before the run.
CLI::Option *output_option(CLI::App &app, sim::CommandLine &c, const std::string &name, std::string &file,
                           const std::string &help)
{
    c.output_options.push_back({name, &file});
    return app.add_option(name, file, help)->check(kNotEmpty);
}

void declare_options(CLI::App &app, sim::CommandLine &c)
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
    output_option(app, c, "--junit", c.junit, "with --scenario: write a JUnit XML report")->needs(scenario);
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
    app.add_option("--jtag", c.jtag_port,
                   "serve the chip's JTAG port as OpenOCD's remote_bitbang adapter on 127.0.0.1:PORT (0: any free port)")
        ->check(CLI::Range(0, 65535));
    app.add_flag("--gdb-wait", c.gdb_wait, "with --gdb: hold the core at reset until a debugger attaches")->needs(gdb);
    app.add_option_function<std::string>(
           "--history-interval",
           [&c](const std::string &text) {
               std::string why;
               auto t = sim::parse_duration(text, &why);
               if (!t || *t == 0) throw CLI::ValidationError("--history-interval", text + " " + (t ? "is no time" : why));
               c.history_interval = *t;
           },
           "with --gdb: virtual time between the snapshots kept for going back (default 50ms; shorter: "
           "quicker steps back, more memory)")
        ->type_name("TIME")
        ->needs(gdb);
    app.add_option_function<std::string>(
           "--history-memory",
           [&c](const std::string &text) {
               if (!simtools::parse_size(text, c.history_memory) || c.history_memory == 0)
                   throw CLI::ValidationError("--history-memory", text + " is not a size (write it like 128M or 1G)");
           },
           "with --gdb: memory the snapshots may take together; older ones are thinned out (default 128M)")
        ->type_name("SIZE")
        ->needs(gdb);
    auto *vcd = output_option(app, c, "--vcd", c.vcd_file, "write the board's signals as a VCD waveform file");
    app.add_option("--vcd-signals", c.vcd_signals, "with --vcd: " + simtools::wave_group_list() + ", comma-separated")
        ->capture_default_str()
        ->needs(vcd);
    auto *trace = app.add_option("--trace", c.trace_kinds, "trace mmio, irq, insn or all, comma-separated")->check(kNotEmpty);
    output_option(app, c, "--trace-file", c.trace_file, "with --trace: the file to write (default: standard error)")
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
    output_option(app, c, "--screenshot", c.screenshot, "at exit, save a PNG picture of the display and the LED");
    app.add_flag("--exact", c.exact, "run every instruction: no delay-loop fast-forward (same results, slower)");
    app.add_flag("--interpret", c.interpret,
                 "interpret every instruction: no host code for the code that runs often (same results, slower)");
    output_option(app, c, "--coverage", c.coverage,
                  "at exit, write an lcov tracefile of the image's sources (hits add to an existing one)");
    output_option(app, c, "--profile", c.profile, "at exit, write a callgrind profile: cycles by function and line, with calls");
    app.add_flag("-v,--verbose", c.verbose, "print the board's diagnostics (bus errors, lost writes) as they happen");
    auto *bench = app.add_flag("--bench", c.bench, "benchmark: boot, run status passes headless, print figures");
    app.add_option("--passes", c.bench_passes, "with --bench: status passes to run")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1000u))
        ->needs(bench);

    auto *save_at = app.add_option("--save-at", c.save_at,
                                   "write a snapshot of the whole board to FILE when virtual time reaches TIME (repeatable)")
                        ->type_name("TIME FILE")
                        ->allow_extra_args(false)
                        ->each([](const std::string &s) {
                            if (s.empty()) throw CLI::ValidationError("--save-at", "an empty file name");
                        });
    auto *restore = app.add_option("--restore", c.restore, "start from a snapshot written by --save-at (the same image)")
                        ->type_name("FILE")
                        ->check(kNotEmpty);

    // Combinations where one option would be silently ignored.
    auto *samba = app.add_flag("--samba", c.samba,
                 "the chip as after the TST procedure: its boot program serves the SAM-BA monitor on a new "
                 "pseudo-terminal; with --for, the run ends that long after the host resets the chip")
        ->excludes(image, serial, scenario, gdb, bench);
    bench->excludes(scenario, gdb, for_opt, save_at, restore);
    samba->excludes(save_at, restore);

    auto *record = output_option(app, c, "--record", c.record,
                                 "write a replay bundle of this run: the image's hash, the options, the flash files as "
                                 "they were and every input from outside, each at its virtual cycle");
    auto *record_on_fail =
        app.add_option("--record-on-fail", c.record_on_fail,
                       "with --scenario: when a step fails, keep the run's replay bundle as DIR/<scenario>.replay")
            ->check(CLI::ExistingDirectory)
            ->needs(scenario);
    auto *replay = app.add_option("--replay", c.replay,
                                  "run a replay bundle again, exactly and with no outside input (the image is the "
                                  "recorded one unless given; --flash/--chip-flash receive the flashes at the end)")
                       ->check(kNotEmpty);
    replay->excludes(headless, for_opt, fast, serial, scenario, bench, samba, record, record_on_fail);
    replay->excludes(app.get_option("--crystal"), bounce, app.get_option("--jtag"), restore);
    record->excludes(app.get_option("--jtag"), restore);
    record_on_fail->excludes(app.get_option("--jtag"));
    scenario->excludes(for_opt);
    fast->excludes(headless, for_opt, scenario, gdb, bench, samba);
}

const char *kFooter = R"(Exit status:
  0  the run ended (at --for, q in the terminal view, or the debugger's kill), every scenario step passed
  1  a scenario step failed, the benchmark did not complete, or an output could not be written
  1  also: a replay that did not reproduce its recording (where it diverged is printed)
  2  a bad command line, image, flash file, snapshot, scenario, replay bundle or output path (nothing was run or written)
  3  a headless or --samba run ended with guest faults (undefined instruction, abort; they are printed)
  128+N  ended by signal N (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP); the flash and outputs are saved

Examples:
  boardsim --headless --for 3s --flash flash.bin
  boardsim --scenario counter.yaml --junit report.xml
  boardsim --headless --for 3s --save-at 2s at2s.snap ; boardsim --restore at2s.snap --for 3s
  boardsim --headless --for 2s --record run.replay && boardsim --replay run.replay
  boardsim --replay run.replay --gdb 3333    (then walk the recording forwards and backwards in GDB)
)";

// Each output's finishing touch, after the run: the picture, traces,
// waveforms, the flash.
struct Outputs {
    std::optional<sim::RunRecording> recording;
    std::string record, record_on_fail;
    std::unique_ptr<simtools::Instruments> instruments;
    std::unique_ptr<simtools::ExecutionReports> reports;
    std::string screenshot;
    int snapshot_status = 0;   // 1 when a --save-at could not be written
};

// The run starts from --restore's snapshot, and each --save-at writes its
// own when its time comes, whichever front end runs the board. A snapshot
// that cannot be written is told then and makes the exit status 1.
bool start_snapshots(const sim::RunPlan &plan, sim::Session &session, int &status)
{
    std::string error;
    if (plan.restore && !session.restore_snapshot(*plan.restore, error)) {
        std::cerr << "boardsim: --restore " << error << "\n";
        return false;
    }
    board::Picos now = session.board.clock.now();
    auto before = [&](const std::string &what, board::Picos t) {
        std::cerr << "boardsim: " << what << " " << sim::format_time(t) << " is before the snapshot's time "
                  << sim::format_time(now) << " (times count from power-on)\n";
        return false;
    };
    if (plan.duration && *plan.duration < now) return before("--for", *plan.duration);
    for (const auto &[t, file] : plan.snapshots) {
        if (t < now) return before("--save-at", t);
        session.machine.at_time(t, [&session, &status, file] {
            std::string why;
            if (session.save_snapshot(file, why)) {
                std::cerr << "boardsim: snapshot at " << simtools::format_time(session.board.clock.now()) << " s written to " << file
                          << "\n";
            } else {
                std::cerr << "boardsim: --save-at " << why << "\n";
                status = 1;
            }
        });
    }
    return true;
}

// A recording walked in the debugger: its inputs are the history ahead;
// past its end the board runs on as a --gdb run does.
int replay_with_gdb(const sim::CommandLine &c, const sim::ReplayBundle &bundle, sim::Session &session)
{
    sim::GdbRunOptions g;
    g.port = static_cast<uint16_t>(c.gdb_port);
    g.wait = c.gdb_wait;
    g.history = sim::HistoryOptions{c.history_interval, static_cast<size_t>(c.history_memory)};
    g.replay = &bundle;
    int status = sim::run_with_gdb(session, g, std::cout, std::cerr);
    if (status != kUsageError) std::cout << session.report();
    return status;
}

int finish(sim::Session &session, int status, Outputs &outputs)
{
    std::string error;
    auto failed = [&] {
        std::cerr << "boardsim: " << error << "\n";
        if (status == 0) status = 1;
    };
    if (status == 0) status = outputs.snapshot_status;
    if (!outputs.screenshot.empty() && !sim::save_screenshot(session, outputs.screenshot, error))
        failed();
    if (outputs.instruments && !outputs.instruments->finish(session.machine.instructions(), error))
        failed();
    if (outputs.reports && !outputs.reports->finish(session.machine.cycles(), std::cerr, error))
        failed();
    if (!session.save_flash(error))
        failed();
    if (outputs.recording && !outputs.record.empty() && !outputs.recording->write(outputs.record, error))
        failed();
    if (outputs.recording && !outputs.record_on_fail.empty() && status == 1) {
        if (outputs.recording->write(outputs.record_on_fail, error))
            std::cerr << "boardsim: the failed run's replay bundle: " << outputs.record_on_fail << "\n";
        else
            failed();
    }
    return status;
}

// A descriptor 0..2 closed by whoever started us would be handed to the
// first file opened (a waveform, a trace), and the serial line or the report
// would write into it: give each closed one /dev/null first.
void guard_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
}

}  // namespace

int main(int argc, char **argv)
{
    guard_standard_descriptors();
    CLI::App app{"Runs the firmware image on the simulated board.\n"
                 "Display codes 0..7 (the user glyphs) are shown as the circled digits ⓪..⑦."};
    app.set_version_flag("--version", "boardsim " BOARDSIM_VERSION);
    app.footer(kFooter);
    sim::CommandLine c;
    c.image = DEFAULT_IMAGE;
    declare_options(app, c);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kUsageError;
    }
    c.image_given = app.get_option("image")->count() > 0;
    for (int i = 0; i < argc; ++i)
        c.command += (i ? " " : "") + std::string(argv[i]);

    std::string error;
    auto plan = sim::plan_run(c, isatty(STDIN_FILENO) && isatty(STDOUT_FILENO), error);
    if (!plan) {
        std::cerr << "boardsim: " << error << "\n";
        return kUsageError;
    }

    if (plan->replay && c.gdb_port >= 0) {
        if (plan->recording || plan->reports) {
            std::cerr << "boardsim: --replay with --gdb goes back and forth: traces, waveforms, coverage and profiles "
                         "would show code twice; write them with --replay alone\n";
            return kUsageError;
        }
        if (plan->replay->boot_program) {
            std::cerr << "boardsim: --replay with --gdb: a --samba recording runs the boot monitor, not the core alone\n";
            return kUsageError;
        }
    }

    // Declared before the session, so that it outlives the board reporting to it.
    Outputs outs;
    outs.screenshot = c.screenshot;
    plan->session.jtag_report = [](const std::string &m) { std::cerr << "boardsim: " << m << std::endl; };
    auto session = sim::Session::open(plan->session, error);
    if (!session) {
        std::cerr << "boardsim: " << error << "\n";
        return kUsageError;
    }
    session->machine.set_exact(c.exact || (plan->replay && plan->replay->exact));
    session->machine.set_host_code(!c.interpret);
    if (!c.record.empty() || !c.record_on_fail.empty()) {
        outs.recording = sim::RunRecording::start(c, *plan, *session, error);
        if (!outs.recording) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
        outs.record = c.record;
        if (!c.record_on_fail.empty()) outs.record_on_fail = sim::failed_run_bundle(c.record_on_fail, c.scenario);
    }
    // Before any output is opened: a refused snapshot writes nothing.
    if (!start_snapshots(*plan, *session, outs.snapshot_status))
        return kUsageError;
    if (plan->recording) {
        outs.instruments = std::make_unique<simtools::Instruments>(session->board.bus, session->board.pa,
                                                                   session->board.clock);
        if (!outs.instruments->open(*plan->recording, std::cerr, error)) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
        sim::attach_instruments(*outs.instruments, *session);
    }
    if (plan->reports) {
        outs.reports = std::make_unique<simtools::ExecutionReports>();
        if (!outs.reports->open(*plan->reports, error)) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
        sim::attach_execution_reports(*outs.reports, *session);
    }
    if (auto *jtag = session->jtag())
        std::cerr << "boardsim: JTAG (OpenOCD remote_bitbang) on 127.0.0.1:" << jtag->port() << std::endl;
    if (!session->serial_path().empty() && plan->mode != sim::RunMode::Samba)
        std::cerr << "boardsim: serial line (DBGU) on " << session->serial_path() << std::endl;
    sim::install_stop_signals();
    if (c.verbose)
        session->board.log.set_listener([](const board::LogEntry &e) {
            std::cerr << sim::format_time(e.time) << "  " << e.source << ": " << e.message << "\n";
        });

    switch (plan->mode) {
    case sim::RunMode::Samba: {
        int status = sim::run_samba(*session, plan->duration, std::cerr);
        std::cout << session->report();
        return finish(*session, sim::status_after_signal(status), outs);
    }
    case sim::RunMode::Bench:
        return finish(*session, sim::status_after_signal(sim::run_bench(*session, c.bench_passes, std::cout)), outs);
    case sim::RunMode::Gdb: {
        sim::GdbRunOptions g;
        g.port = static_cast<uint16_t>(c.gdb_port);
        g.wait = c.gdb_wait;
        g.duration = plan->duration;
        g.scenario = plan->scenario ? &*plan->scenario : nullptr;
        g.junit = c.junit;
        // Going back runs code again, which traces, waveforms and reports
        // would show a second time: with them the run goes forward only.
        if (plan->recording || plan->reports)
            std::cerr << "boardsim: --gdb with traces, waveforms, coverage or a profile: the debugger cannot go back\n";
        else
            g.history = sim::HistoryOptions{c.history_interval, static_cast<size_t>(c.history_memory)};
        int status = sim::run_with_gdb(*session, g, std::cout, std::cerr);
        if (status == kUsageError)
            return status;
        if (!plan->scenario) std::cout << session->report();
        return finish(*session, status, outs);
    }
    case sim::RunMode::Scenario:
        return finish(*session, sim::run_scenario(*plan->scenario, *session, std::cout, std::cerr, c.junit), outs);
    case sim::RunMode::View: {
        sim::ViewOptions view;
        view.fast = c.fast;
        view.image = plan->session.image.empty() ? "chip flash " + c.chip_flash : plan->session.image;
        return finish(*session, sim::status_after_signal(sim::run_terminal_view(*session, view)), outs);
    }
    case sim::RunMode::Replay:
        if (c.gdb_port >= 0) return finish(*session, replay_with_gdb(c, *plan->replay, *session), outs);
        return finish(*session, sim::run_replay(*session, *plan->replay, std::cout, std::cerr), outs);
    case sim::RunMode::Headless: break;
    }
    return finish(*session, sim::run_headless(*session, plan->duration, std::cout, std::cerr), outs);
}
