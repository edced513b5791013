// The debug unit's serial line brought out to the host: a new
// pseudo-terminal (whose path the caller prints), or this process's standard
// input and output for headless runs. Characters the chip sends are written
// out as their stop bit ends. Characters from the host are held, as a
// terminal holds what was typed, until the chip's receiver samples the line
// (enabled, baud clock on, PA9 given to the DBGU), then handed over at the
// baud rate the firmware set, no faster: every millisecond of virtual time
// the line takes what it carries in that time. The link holds at most
// kHostBuffer bytes and reads the host only as they go, so a host that
// writes faster than the line is paced by its own full buffer (a pty or a
// pipe blocks the writer), and endless input (/dev/zero) costs nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "board/board.h"
#include "sim/machine/input_log.h"

namespace sim {

class SerialLink {
public:
    enum class Kind { Pty, Stdio, Replay };
    static constexpr board::Picos kPollInterval = board::kPicosPerMs;
    static constexpr size_t kHostBuffer = 4096;

    // nullptr with `error` when the pseudo-terminal cannot be made.
    static std::unique_ptr<SerialLink> open(Kind kind, board::Board &board, std::string &error);
    ~SerialLink();
    SerialLink(const SerialLink &) = delete;
    SerialLink &operator=(const SerialLink &) = delete;

    // The pseudo-terminal's path ("" for standard input and output).
    const std::string &path() const { return path_; }

    // A character from the chip.
    void send(uint8_t c);
    // Starts reading the host side on the virtual clock; again after every
    // power-on (which clears the clock's events).
    void start();
    // Bytes read from the host that the chip has not been handed yet.
    size_t held() const { return to_chip_.size(); }
    // Where the host's bytes are noted as they arrive.
    void record_to(InputLog *log) { log_ = log; }
    // While `in_past` says the run is going over its own past again
    // (history.h), the host's bytes are the ones the log holds for each
    // poll, the host is not read, and what the chip sends is not sent again.
    void set_past(std::function<bool()> in_past) { in_past_ = std::move(in_past); }
    // Replay: the host's bytes of a recording (LineBytes), in order.
    void replay(std::vector<InputEvent> bytes)
    {
        replayed_ = std::move(bytes);
        next_replayed_ = 0;
    }

private:
    explicit SerialLink(board::Board &board);
    void poll();
    void flush_out();
    void read_host();
    void read_fd();
    void feed_chip();

    board::Board &board_;
    Kind kind_ = Kind::Stdio;
    std::string path_;
    int in_fd_ = -1, out_fd_ = -1;
    int slave_fd_ = -1;   // kept open so that nothing sent is lost before a client opens the terminal
    bool in_open_ = true;
    std::string pending_out_;
    std::string to_chip_;
    board::Clock::EventId event_ = 0;
    InputLog *log_ = nullptr;
    std::function<bool()> in_past_;
    std::vector<InputEvent> replayed_;
    size_t next_replayed_ = 0;
    // Both buffers and the poll, for snapshots (attached to the board): a
    // restored run hands the chip what the host had sent, and the host what
    // the chip had sent, as the saved run would have.
    board::State declared_{"serial link"};
};

}  // namespace sim
