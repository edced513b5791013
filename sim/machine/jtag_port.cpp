#include "sim/machine/jtag_port.h"
#include <algorithm>

namespace sim {

std::unique_ptr<JtagPort> JtagPort::open(Machine &machine, uint16_t port, std::function<void(const std::string &)> report,
                                         std::string &error)
{
    std::unique_ptr<JtagPort> p(new JtagPort(machine, std::move(report)));
    if (!p->bitbang_.listen(port, error)) {
        error = "--jtag: " + error;
        return nullptr;
    }
    machine.attach_debug_agent(p.get());
    return p;
}

JtagPort::JtagPort(Machine &machine, std::function<void(const std::string &)> report)
    : machine_(machine), report_(std::move(report)), logic_(*this, machine.cpu().debug_channel()),
      bitbang_(jtag::RemoteBitbang::Port{
          [this](bool tck, bool tms, bool tdi) {
              // Each TCK cycle takes its time on the chip, ended by the rising edge.
              if (tck && !logic_.tap_clock_high()) jtag_time_ += kTckPeriod;
              logic_.tap().set_pins(tck, tms, tdi);
          },
          [this] { return logic_.tap().tdo(); },
          [this](bool trst, bool srst) {
              logic_.trst(trst);
              machine_.board().rstc.drive_nrst(srst);
          },
          [this](const std::string &m) { report_(m); },
          [this] { return std::string(jtag::tap_state_name(logic_.tap().state())); },
          [this] { return jtag_time_ <= machine_.board().clock.now(); }})
{
    declared_.event(machine_.board().clock, event_, "JTAG port",
                    {{"host poll", [this] { poll(); }}, {"next bit", [this] { poll(); }}})
        .custom(
            "debug logic",
            [this](board::StateWriter &w) {
                if (logic_.in_debug_state())
                    throw board::SnapshotError("the core is in debug state, held by the JTAG port: resume it first");
                w.u64(jtag_time_);
            },
            [this](board::StateReader &r) { jtag_time_ = r.u64(); }, nullptr);
    machine_.board().attach_state(declared_);
    // Shown with -v: where the core stops and goes on.
    logic_.set_state_listener([this](bool halted) {
        machine_.board().log.warn("jtag", std::string(halted ? "debug state at " : "running from ") +
                                              board::hex32(machine_.cpu().pc()) + (machine_.cpu().thumb() ? " (Thumb)" : ""));
    });
}

JtagPort::~JtagPort()
{
    machine_.board().clock.cancel(event_);
    machine_.cpu().set_debug_watch(nullptr);
    machine_.attach_debug_agent(nullptr);
}

void JtagPort::start()
{
    board::Clock &clock = machine_.board().clock;
    clock.cancel(event_);
    event_ = clock.schedule_in({"JTAG port", "host poll"}, kPollInterval, [this] { poll(); });
}

void JtagPort::poll()
{
    board::Clock &clock = machine_.board().clock;
    event_ = 0;
    // With a client, virtual time runs no faster than the host's: wait out
    // any lead on the socket, ready to act on what comes.
    int wait_us = 0;
    if (bitbang_.connected()) {
        auto wall = std::chrono::steady_clock::now();
        if (!was_connected_) {
            wall_base_ = wall;
            virtual_base_ = clock.now();
        }
        double elapsed = std::chrono::duration<double>(wall - wall_base_).count();
        double lead = static_cast<double>(clock.now() - virtual_base_) / board::kPicosPerSecond - elapsed;
        if (lead > 0) wait_us = static_cast<int>(lead * 1e6) + 1;
    }
    was_connected_ = bitbang_.connected();
    if (wait_us > 0) bitbang_.wait_readable(wait_us);
    machine_.want_debug_service();
    event_ = clock.schedule_in({"JTAG port", "host poll"}, kPollInterval, [this] { poll(); });
}

void JtagPort::serve()
{
    board::Clock &clock = machine_.board().clock;
    // A stream that starts again after a pause starts now.
    if (!bitbang_.pending()) jtag_time_ = std::max(jtag_time_, clock.now());
    bitbang_.serve();
    if (logic_.halt_pending()) logic_.enter_debug_state(jtag::Arm7Debug::Entry::Request);
    // Bytes left for later are acted on when the chip's time reaches them.
    if (bitbang_.pending() && jtag_time_ < clock.now() + kPollInterval) {
        clock.cancel(event_);
        event_ = clock.schedule_at({"JTAG port", "next bit"}, std::max(jtag_time_, clock.now()), [this] { poll(); });
    }
}

void JtagPort::stopped(bool watchpoint)
{
    logic_.enter_debug_state(watchpoint ? jtag::Arm7Debug::Entry::Watchpoint : jtag::Arm7Debug::Entry::Breakpoint);
}

}  // namespace sim
