#include "sim/fault_locator.h"

#include <bit>

namespace sim {

namespace {

struct Range {
    uint32_t low = 0;
    uint32_t length = 0;
};

uint32_t shifted(uint32_t value, unsigned type, unsigned amount)
{
    switch (type) {
    case 0: return amount >= 32 ? 0 : value << amount;
    case 1: return amount == 0 || amount >= 32 ? 0 : value >> amount;
    case 2: return static_cast<uint32_t>(static_cast<int32_t>(value) >> (amount == 0 || amount >= 32 ? 31 : amount));
    default: return std::rotr(value, static_cast<int>(amount));
    }
}

std::optional<Range> arm_access(uint32_t w, uint32_t pc, const uint32_t r[16])
{
    auto reg = [&](unsigned n) { return n == 15 ? pc + 8 : r[n]; };
    unsigned rn = (w >> 16) & 0xF;
    bool pre = w & (1u << 24), up = w & (1u << 23);
    if ((w & 0x0FB00FF0u) == 0x01000090u)                                  // SWP
        return Range{reg(rn), (w & (1u << 22)) ? 1u : 4u};
    if ((w & 0x0E000090u) == 0x00000090u && (w & 0x60u)) {                 // halfword, signed
        uint32_t offset = (w & (1u << 22)) ? (((w >> 4) & 0xF0u) | (w & 0xFu)) : reg(w & 0xF);
        uint32_t base = reg(rn);
        uint32_t at = pre ? (up ? base + offset : base - offset) : base;
        return Range{at, ((w >> 5) & 3) == 2 ? 1u : 2u};
    }
    if ((w & 0x0C000000u) == 0x04000000u) {                                // LDR, STR
        uint32_t offset = (w & (1u << 25)) ? shifted(reg(w & 0xF), (w >> 5) & 3, (w >> 7) & 0x1F) : (w & 0xFFFu);
        uint32_t base = reg(rn);
        uint32_t at = pre ? (up ? base + offset : base - offset) : base;
        return Range{at, (w & (1u << 22)) ? 1u : 4u};
    }
    if ((w & 0x0E000000u) == 0x08000000u) {                                // LDM, STM
        uint32_t n = static_cast<uint32_t>(std::popcount(w & 0xFFFFu));
        uint32_t base = reg(rn);
        uint32_t low = up ? base + (pre ? 4 : 0) : base - 4 * n + (pre ? 0 : 4);
        return Range{low, 4 * n};
    }
    return std::nullopt;
}

std::optional<Range> thumb_access(uint16_t h, uint32_t pc, const uint32_t r[16])
{
    if ((h & 0xF800) == 0x4800)                                            // LDR pc-relative
        return Range{((pc + 4) & ~3u) + (h & 0xFFu) * 4, 4};
    if ((h & 0xF000) == 0x5000) {                                          // register offset
        static const uint32_t sizes[8] = {4, 2, 1, 1, 4, 2, 1, 2};
        return Range{r[(h >> 3) & 7] + r[(h >> 6) & 7], sizes[(h >> 9) & 7]};
    }
    if ((h & 0xE000) == 0x6000) {                                          // immediate offset
        bool byte = h & 0x1000;
        uint32_t imm = (h >> 6) & 0x1F;
        return Range{r[(h >> 3) & 7] + (byte ? imm : imm * 4), byte ? 1u : 4u};
    }
    if ((h & 0xF000) == 0x8000)                                            // halfword
        return Range{r[(h >> 3) & 7] + ((h >> 6) & 0x1Fu) * 2, 2};
    if ((h & 0xF000) == 0x9000)                                            // sp-relative
        return Range{r[13] + (h & 0xFFu) * 4, 4};
    if ((h & 0xF600) == 0xB400) {                                          // PUSH, POP
        uint32_t n = static_cast<uint32_t>(std::popcount(static_cast<unsigned>(h & 0x1FF)));
        bool pop = h & 0x0800;
        return Range{pop ? r[13] : r[13] - 4 * n, 4 * n};
    }
    if ((h & 0xF000) == 0xC000) {                                          // LDMIA, STMIA
        uint32_t n = static_cast<uint32_t>(std::popcount(static_cast<unsigned>(h & 0xFF)));
        return Range{r[(h >> 8) & 7], 4 * n};
    }
    return std::nullopt;
}

}  // namespace

std::optional<uint32_t> find_faulting_access(const uint8_t *code, uint32_t start, uint32_t size, bool thumb,
                                             const uint32_t regs[16], uint32_t address)
{
    uint32_t step = thumb ? 2 : 4;
    for (uint32_t off = 0; off + step <= size; off += step) {
        uint32_t pc = start + off;
        std::optional<Range> range;
        if (thumb)
            range = thumb_access(static_cast<uint16_t>(code[off] | (code[off + 1] << 8)), pc, regs);
        else
            range = arm_access(static_cast<uint32_t>(code[off] | (code[off + 1] << 8) | (code[off + 2] << 16) |
                                                     (static_cast<uint32_t>(code[off + 3]) << 24)), pc, regs);
        if (!range)
            continue;
        uint32_t low = range->low & ~3u;
        uint32_t length = range->length + (range->low & 3u);
        if (address - low < length)
            return pc;
    }
    return std::nullopt;
}

}  // namespace sim
