#include "sim/frontends/boot_monitor.h"

namespace sim {

namespace {
constexpr uint32_t kModeSvcMasked = 0xD3;   // supervisor, IRQ and FIQ masked, ARM
}

BootMonitor::BootMonitor(Machine &machine, board::Picos go_limit)
    : machine_(machine), monitor_(*this, go_limit), port_(*this, monitor_)
{
    monitor_.set_reporter([this](const std::string &message) {
        machine_.board().log.warn("boot monitor", message);
    });
}

bool BootMonitor::serving() const
{
    const Machine &m = machine_;
    return m.cpu().pc() == samba::kMonitorLoop && !m.cpu().thumb();
}

void BootMonitor::poll(board::Picos since)
{
    if (serving())
        port_.poll(since);
}

uint32_t BootMonitor::read(uint32_t address, unsigned size)
{
    uint32_t value = 0;
    if (!machine_.data_read(address, size, value))
        machine_.board().log.warn("boot monitor", "read of " + board::hex32(address) + " aborted");
    return value;
}

void BootMonitor::write(uint32_t address, unsigned size, uint32_t value)
{
    if (!machine_.data_write(address, size, value))
        machine_.board().log.warn("boot monitor", "write of " + board::hex32(address) + " aborted");
}

samba::GoOutcome BootMonitor::go(uint32_t address, samba::Picos limit)
{
    Arm7tdmi &cpu = machine_.cpu();
    board::Picos start = machine_.board().clock.now();
    // As a call from the monitor: LR back into its loop, the state from bit 0.
    cpu.set_cpsr(kModeSvcMasked | ((address & 1) ? kCpsrT : 0));
    cpu.set_reg(13, samba::kMonitorStack);
    cpu.set_reg(14, samba::kMonitorLoop);
    cpu.set_reg(15, address & ~1u);
    machine_.add_breakpoint(samba::kMonitorLoop);
    Machine::Stop stop;
    do {
        // A peripheral access may end a run early (a new event); go on.
        stop = machine_.run_until(start + limit);
    } while (stop == Machine::Stop::Requested && machine_.board().clock.now() < start + limit);
    machine_.remove_breakpoint(samba::kMonitorLoop);

    samba::GoOutcome outcome;
    outcome.elapsed = machine_.board().clock.now() - start;
    outcome.returned = stop == Machine::Stop::Breakpoint && cpu.pc() == samba::kMonitorLoop;
    if (!outcome.returned) {
        outcome.detail = "the core was at " + board::hex32(cpu.pc()) + (cpu.thumb() ? " (Thumb)" : "");
        std::string where = machine_.describe(cpu.pc());
        if (!where.empty())
            outcome.detail += " in " + where;
    }
    take_core_back();
    return outcome;
}

void BootMonitor::take_core_back()
{
    Arm7tdmi &cpu = machine_.cpu();
    cpu.set_cpsr(kModeSvcMasked);
    cpu.set_reg(13, samba::kMonitorStack);
    cpu.set_reg(15, samba::kMonitorLoop);
}

}  // namespace sim
