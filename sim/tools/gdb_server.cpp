#include "sim/tools/gdb_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <deque>
#include <optional>
#include <vector>

namespace simtools {

namespace {

// Largest memory transfer per packet; the debugger splits bigger ones.
constexpr uint32_t kMaxTransfer = 0x1000;

std::string build_target_xml()
{
    std::string x =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
        "<target version=\"1.0\">\n"
        "  <architecture>armv4t</architecture>\n"
        "  <feature name=\"org.gnu.gdb.arm.core\">\n";
    for (int i = 0; i <= 12; ++i)
        x += "    <reg name=\"r" + std::to_string(i) + "\" bitsize=\"32\" regnum=\"" + std::to_string(i) + "\"/>\n";
    x += "    <reg name=\"sp\" bitsize=\"32\" type=\"data_ptr\" regnum=\"13\"/>\n"
         "    <reg name=\"lr\" bitsize=\"32\" regnum=\"14\"/>\n"
         "    <reg name=\"pc\" bitsize=\"32\" type=\"code_ptr\" regnum=\"15\"/>\n"
         "    <reg name=\"cpsr\" bitsize=\"32\" regnum=\"16\"/>\n"
         "  </feature>\n"
         "</target>\n";
    return x;
}

// Splits "a,b" / "a,b:rest" argument lists; false when a field is missing.
bool split_address_length(const std::string &args, uint32_t &address, uint32_t &length, std::string *rest)
{
    size_t comma = args.find(',');
    if (comma == std::string::npos) return false;
    size_t colon = args.find(':', comma);
    if (rest ? colon == std::string::npos : colon != std::string::npos) return false;
    auto a = rsp::parse_hex32(std::string_view(args).substr(0, comma));
    auto l = rsp::parse_hex32(std::string_view(args).substr(comma + 1, (rest ? colon : args.size()) - comma - 1));
    if (!a || !l) return false;
    address = *a;
    length = *l;
    if (rest) *rest = args.substr(colon + 1);
    return true;
}

bool starts_with(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

const std::string &GdbServer::target_xml()
{
    static const std::string xml = build_target_xml();
    return xml;
}

GdbServer::GdbServer(DebugTarget &target) : target_(target) {}

GdbServer::~GdbServer()
{
    close_client();
    if (listener_ >= 0) ::close(listener_);
}

bool GdbServer::listen(uint16_t port, std::string &error)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        error = std::string("cannot open a socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listener_, 4) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return true;
}

bool GdbServer::accept(int timeout_ms)
{
    if (listener_ < 0) return false;
    if (client_ >= 0) return true;
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0) return false;
    int one = 1;
    ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    reader_ = rsp::Reader{};
    pending_.clear();
    no_ack_ = false;
    gone_ = false;
    ended_ = false;
    return true;
}

void GdbServer::refuse_extra_clients()
{
    pollfd p{listener_, POLLIN, 0};
    while (listener_ >= 0 && ::poll(&p, 1, 0) > 0) {
        int extra = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (extra < 0) return;
        // Its first packet is answered with the reason, which the debugger
        // shows; the wait is brief, and the attached debugger's packets wait.
        std::string got;
        pollfd q{extra, POLLIN, 0};
        while (::poll(&q, 1, 500) > 0) {
            char buf[512];
            ssize_t n = ::recv(extra, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
            size_t hash = got.find('#');
            if (hash != std::string::npos && got.size() >= hash + 3) break;
        }
        std::string reply = "+";
        reply += rsp::frame("E.a debugger is already attached to this board");
        ::send(extra, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::shutdown(extra, SHUT_WR);
        ::close(extra);
        if (refused_) refused_();
    }
}

void GdbServer::close_client()
{
    if (client_ >= 0) ::close(client_);
    client_ = -1;
}

bool GdbServer::read_some(int timeout_ms)
{
    if (client_ < 0) return false;
    pollfd p[2] = {{client_, POLLIN, 0}, {listener_, POLLIN, 0}};
    int r = ::poll(p, listener_ >= 0 ? 2 : 1, timeout_ms);
    if (r < 0) return errno == EINTR;
    if (listener_ >= 0 && (p[1].revents & POLLIN)) refuse_extra_clients();
    if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return true;
    char buf[4096];
    ssize_t n = ::recv(client_, buf, sizeof buf, 0);
    if (n <= 0) {
        gone_ = true;
        return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
    return true;
}

void GdbServer::send(const std::string &payload)
{
    last_sent_ = rsp::frame(payload);
    size_t off = 0;
    while (client_ >= 0 && off < last_sent_.size()) {
        ssize_t n = ::send(client_, last_sent_.data() + off, last_sent_.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            gone_ = true;
            return;
        }
        off += static_cast<size_t>(n);
    }
}

GdbServer::Outcome GdbServer::serve()
{
    std::deque<std::string> packets;
    while (client_ >= 0) {
        // Halted, a stop signal ends the session without a word: the
        // debugger expects no packet until it asks.
        if (stop_check_ && stop_check_()) {
            close_client();
            return Outcome::Ended;
        }
        if (!gone_ && packets.empty() && !read_some(250)) break;
        for (char c : pending_) {
            auto ev = reader_.feed(static_cast<uint8_t>(c));
            if (!ev) continue;
            switch (ev->kind) {
            case rsp::Reader::Event::Packet: packets.push_back(std::move(ev->data)); break;
            case rsp::Reader::Event::BadChecksum:
                if (!no_ack_) ::send(client_, "-", 1, MSG_NOSIGNAL);
                break;
            case rsp::Reader::Event::Nak:
                if (!last_sent_.empty()) ::send(client_, last_sent_.data(), last_sent_.size(), MSG_NOSIGNAL);
                break;
            // A Ctrl-C that crosses our stop reply arrives while halted: nothing to stop.
            case rsp::Reader::Event::Interrupt:
            case rsp::Reader::Event::Ack: break;
            }
        }
        pending_.clear();
        while (!packets.empty()) {
            std::string packet = std::move(packets.front());
            packets.pop_front();
            if (!no_ack_) ::send(client_, "+", 1, MSG_NOSIGNAL);
            Flow flow = handle(packet);
            if (flow == Flow::Detach) {
                close_client();
                return Outcome::Detached;
            }
            if (flow == Flow::Kill) {
                close_client();
                return Outcome::Killed;
            }
            if (ended_) {
                // The debugger acknowledges the exit and then hangs up itself;
                // closing first would meet its acknowledgement with a broken pipe.
                ::shutdown(client_, SHUT_WR);
                pollfd p{client_, POLLIN, 0};
                char buf[256];
                for (int i = 0; i < 10 && ::poll(&p, 1, 100) > 0 && ::recv(client_, buf, sizeof buf, 0) > 0; ++i) {
                }
                close_client();
                return Outcome::Ended;
            }
            if (gone_) break;
        }
        if (gone_) break;
    }
    close_client();
    return Outcome::Disconnected;
}

void GdbServer::resume(bool single_step)
{
    StopEvent ev;
    if (single_step) {
        ev = target_.step();
    } else {
        for (;;) {
            ev = target_.run_slice();
            if (ev.cause != StopCause::None) break;
            if (int signal = stop_check_ ? stop_check_() : 0) {
                // The debugger waits for a stop: tell it the program is gone.
                char reply[8];
                std::snprintf(reply, sizeof reply, "X%02x", signal & 0xFF);
                send(reply);
                ended_ = true;
                return;
            }
            if (!read_some(0)) {
                // The debugger went away while the target ran: halt it there.
                ev.cause = StopCause::Interrupt;
                break;
            }
            bool interrupted = false;
            std::string rest;
            for (size_t i = 0; i < pending_.size(); ++i) {
                auto e = reader_.feed(static_cast<uint8_t>(pending_[i]));
                if (e && e->kind == rsp::Reader::Event::Interrupt) {
                    interrupted = true;
                    rest = pending_.substr(i + 1);
                    reader_ = rsp::Reader{};
                    break;
                }
            }
            pending_ = rest;
            if (interrupted) {
                ev.cause = StopCause::Interrupt;
                break;
            }
        }
    }
    last_stop_ = ev;
    send(stop_reply(ev));
    if (ev.cause == StopCause::Exited) ended_ = true;
}

std::string GdbServer::stop_reply(const StopEvent &ev) const
{
    char buf[64];
    switch (ev.cause) {
    case StopCause::Watchpoint: {
        const char *kind = ev.watch == WatchKind::Write ? "watch" : ev.watch == WatchKind::Read ? "rwatch" : "awatch";
        std::snprintf(buf, sizeof buf, "T05%s:%x;", kind, ev.data_address);
        return buf;
    }
    case StopCause::Interrupt: return "T02";
    case StopCause::HistoryStart: return "T05replaylog:begin;";
    case StopCause::Exited:
        std::snprintf(buf, sizeof buf, "W%02x", ev.signal & 0xFF);
        return buf;
    case StopCause::Fault:
        std::snprintf(buf, sizeof buf, "T%02x", ev.signal & 0xFF);
        return buf;
    case StopCause::None:
    case StopCause::Step:
    case StopCause::Breakpoint: break;
    }
    return "T05";
}

GdbServer::Flow GdbServer::handle(const std::string &p)
{
    if (p.empty()) {
        send("");
        return Flow::Continue;
    }
    const std::string args = p.substr(1);
    switch (p[0]) {
    case '?': send(stop_reply(last_stop_)); break;
    case 'g': send(args.empty() ? read_registers() : "E01"); break;
    case 'G': send(write_registers(args)); break;
    case 'p': send(read_register(args)); break;
    case 'P': send(write_register(args)); break;
    case 'm': send(read_memory(args)); break;
    case 'M': send(write_memory(args, false)); break;
    case 'X': send(write_memory(args, true)); break;
    case 'Z':
    case 'z': send(breakpoint(p)); break;
    case 'q': send(query(p)); break;
    case 'Q':
        if (p == "QStartNoAckMode") {
            send("OK");
            no_ack_ = true;   // from the next packet on
        } else {
            send("");
        }
        break;
    case 'v': return vpacket(p);
    case 'H': send("OK"); break;       // one thread: any thread is it
    case 'T': send("OK"); break;       // and it is alive
    case 'c':
    case 's': {
        // An address argument resumes there.
        if (!args.empty()) {
            auto a = rsp::parse_hex32(args);
            if (!a) {
                send("E01");
                break;
            }
            target_.write_register(15, *a);
        }
        resume(p[0] == 's');
        break;
    }
    case 'C':
    case 'S': {
        // The signal is the debugger's to pass on; a bare core has nowhere to deliver it.
        size_t semi = args.find(';');
        auto sig = rsp::parse_hex32(std::string_view(args).substr(0, semi));
        std::optional<uint32_t> a;
        if (semi != std::string::npos) a = rsp::parse_hex32(std::string_view(args).substr(semi + 1));
        if (!sig || (semi != std::string::npos && !a)) {
            send("E01");
            break;
        }
        if (a) target_.write_register(15, *a);
        resume(p[0] == 'S');
        break;
    }
    case 'b':
        // bs / bc: backwards, where the target keeps its history.
        if (!target_.can_reverse() || (args != "s" && args != "c")) {
            send("");
            break;
        }
        last_stop_ = args == "s" ? target_.step_back() : target_.continue_back();
        send(stop_reply(last_stop_));
        break;
    case 'D': send("OK"); return Flow::Detach;
    case 'k': return Flow::Kill;   // no reply is expected
    default: send(""); break;
    }
    return Flow::Continue;
}

std::string GdbServer::read_registers()
{
    std::string out;
    for (int i = 0; i < DebugTarget::kRegisters; ++i) out += rsp::hex32_le(target_.read_register(i));
    return out;
}

std::string GdbServer::write_registers(const std::string &args)
{
    if (args.size() != 8u * DebugTarget::kRegisters) return "E01";
    uint32_t values[DebugTarget::kRegisters];
    for (int i = 0; i < DebugTarget::kRegisters; ++i) {
        auto v = rsp::parse_hex32_le(std::string_view(args).substr(8 * i, 8));
        if (!v) return "E01";
        values[i] = *v;
    }
    for (int i = 0; i < DebugTarget::kRegisters; ++i) target_.write_register(i, values[i]);
    return "OK";
}

std::string GdbServer::read_register(const std::string &args)
{
    auto n = rsp::parse_hex32(args);
    if (!n || *n >= DebugTarget::kRegisters) return "E01";
    return rsp::hex32_le(target_.read_register(static_cast<int>(*n)));
}

std::string GdbServer::write_register(const std::string &args)
{
    size_t eq = args.find('=');
    if (eq == std::string::npos) return "E01";
    auto n = rsp::parse_hex32(std::string_view(args).substr(0, eq));
    auto v = rsp::parse_hex32_le(std::string_view(args).substr(eq + 1));
    if (!n || !v || *n >= DebugTarget::kRegisters) return "E01";
    target_.write_register(static_cast<int>(*n), *v);
    return "OK";
}

std::string GdbServer::read_memory(const std::string &args)
{
    uint32_t address, length;
    if (!split_address_length(args, address, length, nullptr)) return "E01";
    if (length > kMaxTransfer) length = kMaxTransfer;
    if (uint64_t(address) + length > 0x100000000ull) length = static_cast<uint32_t>(0x100000000ull - address);
    std::vector<uint8_t> buf(length);
    if (length == 0 || target_.read_memory(address, buf.data(), length)) return rsp::to_hex(buf.data(), length);
    // Part of the range answers: the protocol allows returning what could be read.
    uint32_t n = 0;
    while (n < length && target_.read_memory(address + n, &buf[n], 1)) ++n;
    if (n == 0) return "E02";
    return rsp::to_hex(buf.data(), n);
}

std::string GdbServer::write_memory(const std::string &args, bool binary)
{
    uint32_t address, length;
    std::string data;
    if (!split_address_length(args, address, length, &data)) return "E01";
    std::vector<uint8_t> bytes;
    if (binary) {
        bytes.assign(data.begin(), data.end());
    } else {
        auto parsed = rsp::parse_hex_bytes(data);
        if (!parsed) return "E01";
        bytes = std::move(*parsed);
    }
    if (bytes.size() != length) return "E01";
    if (length == 0) return "OK";
    return target_.write_memory(address, bytes.data(), length) ? "OK" : "E02";
}

std::string GdbServer::breakpoint(const std::string &p)
{
    // Z<type>,<address>,<kind>[;conditions]: conditions are not evaluated here.
    if (p.size() < 2 || p[1] < '0' || p[1] > '4' || (p.size() > 2 && p[2] != ',')) return "";
    std::string args = p.substr(std::min<size_t>(3, p.size()));
    size_t semi = args.find(';');
    if (semi != std::string::npos) args.resize(semi);
    uint32_t address, kind;
    if (!split_address_length(args, address, kind, nullptr)) return "E01";
    bool insert = p[0] == 'Z';
    bool ok;
    switch (p[1]) {
    case '0':
    case '1': {
        bool hw = p[1] == '1';
        ok = insert ? target_.set_breakpoint(address, hw) : target_.clear_breakpoint(address, hw);
        break;
    }
    default: {
        if (kind == 0) return "E01";
        WatchKind w = p[1] == '2' ? WatchKind::Write : p[1] == '3' ? WatchKind::Read : WatchKind::Access;
        ok = insert ? target_.set_watchpoint(address, kind, w) : target_.clear_watchpoint(address, kind, w);
        break;
    }
    }
    return ok ? "OK" : "E03";
}

std::string GdbServer::query(const std::string &p)
{
    if (starts_with(p, "qSupported"))
        return std::string("PacketSize=4000;qXfer:features:read+;QStartNoAckMode+;swbreak+;hwbreak+;vContSupported+") +
               (target_.can_reverse() ? ";ReverseStep+;ReverseContinue+" : "");
    if (starts_with(p, "qXfer:features:read:")) {
        std::string rest = p.substr(std::strlen("qXfer:features:read:"));
        size_t colon = rest.find(':');
        if (colon == std::string::npos) return "E01";
        if (rest.substr(0, colon) != "target.xml") return "E00";
        uint32_t offset, length;
        if (!split_address_length(rest.substr(colon + 1), offset, length, nullptr)) return "E01";
        const std::string &xml = target_xml();
        if (offset >= xml.size()) return "l";
        std::string chunk = xml.substr(offset, length);
        std::string reply = offset + chunk.size() >= xml.size() ? "l" : "m";
        return reply += chunk;
    }
    if (p == "qAttached") return "1";
    if (p == "qC") return "QC1";
    if (p == "qfThreadInfo") return "m1";
    if (p == "qsThreadInfo") return "l";
    if (starts_with(p, "qSymbol")) return "OK";
    if (starts_with(p, "qRcmd,")) {
        auto bytes = rsp::parse_hex_bytes(std::string_view(p).substr(6));
        if (!bytes) return "E01";
        std::string output;
        bool known = target_.monitor(std::string(bytes->begin(), bytes->end()), output);
        if (!output.empty()) {
            // Appended rather than "O" + hex: GCC 12 sees a false overlap (-Wrestrict) in the latter.
            std::string console = "O";
            console += rsp::to_hex(reinterpret_cast<const uint8_t *>(output.data()), output.size());
            send(console);
        }
        return known ? "OK" : "E02";
    }
    return "";
}

GdbServer::Flow GdbServer::vpacket(const std::string &p)
{
    if (p == "vCont?") {
        send("vCont;c;C;s;S");
        return Flow::Continue;
    }
    if (starts_with(p, "vCont;")) {
        // One thread: the first action is the one for it.
        char action = p.size() > 6 ? p[6] : 0;
        if (action == 's' || action == 'S') {
            resume(true);
        } else if (action == 'c' || action == 'C') {
            resume(false);
        } else if (action == 't') {
            last_stop_ = StopEvent{StopCause::Interrupt, WatchKind::Write, 0, 2};
            send(stop_reply(last_stop_));
        } else {
            send("E01");
        }
        return Flow::Continue;
    }
    if (starts_with(p, "vKill")) {
        send("OK");
        return Flow::Kill;
    }
    send("");
    return Flow::Continue;
}

}  // namespace simtools
