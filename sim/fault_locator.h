// Unicorn reports an access to unmapped memory with pc at the start of the
// translated block, after the instructions before the faulting one have
// run. This finds the faulting instruction: the first load or store of the
// block whose access, computed from the registers as they stand now, covers
// the address that faulted.
#pragma once

#include <cstdint>
#include <optional>

namespace sim {

std::optional<uint32_t> find_faulting_access(const uint8_t *code, uint32_t start, uint32_t size, bool thumb,
                                             const uint32_t regs[16], uint32_t address);

}  // namespace sim
