#include "sim/frontends/run_recording.h"


namespace sim {

namespace {

const char *mode_name(RunMode m)
{
    switch (m) {
    case RunMode::Samba: return "samba";
    case RunMode::Bench: return "bench";
    case RunMode::Gdb: return "gdb";
    case RunMode::Scenario: return "scenario";
    case RunMode::View: return "view";
    case RunMode::Headless: return "headless";
    case RunMode::Replay: return "replay";
    }
    return "";
}

}  // namespace

std::optional<RunRecording> RunRecording::start(const CommandLine &c, const RunPlan &plan, Session &session,
                                                std::string &error)
{
    RunRecording r(session);
    ReplayBundle &b = r.head_;
    const SessionOptions &o = plan.session;
    b.image = o.image;
    if (!o.image.empty()) {
        auto hash = hash_file(o.image, error);
        if (!hash) return std::nullopt;
        b.image_hash = *hash;
    }
    b.crystal_hz = o.crystal_hz;
    b.bounce = o.bounce;
    b.bounce_window = o.bounce_window;
    b.seed = o.bounce_seed;
    b.exact = c.exact;
    b.serial = !o.serial ? 0 : *o.serial == SerialLink::Kind::Pty ? 1 : 2;
    b.boot_program = o.boot_program;
    b.duration = plan.duration;
    b.mode = mode_name(plan.mode);
    b.command = c.command;
    b.flash = session.stored_flash();
    b.chip_flash = session.stored_chip_flash();
    b.chip_nvm = session.stored_chip_nvm();
    session.inputs().start();
    return r;
}

bool RunRecording::write(const std::string &path, std::string &error) const
{
    ReplayBundle b = head_;
    b.inputs = session_->inputs().events();
    b.end = {session_->machine.cycles(), session_->machine.instructions(), session_->board.clock.now()};
    return b.write(path, error);
}

bool replay_session_options(const ReplayBundle &b, const CommandLine &c, SessionOptions &s, std::string &error)
{
    s.image = c.image_given ? c.image : b.image;
    if (s.image.empty() != b.image.empty()) {
        error = b.image.empty() ? "the recorded run had no image (the chip booted its flash); give none"
                                : "the recorded run ran an image; give it (or none, for " + b.image + ")";
        return false;
    }
    if (!s.image.empty()) {
        auto hash = hash_file(s.image, error);
        if (!hash) return false;
        if (*hash != b.image_hash) {
            error = s.image + " is not the image the run was recorded with (its hash is " + board::hex64(*hash) +
                    ", the recording's " + board::hex64(b.image_hash) + ")";
            return false;
        }
    }
    s.crystal_hz = b.crystal_hz;
    s.bounce = b.bounce;
    s.bounce_window = b.bounce_window;
    s.bounce_seed = b.seed;
    s.boot_program = b.boot_program;
    if (b.serial) s.serial = SerialLink::Kind::Replay;
    s.flash_start = b.flash;
    s.chip_flash_start = b.chip_flash;
    s.chip_nvm_start = b.chip_nvm;
    // Flash files named with --replay receive the contents at the end.
    if (!c.flash.empty() && !b.flash) {
        error = "--flash: the recorded run had no serial flash file to start from";
        return false;
    }
    if (!c.chip_flash.empty() && !b.chip_flash) {
        error = "--chip-flash: the recorded run had no chip flash file to start from";
        return false;
    }
    return true;
}

std::string failed_run_bundle(const std::string &dir, const std::string &scenario_path)
{
    std::string name = scenario_path.substr(scenario_path.find_last_of('/') + 1);
    if (auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
    return (dir.empty() || dir.back() == '/' ? dir : dir + "/") + name + ".replay";
}

}  // namespace sim
