#include "sim/tools/rsp_framing.h"

namespace simtools::rsp {

namespace {
constexpr char kDigits[] = "0123456789abcdef";

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

uint8_t checksum(std::string_view data)
{
    uint8_t sum = 0;
    for (char c : data) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return sum;
}

std::string escape_binary(std::string_view data)
{
    std::string out;
    out.reserve(data.size());
    for (char c : data) {
        if (c == '#' || c == '$' || c == '}' || c == '*') {
            out += '}';
            out += static_cast<char>(c ^ 0x20);
        } else {
            out += c;
        }
    }
    return out;
}

std::string frame(std::string_view data)
{
    std::string body = escape_binary(data);
    uint8_t sum = checksum(body);
    std::string out = "$" + body + "#";
    out += kDigits[sum >> 4];
    out += kDigits[sum & 15];
    return out;
}

std::string to_hex(const uint8_t *bytes, size_t n)
{
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

std::string hex32_le(uint32_t value)
{
    uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    return to_hex(b, 4);
}

std::optional<uint32_t> parse_hex32(std::string_view text)
{
    if (text.empty() || text.size() > 8) return std::nullopt;
    uint32_t v = 0;
    for (char c : text) {
        int d = hex_value(c);
        if (d < 0) return std::nullopt;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view text)
{
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(text[2 * i]);
        int lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return out;
}

std::optional<uint32_t> parse_hex32_le(std::string_view text)
{
    if (text.size() != 8) return std::nullopt;
    auto bytes = parse_hex_bytes(text);
    if (!bytes) return std::nullopt;
    const auto &b = *bytes;
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

std::optional<Reader::Event> Reader::feed(uint8_t byte)
{
    char c = static_cast<char>(byte);
    switch (state_) {
    case Idle:
        if (c == '$') {
            state_ = Data;
            data_.clear();
            sum_ = 0;
            overflow_ = false;
        } else if (byte == 0x03) {
            return Event{Event::Interrupt, {}};
        } else if (c == '+') {
            return Event{Event::Ack, {}};
        } else if (c == '-') {
            return Event{Event::Nak, {}};
        }
        return std::nullopt;
    case Data:
    case Escape:
        if (state_ == Data && c == '#') {
            state_ = Sum1;
            return std::nullopt;
        }
        if (state_ == Data && c == '$') {   // a new start: the previous packet was cut off
            data_.clear();
            sum_ = 0;
            overflow_ = false;
            return std::nullopt;
        }
        sum_ = static_cast<uint8_t>(sum_ + byte);
        if (state_ == Data && c == '}') {
            state_ = Escape;
            return std::nullopt;
        }
        if (data_.size() >= kMaxPacket) {
            overflow_ = true;
        } else {
            data_ += state_ == Escape ? static_cast<char>(c ^ 0x20) : c;
        }
        state_ = Data;
        return std::nullopt;
    case Sum1:
    case Sum2: {
        int d = hex_value(c);
        if (d < 0) {
            state_ = Idle;
            return Event{Event::BadChecksum, {}};
        }
        if (state_ == Sum1) {
            received_sum_ = static_cast<uint8_t>(d << 4);
            state_ = Sum2;
            return std::nullopt;
        }
        received_sum_ = static_cast<uint8_t>(received_sum_ | d);
        state_ = Idle;
        if (overflow_ || received_sum_ != sum_) return Event{Event::BadChecksum, {}};
        return Event{Event::Packet, std::move(data_)};
    }
    }
    return std::nullopt;
}

}  // namespace simtools::rsp
