// boardsim --jtag PORT: the chip's JTAG pins served as OpenOCD's
// remote_bitbang adapter on 127.0.0.1:PORT, driving the ARM7TDMI's debug
// logic (sim/jtag). nSRST is the NRST pin, through the reset controller;
// nTRST resets the TAP and the debug logic only.
//
// The port is looked at every 50 us of virtual time; what arrived is acted
// on at instruction boundaries, each TCK cycle taking 1 us of the chip's
// time (a 1 MHz JTAG clock): the core runs between the bits as it runs
// between a real adapter's, so a reset released by nSRST lets the core reach
// its first instruction before the next JTAG command, as on a board. While
// a client is connected, virtual time runs no faster than the host's, so
// that OpenOCD's waits (its sleeps, its timeouts while the flash programs a
// page) last what they last on a board. In debug state the core is clocked
// by the port alone; the rest of the chip keeps its master clock, so the
// board's virtual time goes on while the core is halted, as a board's
// peripherals go on while its core is.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/jtag/arm7_debug.h"
#include "sim/jtag/remote_bitbang.h"
#include "sim/machine/machine.h"

namespace sim {

class JtagPort : public DebugAgent, private jtag::DebugCore {
public:
    static constexpr board::Picos kPollInterval = 50 * board::kPicosPerUs;
    // The JTAG clock as the chip sees it: 1 MHz, whatever the host's pace.
    static constexpr board::Picos kTckPeriod = board::kPicosPerUs;

    // Listens on 127.0.0.1:port (0: any free port); nullptr with `error`.
    // `report` gets the port's messages (connections, bad input).
    static std::unique_ptr<JtagPort> open(Machine &machine, uint16_t port, std::function<void(const std::string &)> report,
                                          std::string &error);
    ~JtagPort() override;

    uint16_t port() const { return bitbang_.port(); }
    // Starts looking at the port on the virtual clock; again after every
    // power-on (which clears the clock's events).
    void start();
    jtag::Arm7Debug &debug_logic() { return logic_; }

    // DebugAgent
    void serve() override;
    bool holds_core() const override { return logic_.in_debug_state(); }
    void stopped(bool watchpoint) override;
    void core_reset() override { logic_.core_reset(); }

private:
    JtagPort(Machine &machine, std::function<void(const std::string &)> report);
    void poll();

    // jtag::DebugCore
    uint32_t next_pc() const override { return machine_.cpu().pc(); }
    void set_next_pc(uint32_t address) override { machine_.cpu().set_reg(15, address); }
    uint32_t cpsr() const override { return machine_.cpu().cpsr(); }
    bool execute(uint32_t encoding, uint32_t address, CoreBus *debug_bus) override
    {
        return machine_.debug_execute(encoding, address, debug_bus);
    }
    void set_watch(DebugWatch *watch) override { machine_.cpu().set_debug_watch(watch); }

    Machine &machine_;
    std::function<void(const std::string &)> report_;
    jtag::Arm7Debug logic_;
    jtag::RemoteBitbang bitbang_;
    board::Clock::EventId event_ = 0;
    bool was_connected_ = false;
    std::chrono::steady_clock::time_point wall_base_;
    board::Picos virtual_base_ = 0;
    board::Picos jtag_time_ = 0;   // when the last TCK cycle acted on ends
    // Its look at the port on the clock, for snapshots (attached to the
    // board). The connection and the debug logic are the host's session,
    // not the board's: a restored run waits for a client with the logic
    // reset, and no snapshot is taken while the logic holds the core.
    board::State declared_{"JTAG port"};
};

}  // namespace sim
