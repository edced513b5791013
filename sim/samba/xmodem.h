// XMODEM-CRC framing as the boot monitor speaks it on the serial line:
// 128-byte blocks, SOH, block number and its complement, the data, and
// CRC-16/XMODEM (polynomial 0x1021, initial value 0) high byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace samba::xmodem {

constexpr uint8_t kSoh = 0x01, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18, kCrcRequest = 'C';
constexpr size_t kData = 128;
constexpr size_t kBlock = 3 + kData + 2;

using Block = std::array<uint8_t, kBlock>;

uint16_t crc16(std::span<const uint8_t> bytes);

// A block carrying `data` (at most 128 bytes; the rest zero).
Block make_block(uint8_t number, std::span<const uint8_t> data);

enum class Check { Good, BadHeader, BadCrc };
// Whether a complete block is well formed (its number is the caller's business).
Check check_block(const Block &block);

}  // namespace samba::xmodem
