// The chip's boot monitor as its host sees it on the serial line: a model of
// the boot program's behaviour, not its code. It takes the host's bytes one
// at a time, answers through an output queue, and acts on the chip through a
// Target.
//
// The line starts in auto-baud: each 0x80 is answered with one byte and a
// '#' after them ends the handshake with the prompt "\n\r>". Commands are a
// letter, hexadecimal arguments and '#':
//   N  binary mode ("\n\r")            T  terminal mode (prompt)
//   V  version string                  G<addr>  run code at addr until it returns
//   O/H/W<addr>,<value>  write a byte, halfword, word
//   o/h/w<addr>[,<n>]    read one; raw little-endian in binary mode,
//                        "0x" and hex digits in terminal mode
//   S<addr>,<size>  XMODEM from the host into memory
//   R<addr>,<size>  XMODEM from memory to the host
// In terminal mode every command ends with the prompt; binary mode answers
// only reads, N, V and transfers. A command that is not one of these, or
// whose arguments are not hexadecimal, is ignored (in terminal mode the
// prompt follows). A line longer than any command is dropped up to its '#'.
// Carriage returns and line feeds between commands are ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "sim/samba/target.h"
#include "sim/samba/xmodem.h"

namespace samba {

class Monitor {
public:
    static constexpr size_t kMaxLine = 32;          // the longest command is 19 bytes
    static constexpr Picos kPicosPerSecond = 1'000'000'000'000;
    static constexpr Picos kXmodemTimeout = kPicosPerSecond;  // a quiet line during a transfer
    static constexpr int kXmodemTries = 10;         // then the transfer is abandoned
    static constexpr Picos kDefaultGoLimit = 2 * kPicosPerSecond;
    static constexpr unsigned kMaxReports = 100;    // then one notice, and silence
    static constexpr std::string_view kVersion = "v1.4 simulated boot monitor";

    explicit Monitor(Target &target, Picos go_limit = kDefaultGoLimit);

    // One byte, or several, from the host.
    void receive(uint8_t byte);
    void receive(std::string_view bytes);
    // The line has been quiet for `quiet` more virtual time (transfer timeouts).
    void elapse(Picos quiet);

    // Everything the monitor has sent since the last call.
    std::string take_output();
    bool has_output() const { return !out_.empty(); }

    enum class Phase { AutoBaud, Command, Receiving, Sending };
    Phase phase() const { return phase_; }
    bool binary() const { return binary_; }

    // Diagnostics: malformed commands, failed transfers, a go that did not
    // return; at most kMaxReports of them, so a noisy line cannot flood.
    using Reporter = std::function<void(const std::string &)>;
    void set_reporter(Reporter r) { reporter_ = std::move(r); }

private:
    struct Command;
    void command_byte(uint8_t byte);
    void execute(const std::string &line);
    void finished();                      // the prompt, in terminal mode
    void malformed(const std::string &line, const char *why);
    void report(const std::string &message);
    void send(std::string_view bytes) { out_.append(bytes); }
    void send(uint8_t byte) { out_.push_back(static_cast<char>(byte)); }

    void start_receive(uint32_t address, uint32_t size);
    void receive_byte(uint8_t byte);
    void receive_block();
    void reject_block(const char *why);
    void start_send(uint32_t address, uint32_t size);
    void send_byte(uint8_t byte);
    void send_block();
    void retry_send(const char *why);
    void end_transfer(bool complete, const std::string &why);

    void write_memory(uint32_t address, const uint8_t *data, size_t length);
    void read_memory(uint32_t address, uint8_t *data, size_t length);

    Target &target_;
    Picos go_limit_;
    Reporter reporter_;
    unsigned reports_ = 0;
    std::string out_;
    Phase phase_ = Phase::AutoBaud;
    bool binary_ = false;
    bool synced_ = false;            // an auto-baud byte has been seen
    std::string line_;
    bool overflow_ = false;

    // The transfer under way.
    enum class Await { Start, Ack, EotAck };
    uint32_t xfer_address_ = 0;
    uint32_t xfer_left_ = 0;         // bytes not yet written (S) or acknowledged (R)
    uint8_t block_number_ = 1;       // the block expected (S) or in flight (R)
    xmodem::Block block_{};
    size_t filled_ = 0;              // bytes of a block received so far (S)
    bool started_ = false;           // a block has arrived (S)
    uint32_t accepted_ = 0;          // blocks written (S)
    Await await_ = Await::Start;     // (R)
    int tries_ = 0;
    Picos quiet_ = 0;
};

}  // namespace samba
