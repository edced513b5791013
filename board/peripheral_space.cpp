#include "board/peripheral_space.h"

#include <string>

namespace board {

namespace {
struct Block {
    uint32_t base;
    uint32_t size;
    const char *name;
};
// The chip's peripherals that have no model on this board.
constexpr Block kUnmodelled[] = {
    {0xFFFA0000, 0x4000, "TC"},      {0xFFFB0000, 0x4000, "UDP"},     {0xFFFB8000, 0x4000, "TWI"},
    {0xFFFC0000, 0x4000, "USART0"},  {0xFFFC4000, 0x4000, "USART1"},  {0xFFFCC000, 0x4000, "PWMC"},
    {0xFFFD4000, 0x4000, "SSC"},     {0xFFFD8000, 0x4000, "ADC"},
};
}  // namespace

const char *PeripheralSpace::block_at(uint32_t address)
{
    for (const auto &b : kUnmodelled)
        if (address - b.base < b.size)
            return b.name;
    return nullptr;
}

void PeripheralSpace::note(uint32_t offset, bool write, uint32_t value)
{
    uint32_t address = kBase + offset;
    if (!logged_.insert(address).second)
        return;
    const char *block = block_at(address);
    std::string what = write ? "write of " + hex32(value) + " to " + hex32(address) + " ignored" : "read of " + hex32(address) + " gives 0";
    std::string why = block ? std::string(": the ") + block + " is not modelled" : ": reserved address in the peripheral space";
    log_.warn("bus", what + why + " (logged once per address)");
}

uint32_t PeripheralSpace::read(uint32_t offset)
{
    note(offset, false, 0);
    return 0;
}

void PeripheralSpace::write(uint32_t offset, uint32_t value)
{
    note(offset, true, value);
}

}  // namespace board
