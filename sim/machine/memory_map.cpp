#include "sim/machine/memory_map.h"

#include <algorithm>
#include <cstring>

namespace sim {

MemoryMap::MemoryMap(board::ChipFlash &flash) : flash_(flash), ram_(kRamSize, 0) {}

const uint8_t *MemoryMap::host(uint32_t address, uint32_t length) const
{
    return const_cast<MemoryMap *>(this)->host(address, length);
}

uint8_t *MemoryMap::host(uint32_t address, uint32_t length)
{
    uint8_t *base;
    uint32_t size;
    switch (address / kArea) {
    case 0: base = remapped_ ? ram_.data() : flash_.data(); size = remapped_ ? kRamSize : kFlashSize; break;
    case 1: base = flash_.data(); size = kFlashSize; break;
    case 2: base = ram_.data(); size = kRamSize; break;
    default: return nullptr;
    }
    uint32_t offset = address & (size - 1);
    if (length > size - offset)
        return nullptr;
    return base + offset;
}

uint32_t MemoryMap::canonical(uint32_t address) const
{
    if (in_flash(address))
        return kFlashBase + (address & (kFlashSize - 1));
    if (address / kArea == 2 || (address / kArea == 0 && remapped_))
        return kRamBase + (address & (kRamSize - 1));
    return address;
}

bool MemoryMap::write(uint32_t address, const uint8_t *bytes, uint32_t length)
{
    uint8_t *p = host(address, length);
    if (!p)
        return false;
    std::memcpy(p, bytes, length);
    changed(p, length);
    return true;
}

bool MemoryMap::fill(uint32_t address, uint8_t value, uint32_t length)
{
    uint8_t *p = host(address, length);
    if (!p)
        return false;
    std::memset(p, value, length);
    changed(p, length);
    return true;
}

void MemoryMap::clear_ram()
{
    std::fill(ram_.begin(), ram_.end(), 0);
    changed(ram_.data(), kRamSize);
}

void MemoryMap::erase_flash()
{
    std::fill(flash_.data(), flash_.data() + kFlashSize, 0xFF);
    changed(flash_.data(), kFlashSize);
}

bool MemoryMap::read8(uint32_t address, uint8_t &value)
{
    const uint8_t *p = host(address, 1);
    if (!p)
        return false;
    value = *p;
    return true;
}

bool MemoryMap::write8(uint32_t address, uint8_t value)
{
    if (in_flash(address))
        return false;
    return write(address, &value, 1);
}

}  // namespace sim
