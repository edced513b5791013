#include "sim/machine/memory_map.h"

#include <algorithm>

namespace sim {

MemoryMap::MemoryMap(board::ChipFlash &flash) : flash_(flash), ram_(kRamSize, 0) {}

const uint8_t *MemoryMap::host(uint32_t address, uint32_t length) const
{
    return const_cast<MemoryMap *>(this)->host(address, length);
}

uint8_t *MemoryMap::host(uint32_t address, uint32_t length)
{
    auto inside = [&](uint32_t base, uint32_t size) {
        return address >= base && address - base < size && length <= size - (address - base);
    };
    if (inside(kFlashBase, kFlashSize))
        return flash_.data() + (address - kFlashBase);
    if (remapped_ && inside(0, kRamSize))
        return ram_.data() + address;
    if (!remapped_ && inside(kFlashMirror, kFlashSize))
        return flash_.data() + (address - kFlashMirror);
    if (inside(kRamBase, kRamSize))
        return ram_.data() + (address - kRamBase);
    return nullptr;
}

void MemoryMap::clear_ram()
{
    std::fill(ram_.begin(), ram_.end(), 0);
}

void MemoryMap::erase_flash()
{
    std::fill(flash_.data(), flash_.data() + kFlashSize, 0xFF);
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
    uint8_t *p = host(address, 1);
    if (!p)
        return false;
    *p = value;
    return true;
}

}  // namespace sim
