#include "sim/machine/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

std::unique_ptr<SerialLink> SerialLink::open(Kind kind, board::Board &board, std::string &error)
{
    std::unique_ptr<SerialLink> link(new SerialLink(board));
    link->kind_ = kind;
    if (kind == Kind::Replay)
        return link;
    if (kind == Kind::Stdio) {
        link->in_fd_ = STDIN_FILENO;
        link->out_fd_ = STDOUT_FILENO;
        return link;
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = std::string("--serial pty: cannot make a pseudo-terminal: ") + strerror(errno);
        if (master >= 0)
            close(master);
        return nullptr;
    }
    const char *name = ptsname(master);
    int slave = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
    if (slave < 0) {
        error = std::string("--serial pty: cannot open the pseudo-terminal's other end: ") + strerror(errno);
        close(master);
        return nullptr;
    }
    // Raw bytes both ways, as a serial port gives them: no echo, no line
    // editing, no newline translation.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    link->path_ = name;
    link->in_fd_ = link->out_fd_ = master;
    link->slave_fd_ = slave;
    return link;
}

SerialLink::SerialLink(board::Board &board) : board_(board)
{
    declared_.field("to the chip", to_chip_)
        .field("to the host", pending_out_)
        .event(board_.clock, event_, "serial link", {{"host poll", [this] { poll(); }}});
    board_.attach_state(declared_);
}

SerialLink::~SerialLink()
{
    board_.clock.cancel(event_);
    flush_out();
    if (kind_ == Kind::Pty) {
        close(in_fd_);
        close(slave_fd_);
    }
}

void SerialLink::send(uint8_t c)
{
    if (out_fd_ < 0 || (in_past_ && in_past_()))
        return;   // a replay: nobody listens (or heard it the first time)
    pending_out_.push_back(static_cast<char>(c));
    flush_out();
}

void SerialLink::flush_out()
{
    while (!pending_out_.empty()) {
        ssize_t n = write(out_fd_, pending_out_.data(), pending_out_.size());
        if (n <= 0)
            break;   // full (nobody reads the terminal): kept for the next try
        pending_out_.erase(0, static_cast<size_t>(n));
    }
    // Without a reader a terminal's buffer fills; past this the oldest go.
    constexpr size_t kMaxPending = 1 << 20;
    if (pending_out_.size() > kMaxPending)
        pending_out_.erase(0, pending_out_.size() - kMaxPending);
}

void SerialLink::start()
{
    board_.clock.cancel(event_);
    event_ = board_.clock.schedule_in({"serial link", "host poll"}, kPollInterval, [this] { poll(); });
}

void SerialLink::poll()
{
    event_ = 0;
    flush_out();
    read_host();
    feed_chip();
    event_ = board_.clock.schedule_in({"serial link", "host poll"}, kPollInterval, [this] { poll(); });
}

void SerialLink::read_host()
{
    if (in_past_ && log_ && in_past_()) {
        const auto &events = log_->events();
        uint64_t now = board_.clock.cycles();
        auto from = std::lower_bound(events.begin(), events.end(), now,
                                     [](const InputEvent &e, uint64_t c) { return e.cycle < c; });
        for (; from != events.end() && from->cycle == now; ++from)
            if (from->on_line())
                to_chip_ += from->bytes;
        return;
    }
    if (kind_ == Kind::Replay) {
        for (; next_replayed_ < replayed_.size() && replayed_[next_replayed_].cycle <= board_.clock.cycles(); ++next_replayed_)
            to_chip_ += replayed_[next_replayed_].bytes;
        return;
    }
    size_t before = to_chip_.size();
    read_fd();
    if (log_ && to_chip_.size() > before) {
        InputEvent e;
        e.kind = InputEvent::Kind::LineBytes;
        e.cycle = board_.clock.cycles();
        e.bytes = to_chip_.substr(before);
        log_->add(std::move(e));
    }
}

void SerialLink::read_fd()
{
    while (in_open_ && to_chip_.size() < kHostBuffer) {
        pollfd p{in_fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP)))
            return;
        char buf[kHostBuffer];
        ssize_t n = read(in_fd_, buf, kHostBuffer - to_chip_.size());
        if (n > 0) {
            to_chip_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 && kind_ == Kind::Stdio)
            in_open_ = false;   // end of standard input: nothing more will come
        return;
    }
}

void SerialLink::feed_chip()
{
    board::Dbgu &dbgu = board_.dbgu;
    if (to_chip_.empty() || !dbgu.receiving())
        return;
    // What the line carries until the next poll, and one more so that it
    // never idles between polls; the debug unit spaces them a frame apart.
    board::Picos frame = std::max<board::Picos>(dbgu.char_time(), 1);
    size_t per_poll = static_cast<size_t>(kPollInterval / frame) + 1;
    if (dbgu.host_backlog() >= per_poll)
        return;
    size_t n = std::min(per_poll - dbgu.host_backlog(), to_chip_.size());
    dbgu.receive_from_host(to_chip_.substr(0, n));
    to_chip_.erase(0, n);
}

}  // namespace sim
