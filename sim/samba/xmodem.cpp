#include "sim/samba/xmodem.h"

#include <algorithm>

namespace samba::xmodem {

uint16_t crc16(std::span<const uint8_t> bytes)
{
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Block make_block(uint8_t number, std::span<const uint8_t> data)
{
    Block block{};
    block[0] = kSoh;
    block[1] = number;
    block[2] = static_cast<uint8_t>(~number);
    std::copy_n(data.begin(), std::min(data.size(), kData), block.begin() + 3);
    uint16_t crc = crc16(std::span(block).subspan(3, kData));
    block[3 + kData] = static_cast<uint8_t>(crc >> 8);
    block[4 + kData] = static_cast<uint8_t>(crc);
    return block;
}

Check check_block(const Block &block)
{
    if (block[0] != kSoh || block[2] != static_cast<uint8_t>(~block[1]))
        return Check::BadHeader;
    uint16_t crc = crc16(std::span(block).subspan(3, kData));
    if (block[3 + kData] != (crc >> 8) || block[4 + kData] != (crc & 0xFF))
        return Check::BadCrc;
    return Check::Good;
}

}  // namespace samba::xmodem
