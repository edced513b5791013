// boardsim: runs the firmware image on the simulated board.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "sim/bench.h"
#include "sim/duration.h"
#include "sim/gdb_run.h"
#include "sim/instrument_wiring.h"
#include "sim/samba_run.h"
#include "sim/scenario.h"
#include "sim/screenshot.h"
#include "sim/session.h"
#include "sim/stop_signal.h"
#include "sim/terminal_view.h"
#include "sim/tools/board_waves.h"
#include "sim/tools/instruments.h"

#ifndef DEFAULT_IMAGE
#define DEFAULT_IMAGE "program.elf"
#endif

namespace {

constexpr int kUsageError = 2;

// What a run leaves behind besides the flash: the picture, traces, waveforms.
struct Outputs {
    std::unique_ptr<simtools::Instruments> instruments;
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
    if (!session.save_flash(error))
        failed();
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Runs the firmware image on the simulated board.\n"
                 "Display codes 0..7 (the user glyphs) are shown as the circled digits ⓪..⑦."};
    std::string image = DEFAULT_IMAGE;
    std::string for_text, flash, scenario_path, junit;
    bool headless = false, fast = false, bench = false, verbose = false, exact = false;
    unsigned bench_passes = sim::kBenchPasses;
    uint32_t crystal = 18432000;
    unsigned bounce = 0;
    uint64_t seed = 1;
    auto *image_opt = app.add_option("image", image, "firmware ELF image (with --chip-flash and none given: "
                                                     "boot what the chip's flash holds)")->capture_default_str();
    app.add_flag("--headless", headless, "run without the terminal view");
    app.add_option("--for", for_text, "headless: virtual time to run, e.g. 3s or 250ms");
    app.add_flag("--fast", fast, "terminal view: run unthrottled instead of in real time");
    app.add_option("--flash", flash, "serial flash contents (512 KiB file; created erased if absent)");
    std::string chip_flash, serial;
    auto *chip_flash_opt = app.add_option("--chip-flash", chip_flash,
                   "the chip's own flash (256 KiB file; created erased if absent; the image is programmed into it)");
    auto *serial_opt = app.add_option("--serial", serial, "the debug unit's serial line: pty (a new pseudo-terminal) or stdio")
        ->check(CLI::IsMember({"pty", "stdio"}));
    auto *scenario_opt = app.add_option("--scenario", scenario_path, "run the steps of a YAML scenario");
    app.add_option("--junit", junit, "with --scenario: write a JUnit XML report");
    app.add_option("--crystal", crystal, "main crystal frequency in Hz")->capture_default_str()->check(CLI::Range(3000000u, 20000000u));
    app.add_option("--bounce", bounce, "extra contact transitions per key edge (0 = clean edges)")->check(CLI::Range(0u, 32u));
    app.add_option("--seed", seed, "seed of the key bounce");
    int gdb_port = -1;
    bool gdb_wait = false;
    std::string vcd_file, vcd_signals = "all", trace_kinds, trace_file, screenshot;
    auto *gdb_opt = app.add_option("--gdb", gdb_port, "serve the GDB remote protocol on 127.0.0.1:PORT (runs headless)")
                        ->check(CLI::Range(0, 65535));
    app.add_flag("--gdb-wait", gdb_wait, "with --gdb: hold the core at reset until a debugger attaches")->needs(gdb_opt);
    auto *vcd_opt = app.add_option("--vcd", vcd_file, "write the board's signals as a VCD waveform file");
    app.add_option("--vcd-signals", vcd_signals, "with --vcd: lcd, spi, led, keys, irq or all, comma-separated")
        ->capture_default_str()->needs(vcd_opt);
    auto *trace_opt = app.add_option("--trace", trace_kinds, "trace mmio, irq, insn or all, comma-separated");
    app.add_option("--trace-file", trace_file, "with --trace: the file to write (default: standard error)")
        ->needs(trace_opt);
    app.add_option("--screenshot", screenshot, "at exit, save a PNG picture of the display and the LED");
    app.add_flag("--exact", exact, "run every instruction: no delay-loop fast-forward (same results, slower)");
    app.add_flag("-v,--verbose", verbose, "print the board's diagnostics (bus errors, lost writes) as they happen");
    auto *bench_opt = app.add_flag("--bench", bench, "benchmark: boot, run status passes headless, print figures");
    app.add_option("--passes", bench_passes, "with --bench: status passes to run")->check(CLI::Range(1u, 1000u))->needs(bench_opt);
    bool samba = false;
    app.add_flag("--samba", samba,
                 "the chip as after the TST procedure: its boot program serves the SAM-BA monitor on a new "
                 "pseudo-terminal; with --for, the run ends that long after the host resets the chip")
        ->excludes(image_opt)->excludes(serial_opt)->excludes(scenario_opt)->excludes(gdb_opt)->excludes(bench_opt);
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
    // No image given: a board boots whatever its flash holds.
    options.image = samba || (chip_flash_opt->count() && !image_opt->count()) ? "" : image;
    options.boot_program = samba;
    if (samba)
        options.serial = sim::SerialLink::Kind::Pty;
    options.crystal_hz = crystal;
    options.bounce = bounce;
    options.bounce_seed = seed;
    if (!chip_flash.empty())
        options.chip_flash_file = chip_flash;
    if (!serial.empty())
        options.serial = serial == "pty" ? sim::SerialLink::Kind::Pty : sim::SerialLink::Kind::Stdio;
    if (serial == "stdio" && !headless && !duration && !scenario && gdb_port < 0 && !bench &&
        isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        std::cerr << "boardsim: --serial stdio needs a headless run (--headless or --for): the terminal view uses the terminal\n";
        return kUsageError;
    }
    if (!flash.empty())
        options.flash_file = flash;
    else if (scenario && scenario->flash_file)
        options.flash_file = *scenario->flash_file;

    simtools::Instruments::Options recording;
    std::string error;
    if (!trace_kinds.empty() && !simtools::parse_trace_kinds(trace_kinds, recording.trace_kinds, error)) {
        std::cerr << "boardsim: --trace " << trace_kinds << ": " << error << "\n";
        return kUsageError;
    }
    if (!vcd_file.empty() && !simtools::parse_wave_groups(vcd_signals, recording.vcd_groups, error)) {
        std::cerr << "boardsim: --vcd-signals " << vcd_signals << ": " << error << "\n";
        return kUsageError;
    }
    recording.trace_file = trace_file;
    recording.vcd_file = vcd_file;

    // Declared before the session, so that it outlives the board reporting to it.
    Outputs outputs;
    outputs.screenshot = screenshot;
    auto session = sim::Session::open(options, error);
    if (!session) {
        std::cerr << "boardsim: " << error << "\n";
        return kUsageError;
    }
    session->machine.set_exact(exact);
    if (recording.trace_kinds || !recording.vcd_file.empty()) {
        outputs.instruments = std::make_unique<simtools::Instruments>(session->board.bus, session->board.pa,
                                                                      session->board.clock);
        if (!outputs.instruments->open(recording, std::cerr, error)) {
            std::cerr << "boardsim: " << error << "\n";
            return kUsageError;
        }
        sim::attach_instruments(*outputs.instruments, *session);
    }
    if (!session->serial_path().empty() && !samba)
        std::cerr << "boardsim: serial line (DBGU) on " << session->serial_path() << std::endl;
    sim::install_stop_signals();
    if (verbose)
        session->board.log.set_listener([](const board::LogEntry &e) {
            std::cerr << sim::format_time(e.time) << "  " << e.source << ": " << e.message << "\n";
        });

    if (samba) {
        int status = sim::run_samba(*session, duration, std::cerr);
        std::cout << session->report();
        return finish(*session, status, outputs);
    }
    if (bench)
        return finish(*session, sim::run_bench(*session, bench_passes, std::cout), outputs);
    if (gdb_port >= 0) {
        sim::GdbRunOptions g;
        g.port = static_cast<uint16_t>(gdb_port);
        g.wait = gdb_wait;
        g.duration = duration;
        int status = sim::run_with_gdb(*session, g, std::cerr);
        if (status != 0)
            return status;
        std::cout << session->report();
        return finish(*session, 0, outputs);
    }
    if (scenario) {
        int status = sim::run_scenario(*scenario, *session, std::cout, junit);
        return finish(*session, status, outputs);
    }
    if (!headless && !duration && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        sim::ViewOptions view;
        view.fast = fast;
        view.image = options.image.empty() ? "chip flash " + chip_flash : options.image;
        return finish(*session, sim::run_terminal_view(*session, view), outputs);
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
    return finish(*session, 0, outputs);
}
