// OpenOCD's remote_bitbang protocol on a TCP port of 127.0.0.1: one ASCII
// byte per action from the adapter.
//   '0'..'7'  TCK, TMS, TDI = bits 2, 1, 0 of the digit
//   'R'       read TDO: answered with '0' or '1'
//   'r' 's' 't' 'u'  nTRST and nSRST: neither asserted, nSRST, nTRST, both
//   'B' 'b'   the adapter's LED on, off (nothing to do)
//   'Q'       the adapter quits: the connection ends
// Line ends and spaces are ignored. Any other byte is ignored and reported
// (once per connection, with how many there were at its end): later
// versions of the protocol add commands a JTAG-only port need not serve.
// One client at a time; a second is turned away (reported), the first
// keeps its connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace jtag {

class RemoteBitbang {
public:
    struct Port {
        std::function<void(bool tck, bool tms, bool tdi)> pins;
        std::function<bool()> tdo;
        std::function<void(bool trst, bool srst)> resets;
        std::function<void(const std::string &)> report;
        // Where the TAP is, for the report of a connection that ends.
        std::function<std::string()> tap_state;
        // False: stop acting on bytes for now (the port's time is ahead of
        // the chip's); they are kept for the next serve().
        std::function<bool()> ready;
    };

    explicit RemoteBitbang(Port port) : port_(std::move(port)) {}
    ~RemoteBitbang();
    RemoteBitbang(const RemoteBitbang &) = delete;
    RemoteBitbang &operator=(const RemoteBitbang &) = delete;

    // Port 0: any free port. False with `error` when it cannot be opened.
    bool listen(uint16_t port, std::string &error);
    uint16_t port() const { return bound_; }
    bool connected() const { return client_ >= 0; }

    // Takes a waiting connection, then acts on the bytes that have arrived
    // while the port is ready. Returns how many were handled.
    size_t serve();
    // Bytes received and not acted on yet.
    bool pending() const { return next_ < input_.size(); }
    // Waits up to `us` microseconds for bytes (or a connection).
    void wait_readable(int us);
    // Acts on bytes as if they had arrived (for tests); answers go to `answers`.
    void feed(const std::string &bytes, std::string &answers);

private:
    void accept_waiting();
    void act(char c, std::string &answers);
    void end_connection(const std::string &why);
    void send(const std::string &answers);

    Port port_;
    int listener_ = -1, client_ = -1;
    uint16_t bound_ = 0;
    size_t unknown_ = 0;
    std::string input_;
    size_t next_ = 0;
};

}  // namespace jtag
