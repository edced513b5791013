// A bare GDB protocol client on a loopback socket, for driving the server
// the way a debugger does, byte for byte.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "sim/tools/rsp_framing.h"

namespace testing_support {

class RspClient {
public:
    explicit RspClient(uint16_t port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~RspClient() { close(); }
    void close()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }

    void raw(const std::string &bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void send(const std::string &payload) { raw(simtools::rsp::frame(payload)); }

    // Next byte, or -1 after the timeout or when the server closed.
    int byte(int timeout_ms = 5000)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return -1;
        unsigned char c;
        return ::recv(fd_, &c, 1, 0) == 1 ? c : -1;
    }

    // The next packet's payload, acknowledged; skips acks. "<timeout>" if none.
    std::string reply(int timeout_ms = 5000)
    {
        int c;
        while ((c = byte(timeout_ms)) != '$') {
            if (c < 0) return "<timeout>";
            last_ack_ = static_cast<char>(c);
        }
        simtools::rsp::Reader r;
        r.feed('$');
        while ((c = byte(timeout_ms)) >= 0) {
            auto ev = r.feed(static_cast<uint8_t>(c));
            if (!ev) continue;
            if (ev->kind != simtools::rsp::Reader::Event::Packet) return "<bad checksum>";
            raw("+");
            return ev->data;
        }
        return "<timeout>";
    }
    std::string ask(const std::string &payload)
    {
        send(payload);
        return reply();
    }
    char last_ack() const { return last_ack_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    char last_ack_ = 0;
};

}  // namespace testing_support
