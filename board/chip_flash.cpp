#include "board/chip_flash.h"

#include <algorithm>

namespace board {

ChipFlash::ChipFlash() : bytes_(kSize, 0xFF)
{
    state_.custom("array", [this](StateWriter &w) { w.bytes(bytes_.data(), kSize); },
                  [this](StateReader &r) {
                      r.bytes(bytes_.data(), kSize);
                      changed(0, kSize);   // code decoded from the old contents is stale
                  },
                  nullptr)
        .kept("lock bits", lock_bits_)
        .kept("GPNVM bits", gpnvm_)
        .kept("security bit", security_)
        .kept("ready at", ready_at_);
}

bool ChipFlash::load(const std::vector<uint8_t> &bytes)
{
    if (bytes.size() != kSize)
        return false;
    bytes_ = bytes;
    changed(0, kSize);
    return true;
}

void ChipFlash::write_page(uint32_t page, const uint8_t *bytes, bool erase_first)
{
    uint8_t *p = bytes_.data() + (page % kPages) * kPageSize;
    for (uint32_t i = 0; i < kPageSize; ++i)
        p[i] = erase_first ? bytes[i] : static_cast<uint8_t>(p[i] & bytes[i]);
    changed((page % kPages) * kPageSize, kPageSize);
}

void ChipFlash::erase_all()
{
    std::fill(bytes_.begin(), bytes_.end(), 0xFF);
    changed(0, kSize);
}

void ChipFlash::changed(uint32_t offset, uint32_t length)
{
    if (listener_)
        listener_(offset, length);
}

}  // namespace board
