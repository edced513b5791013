// The debug unit's serial line brought out to the host: a new
// pseudo-terminal (whose path the caller prints), or this process's standard
// input and output for headless runs. Characters the chip sends are written
// out as their stop bit ends; characters from the host are read every
// millisecond of virtual time and handed to the debug unit, which receives
// them at the baud rate the firmware set. The host side has no baud rate of
// its own: a pseudo-terminal carries bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "board/board.h"

namespace sim {

class SerialLink {
public:
    enum class Kind { Pty, Stdio };
    static constexpr board::Picos kPollInterval = board::kPicosPerMs;

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

private:
    SerialLink(board::Board &board) : board_(board) {}
    void poll();
    void flush_out();

    board::Board &board_;
    Kind kind_ = Kind::Stdio;
    std::string path_;
    int in_fd_ = -1, out_fd_ = -1;
    int slave_fd_ = -1;   // kept open so that nothing sent is lost before a client opens the terminal
    bool in_open_ = true;
    std::string pending_out_;
    board::Clock::EventId event_ = 0;
};

}  // namespace sim
