#include "sim/jtag/remote_bitbang.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace jtag {

RemoteBitbang::~RemoteBitbang()
{
    if (client_ >= 0) close(client_);
    if (listener_ >= 0) close(listener_);
}

bool RemoteBitbang::listen(uint16_t port, std::string &error)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(listener_, 2) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t n = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &n);
    bound_ = ntohs(a.sin_port);
    return true;
}

void RemoteBitbang::accept_waiting()
{
    for (;;) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (client_ >= 0) {
            close(fd);
            port_.report("a second JTAG client was turned away: one is connected");
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        client_ = fd;
        unknown_ = 0;
        port_.report("JTAG client connected");
    }
}

void RemoteBitbang::end_connection(const std::string &why)
{
    close(client_);
    client_ = -1;
    if (unknown_) port_.report(std::to_string(unknown_) + " unknown bytes were ignored on that connection");
    port_.report(why);
}

void RemoteBitbang::wait_readable(int us)
{
    if (listener_ < 0 || us <= 0) return;
    pollfd p{client_ >= 0 ? client_ : listener_, POLLIN, 0};
    timespec t{us / 1000000, (us % 1000000) * 1000L};
    ppoll(&p, 1, &t, nullptr);
}

size_t RemoteBitbang::serve()
{
    if (listener_ < 0) return 0;
    accept_waiting();
    if (client_ < 0) return 0;
    char buf[4096];
    for (;;) {
        ssize_t n = read(client_, buf, sizeof buf);
        if (n > 0) {
            input_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            // What came before the end is still acted on.
            std::string answers;
            while (pending()) act(input_[next_++], answers);
            input_.clear();
            next_ = 0;
            if (client_ >= 0)
                end_connection(n == 0 ? "JTAG client disconnected (TAP in " + port_.tap_state() + "); the board runs on"
                                  : std::string("JTAG connection failed: ") + std::strerror(errno));
            return 0;
        }
        break;
    }
    std::string answers;
    size_t handled = 0;
    while (client_ >= 0 && pending() && port_.ready()) {
        act(input_[next_++], answers);
        ++handled;
    }
    if (next_ == input_.size() || next_ > (1u << 16)) {
        input_.erase(0, next_);
        next_ = 0;
    }
    send(answers);
    return handled;
}

void RemoteBitbang::send(const std::string &answers)
{
    size_t done = 0;
    while (client_ >= 0 && done < answers.size()) {
        ssize_t w = write(client_, answers.data() + done, answers.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{client_, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0) continue;
        }
        end_connection("JTAG client stopped reading its answers");
    }
}

void RemoteBitbang::feed(const std::string &bytes, std::string &answers)
{
    for (char c : bytes)
        act(c, answers);
}

void RemoteBitbang::act(char c, std::string &answers)
{
    if (client_ < 0 && listener_ >= 0) return;
    if (c >= '0' && c <= '7') {
        int v = c - '0';
        port_.pins(v & 4, v & 2, v & 1);
        return;
    }
    switch (c) {
    case 'R':
        answers.push_back(port_.tdo() ? '1' : '0');
        return;
    case 'r': port_.resets(false, false); return;
    case 's': port_.resets(false, true); return;
    case 't': port_.resets(true, false); return;
    case 'u': port_.resets(true, true); return;
    case 'B':
    case 'b':
    case '\n':
    case '\r':
    case ' ': return;
    case 'Q':
        if (client_ >= 0) {
            send(answers);
            answers.clear();
            input_.clear();
            next_ = 0;
            end_connection("JTAG client quit");
        }
        return;
    default:
        if (unknown_++ == 0) {
            char what[96];
            std::snprintf(what, sizeof what, "JTAG client sent an unknown byte 0x%02x: ignored", static_cast<unsigned char>(c));
            port_.report(what);
        }
        return;
    }
}

}  // namespace jtag
