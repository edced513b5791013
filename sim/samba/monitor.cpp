#include "sim/samba/monitor.h"

#include <algorithm>
#include <cstdio>

namespace samba {

namespace {

constexpr uint8_t kAutoBaud = 0x80;
constexpr std::string_view kPrompt = "\n\r>";
constexpr std::string_view kNewLine = "\n\r";

std::string hex(uint32_t value, int digits = 8)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// The line as it can be shown in a diagnostic: control bytes as \xNN.
std::string printable(const std::string &line)
{
    std::string shown;
    for (unsigned char c : line) {
        if (c >= 0x20 && c < 0x7F) {
            shown.push_back(static_cast<char>(c));
        } else {
            char text[8];
            std::snprintf(text, sizeof text, "\\x%02X", c);
            shown += text;
        }
    }
    return shown;
}

bool parse_hex(std::string_view text, uint32_t &value)
{
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

unsigned access_size(char letter)
{
    switch (letter) {
    case 'o': case 'O': return 1;
    case 'h': case 'H': return 2;
    default: return 4;
    }
}

}  // namespace

// A command line split into its letter and up to two arguments.
struct Monitor::Command {
    char letter = 0;
    uint32_t first = 0, second = 0;
    int arguments = 0;
    bool well_formed = true;

    explicit Command(const std::string &line)
    {
        letter = line[0];
        std::string_view args = std::string_view(line).substr(1);
        if (args.empty())
            return;
        size_t comma = args.find(',');
        well_formed = parse_hex(args.substr(0, comma), first);
        arguments = 1;
        if (comma != std::string_view::npos) {
            well_formed = well_formed && parse_hex(args.substr(comma + 1), second);
            arguments = 2;
        }
    }
};

Monitor::Monitor(Target &target, Picos go_limit) : target_(target), go_limit_(go_limit) {}

std::string Monitor::take_output()
{
    std::string taken;
    taken.swap(out_);
    return taken;
}

void Monitor::receive(std::string_view bytes)
{
    for (char c : bytes)
        receive(static_cast<uint8_t>(c));
}

void Monitor::receive(uint8_t byte)
{
    switch (phase_) {
    case Phase::AutoBaud:
        // The boot program measures the 0x80 to find the host's rate and
        // answers; a '#' then ends the handshake with its first prompt.
        if (byte == kAutoBaud) {
            send(kAutoBaud);
            synced_ = true;
        } else if (byte == '#' && synced_) {
            send(kPrompt);
            phase_ = Phase::Command;
        }
        return;
    case Phase::Command:
        command_byte(byte);
        return;
    case Phase::Receiving:
        quiet_ = 0;
        receive_byte(byte);
        return;
    case Phase::Sending:
        quiet_ = 0;
        send_byte(byte);
        return;
    }
}

void Monitor::command_byte(uint8_t byte)
{
    if (byte == '#') {
        std::string line;
        line.swap(line_);
        bool overflow = overflow_;
        overflow_ = false;
        if (overflow)
            malformed(line, "longer than any command");
        else if (line.empty())
            send(kPrompt);
        else
            execute(line);
        return;
    }
    if (line_.empty() && !overflow_ && byte == kAutoBaud) {
        // A host that connects again repeats the handshake.
        send(kAutoBaud);
        return;
    }
    if (byte == '\r' || byte == '\n')
        return;
    if (line_.size() < kMaxLine)
        line_.push_back(static_cast<char>(byte));
    else
        overflow_ = true;
}

void Monitor::execute(const std::string &line)
{
    Command c(line);
    if (!c.well_formed)
        return malformed(line, "arguments are not hexadecimal numbers");
    switch (c.letter) {
    case 'N':
        binary_ = true;
        send(kNewLine);
        return;
    case 'T':
        binary_ = false;
        return finished();
    case 'V':
        if (!binary_) send(kNewLine);
        send(kVersion);
        send(kNewLine);
        return finished();
    case 'O': case 'H': case 'W':
        if (c.arguments < 2)
            return malformed(line, "needs an address and a value");
        target_.write(c.first, access_size(c.letter), c.second);
        return finished();
    case 'o': case 'h': case 'w': {
        if (c.arguments < 1)
            return malformed(line, "needs an address");
        unsigned size = access_size(c.letter);
        uint32_t value = target_.read(c.first, size);
        if (binary_) {
            for (unsigned i = 0; i < size; ++i)
                send(static_cast<uint8_t>(value >> (8 * i)));
        } else {
            send(kNewLine);
            send(hex(value, static_cast<int>(2 * size)));
        }
        return finished();
    }
    case 'S':
        if (c.arguments < 2)
            return malformed(line, "needs an address and a size");
        return start_receive(c.first, c.second);
    case 'R':
        if (c.arguments < 2)
            return malformed(line, "needs an address and a size");
        return start_send(c.first, c.second);
    case 'G': {
        if (c.arguments < 1)
            return malformed(line, "needs an address");
        GoOutcome outcome = target_.go(c.first, go_limit_);
        if (!outcome.returned)
            report("G " + hex(c.first) + ": the code did not return to the monitor within " +
                   std::to_string(go_limit_ / (kPicosPerSecond / 1000)) + " ms of virtual time (" +
                   outcome.detail + "); the monitor took the core back");
        return finished();
    }
    default:
        return malformed(line, "unknown command");
    }
}

void Monitor::finished()
{
    if (!binary_)
        send(kPrompt);
}

void Monitor::malformed(const std::string &line, const char *why)
{
    report("ignored \"" + printable(line) + "#\": " + why);
    finished();
}

void Monitor::report(const std::string &message)
{
    if (!reporter_ || reports_ > kMaxReports)
        return;
    if (++reports_ > kMaxReports)
        reporter_("further diagnostics of the boot monitor are not reported");
    else
        reporter_(message);
}

// ---- S: XMODEM from the host ----

void Monitor::start_receive(uint32_t address, uint32_t size)
{
    phase_ = Phase::Receiving;
    xfer_address_ = address;
    xfer_left_ = size;
    block_number_ = 1;
    filled_ = 0;
    started_ = false;
    accepted_ = 0;
    tries_ = 0;
    quiet_ = 0;
    send(xmodem::kCrcRequest);
}

void Monitor::receive_byte(uint8_t byte)
{
    if (filled_ == 0) {
        switch (byte) {
        case xmodem::kSoh:
            block_[filled_++] = byte;
            return;
        case xmodem::kEot:
            send(xmodem::kAck);
            return end_transfer(xfer_left_ == 0, std::to_string(xfer_left_) + " bytes were not sent");
        case xmodem::kCan:
            return end_transfer(false, "the host cancelled");
        default:
            return;   // noise between blocks
        }
    }
    block_[filled_++] = byte;
    if (filled_ == xmodem::kBlock)
        receive_block();
}

void Monitor::receive_block()
{
    filled_ = 0;
    started_ = true;
    switch (xmodem::check_block(block_)) {
    case xmodem::Check::BadHeader:
        return reject_block("bad block header");
    case xmodem::Check::BadCrc:
        return reject_block("bad CRC");
    case xmodem::Check::Good:
        break;
    }
    uint8_t number = block_[1];
    if (accepted_ > 0 && number == static_cast<uint8_t>(block_number_ - 1)) {
        send(xmodem::kAck);   // our acknowledgement was lost; the data is already written
        return;
    }
    if (number != block_number_) {
        send(xmodem::kCan);
        send(xmodem::kCan);
        return end_transfer(false, "block " + std::to_string(number) + " out of sequence");
    }
    uint32_t take = std::min<uint32_t>(xfer_left_, xmodem::kData);
    write_memory(xfer_address_, block_.data() + 3, take);
    xfer_address_ += take;
    xfer_left_ -= take;
    ++block_number_;
    ++accepted_;
    tries_ = 0;
    send(xmodem::kAck);
}

void Monitor::reject_block(const char *why)
{
    if (++tries_ >= kXmodemTries) {
        send(xmodem::kCan);
        send(xmodem::kCan);
        return end_transfer(false, std::string("block ") + std::to_string(block_number_) + ": " + why +
                                       ", " + std::to_string(kXmodemTries) + " times");
    }
    send(xmodem::kNak);
}

// ---- R: XMODEM to the host ----

void Monitor::start_send(uint32_t address, uint32_t size)
{
    phase_ = Phase::Sending;
    xfer_address_ = address;
    xfer_left_ = size;
    block_number_ = 1;
    await_ = Await::Start;
    tries_ = 0;
    quiet_ = 0;
}

void Monitor::send_byte(uint8_t byte)
{
    if (byte == xmodem::kCan)
        return end_transfer(false, "the host cancelled");
    switch (await_) {
    case Await::Start:
        if (byte == xmodem::kCrcRequest)
            send_block();
        return;
    case Await::Ack:
        if (byte == xmodem::kAck) {
            uint32_t sent = std::min<uint32_t>(xfer_left_, xmodem::kData);
            xfer_address_ += sent;
            xfer_left_ -= sent;
            ++block_number_;
            tries_ = 0;
            send_block();
        } else if (byte == xmodem::kNak || byte == xmodem::kCrcRequest) {
            retry_send("refused");
        }
        return;
    case Await::EotAck:
        if (byte == xmodem::kAck)
            end_transfer(true, "");
        else if (byte == xmodem::kNak)
            retry_send("end refused");
        return;
    }
}

void Monitor::send_block()
{
    if (xfer_left_ == 0) {
        await_ = Await::EotAck;
        send(xmodem::kEot);
        return;
    }
    uint8_t data[xmodem::kData] = {};
    read_memory(xfer_address_, data, std::min<uint32_t>(xfer_left_, xmodem::kData));
    block_ = xmodem::make_block(block_number_, data);
    await_ = Await::Ack;
    send(std::string_view(reinterpret_cast<const char *>(block_.data()), block_.size()));
}

void Monitor::retry_send(const char *why)
{
    if (++tries_ >= kXmodemTries)
        return end_transfer(false, std::string("block ") + std::to_string(block_number_) + " " + why + " " +
                                       std::to_string(kXmodemTries) + " times");
    if (await_ == Await::EotAck)
        send(xmodem::kEot);
    else
        send(std::string_view(reinterpret_cast<const char *>(block_.data()), block_.size()));
}

// ---- both ----

void Monitor::elapse(Picos quiet)
{
    if (phase_ != Phase::Receiving && phase_ != Phase::Sending)
        return;
    quiet_ += quiet;
    while (quiet_ >= kXmodemTimeout && (phase_ == Phase::Receiving || phase_ == Phase::Sending)) {
        quiet_ -= kXmodemTimeout;
        if (phase_ == Phase::Sending) {
            if (await_ == Await::Start) {
                if (++tries_ >= kXmodemTries)
                    end_transfer(false, "the host never asked for the data");
            } else {
                retry_send("not acknowledged");
            }
        } else if (filled_ > 0) {
            // The rest of a block never came: a short block.
            filled_ = 0;
            reject_block("short block");
        } else if (!started_) {
            if (++tries_ >= kXmodemTries)
                end_transfer(false, "the host never started");
            else
                send(xmodem::kCrcRequest);
        } else {
            reject_block("no next block");
        }
    }
}

void Monitor::end_transfer(bool complete, const std::string &why)
{
    if (!complete)
        report(std::string(phase_ == Phase::Receiving ? "S" : "R") + " transfer abandoned at " +
               hex(xfer_address_) + ": " + why);
    phase_ = Phase::Command;
    filled_ = 0;
    quiet_ = 0;
    finished();
}

void Monitor::write_memory(uint32_t address, const uint8_t *data, size_t length)
{
    // Words where the address allows (the flash's page latch takes only
    // words), bytes at unaligned ends.
    size_t i = 0;
    while (i < length) {
        uint32_t at = address + static_cast<uint32_t>(i);
        if (at % 4 == 0 && length - i >= 4) {
            uint32_t word = data[i] | data[i + 1] << 8 | data[i + 2] << 16 | static_cast<uint32_t>(data[i + 3]) << 24;
            target_.write(at, 4, word);
            i += 4;
        } else {
            target_.write(at, 1, data[i]);
            i += 1;
        }
    }
}

void Monitor::read_memory(uint32_t address, uint8_t *data, size_t length)
{
    size_t i = 0;
    while (i < length) {
        uint32_t at = address + static_cast<uint32_t>(i);
        if (at % 4 == 0 && length - i >= 4) {
            uint32_t word = target_.read(at, 4);
            for (int k = 0; k < 4; ++k)
                data[i + k] = static_cast<uint8_t>(word >> (8 * k));
            i += 4;
        } else {
            data[i] = static_cast<uint8_t>(target_.read(at, 1));
            i += 1;
        }
    }
}

}  // namespace samba
