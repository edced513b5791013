// A GDB remote serial protocol server for one debugger at a time, on a TCP
// port of 127.0.0.1 only; a second one is turned away at once rather than
// left waiting. It owns the execution while a debugger is attached:
// the target runs only on "continue" or "step", in slices, and between slices
// the server looks for the debugger's Ctrl-C. While halted nothing runs, so
// virtual time stands still.
//
// Supported: the target description (an ARM core with r0..r15 and cpsr),
// g/G/p/P, m/M/X, Z0..Z4/z0..z4, s/c (with signals ignored) and vCont,
// bs/bc (backwards, for a target that keeps its history), ?,
// Ctrl-C, D (detach) and k/vKill, monitor commands (qRcmd), no-ack mode, and the thread queries a
// single-threaded target answers. Anything else gets the empty reply that
// the protocol defines for "not supported"; a packet with bad arguments gets
// an "E" reply; a packet with a bad checksum is refused with '-'.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim/tools/debug_target.h"
#include "sim/tools/rsp_framing.h"

namespace simtools {

class GdbServer {
public:
    // Ended: the target's run is over, or the stop check asked to end.
    enum class Outcome { Detached, Killed, Disconnected, Ended };

    explicit GdbServer(DebugTarget &target);
    ~GdbServer();
    GdbServer(const GdbServer &) = delete;
    GdbServer &operator=(const GdbServer &) = delete;

    // Listens on 127.0.0.1:port (0 picks a free port). False with a message.
    bool listen(uint16_t port, std::string &error);
    uint16_t port() const { return port_; }

    // Waits up to timeout_ms (-1: for ever, 0: just looks) for a debugger.
    bool accept(int timeout_ms);
    bool connected() const { return client_ >= 0; }

    // Asked while serving, at least every few hundred milliseconds: a
    // signal number ends the session (a running target is reported to the
    // debugger as terminated by it), 0 goes on.
    void set_stop_check(std::function<int()> check) { stop_check_ = std::move(check); }
    // Told when a second debugger is turned away.
    void set_refusal_listener(std::function<void()> l) { refused_ = std::move(l); }

    // Serves the connected debugger until it detaches, kills or goes away.
    // The target is halted throughout, except while the debugger lets it run.
    Outcome serve();

    // The target description sent to the debugger.
    static const std::string &target_xml();

private:
    enum class Flow { Continue, Detach, Kill };

    Flow handle(const std::string &packet);
    void send(const std::string &payload);
    bool read_some(int timeout_ms);   // false when the connection is gone
    void refuse_extra_clients();
    void resume(bool single_step);
    std::string stop_reply(const StopEvent &event) const;

    std::string read_registers();
    std::string write_registers(const std::string &args);
    std::string read_register(const std::string &args);
    std::string write_register(const std::string &args);
    std::string read_memory(const std::string &args);
    std::string write_memory(const std::string &args, bool binary);
    std::string breakpoint(const std::string &packet);
    std::string query(const std::string &packet);
    Flow vpacket(const std::string &packet);
    void close_client();

    DebugTarget &target_;
    int listener_ = -1;
    int client_ = -1;
    uint16_t port_ = 0;
    rsp::Reader reader_;
    std::string pending_;       // bytes received but not yet fed to the reader
    std::string last_sent_;     // resent on '-'
    bool no_ack_ = false;
    bool interrupt_requested_ = false;
    bool gone_ = false;
    bool ended_ = false;
    std::function<int()> stop_check_;
    std::function<void()> refused_;
    StopEvent last_stop_{StopCause::Step, WatchKind::Write, 0, 5};
};

}  // namespace simtools
