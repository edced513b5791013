#include "board/peripheral_space.h"

#include "board/chip.h"

#include <string>

namespace board {

PeripheralSpace::PeripheralSpace(Log &log) : log_(log)
{
    state_.custom("logged addresses",
                  [this](StateWriter &w) {
                      w.u64(logged_.size());
                      for (uint32_t a : logged_)
                          w.u32(a);
                  },
                  [this](StateReader &r) {
                      uint64_t n = r.u64();
                      if (n > r.left() / 4)
                          r.fail("peripheral space: a list longer than what is left");
                      logged_.clear();
                      for (uint64_t i = 0; i < n; ++i)
                          logged_.insert(r.u32());
                  },
                  nullptr);
}

const char *PeripheralSpace::block_at(uint32_t address)
{
    const ChipBlock *b = chip_block_at(address);
    return b && !b->model ? b->name : nullptr;
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
