#include "sim/frontends/run_plan.h"

#include <sys/stat.h>

#include "sim/machine/duration.h"
#include "sim/tools/board_waves.h"
#include "sim/tools/output_file.h"
#include "sim/tools/trace.h"

namespace sim {

namespace {

RunMode mode_of(const CommandLine &c, bool has_duration, bool terminal)
{
    if (c.samba) return RunMode::Samba;
    if (c.bench) return RunMode::Bench;
    if (c.gdb_port >= 0) return RunMode::Gdb;
    if (!c.scenario.empty()) return RunMode::Scenario;
    if (!c.headless && !has_duration && terminal) return RunMode::View;
    return RunMode::Headless;
}

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

}  // namespace

std::optional<RunPlan> plan_run(const CommandLine &c, bool terminal, std::string &error)
{
    RunPlan p;
    if (!c.for_text.empty()) {
        std::string why;
        p.duration = parse_duration(c.for_text, &why);
        if (!p.duration) {
            error = "--for " + c.for_text + " " + why;
            return std::nullopt;
        }
    }
    p.mode = mode_of(c, p.duration.has_value(), terminal);

    p.inputs.push_back({"the image", c.image});
    for (const auto &[time, file] : c.save_at) {
        std::string why;
        auto t = parse_duration(time, &why);
        if (!t) {
            error = "--save-at " + time + " " + why;
            return std::nullopt;
        }
        p.snapshots.emplace_back(*t, file);
        p.outputs.push_back({"--save-at", file});
    }
    if (!c.restore.empty()) {
        p.restore = c.restore;
        p.inputs.push_back({"the snapshot", c.restore});
    }
    if (!c.scenario.empty()) {
        p.scenario = Scenario::load(c.scenario, error);
        if (!p.scenario) return std::nullopt;
        p.inputs.push_back({"the scenario", c.scenario});
        for (const auto &f : p.scenario->files())
            (f.written ? p.outputs : p.inputs).push_back({f.what, f.path});
    }

    SessionOptions &s = p.session;
    // No image given: a board boots whatever its flash holds.
    s.image = c.samba || (!c.chip_flash.empty() && !c.image_given) ? "" : c.image;
    s.boot_program = c.samba;
    if (c.samba) s.serial = SerialLink::Kind::Pty;
    s.crystal_hz = c.crystal_hz;
    s.bounce = c.bounce;
    s.bounce_seed = c.seed;
    if (!c.chip_flash.empty()) s.chip_flash_file = c.chip_flash;
    if (c.jtag_port >= 0) s.jtag_port = static_cast<uint16_t>(c.jtag_port);
    if (!c.serial.empty()) s.serial = c.serial == "pty" ? SerialLink::Kind::Pty : SerialLink::Kind::Stdio;
    if (c.serial == "stdio" && p.mode == RunMode::View) {
        error = "--serial stdio needs a headless run (--headless or --for): the terminal view uses the terminal";
        return std::nullopt;
    }
    if (!c.flash.empty())
        s.flash_file = c.flash;
    else if (p.scenario && p.scenario->flash_file)
        s.flash_file = *p.scenario->flash_file;
    if (s.flash_file) p.outputs.insert(p.outputs.begin(), {"the flash file", *s.flash_file});
    if (s.chip_flash_file) {
        p.outputs.insert(p.outputs.begin(), {"the chip's flash file", *s.chip_flash_file});
        p.outputs.insert(p.outputs.begin() + 1, {"the chip's flash bits file", nvm_bits_path(*s.chip_flash_file)});
    }
    for (const auto &[what, path] : c.output_options)
        if (!path->empty()) p.outputs.push_back({what, *path});
    if (!check_paths(p.inputs, p.outputs, error)) return std::nullopt;

    simtools::Instruments::Options r;
    if (!c.trace_kinds.empty() && !simtools::parse_trace_kinds(c.trace_kinds, r.trace_kinds, error)) {
        error = "--trace " + c.trace_kinds + ": " + error;
        return std::nullopt;
    }
    if (!c.vcd_file.empty() && !simtools::parse_wave_groups(c.vcd_signals, r.vcd_groups, error)) {
        error = "--vcd-signals " + c.vcd_signals + ": " + error;
        return std::nullopt;
    }
    r.trace_file = c.trace_file;
    r.trace_limit = c.trace_limit;
    r.vcd_file = c.vcd_file;
    if (r.trace_kinds || !r.vcd_file.empty()) p.recording = r;

    if (!c.coverage.empty() || !c.profile.empty()) {
        if (s.image.empty()) {
            error = "--coverage and --profile need the image, for its source lines and functions";
            return std::nullopt;
        }
        p.reports = simtools::ExecutionReports::Options{s.image, c.coverage, c.profile, c.command};
    }
    return p;
}

}  // namespace sim
