// Framing of the GDB remote serial protocol: "$data#cc" packets with a
// two-digit checksum, '+'/'-' acknowledgements, the 0x03 interrupt byte, and
// the '}' escape of binary data. Pure functions and a byte-at-a-time reader,
// so the server's socket code stays small and the framing is testable alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simtools::rsp {

uint8_t checksum(std::string_view data);
// "$" + data (with '#', '$', '}' and '*' escaped) + "#" + checksum.
std::string frame(std::string_view data);
std::string escape_binary(std::string_view data);

std::string to_hex(const uint8_t *bytes, size_t n);
std::string hex32_le(uint32_t value);   // a register as the protocol sends it
// Strict parsers: any character that is not a hexadecimal digit (or an empty
// field) fails, so a malformed packet gets an error reply.
std::optional<uint32_t> parse_hex32(std::string_view text);
std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view text);
std::optional<uint32_t> parse_hex32_le(std::string_view text);

class Reader {
public:
    struct Event {
        enum Kind { Packet, BadChecksum, Interrupt, Ack, Nak } kind;
        std::string data;   // Packet: the payload, escapes undone
    };
    static constexpr size_t kMaxPacket = 0x4000;

    // Feeds one received byte; returns an event when one is complete. Noise
    // between packets is ignored; an over-long packet is dropped and
    // reported as a bad checksum (the peer then resends or gives up).
    std::optional<Event> feed(uint8_t byte);

private:
    enum State { Idle, Data, Escape, Sum1, Sum2 } state_ = Idle;
    std::string data_;
    uint8_t sum_ = 0;
    uint8_t received_sum_ = 0;
    bool overflow_ = false;
};

}  // namespace simtools::rsp
