#include "sim/jtag/instruction_cycles.h"

#include <bit>

namespace jtag {

namespace {

// A load reads `n` words and writes the register in an internal cycle; a
// store's writes are counted when it runs.
CycleShape transfer(bool load, unsigned n) { return load ? CycleShape{n, 1, true} : CycleShape{0, 0, true}; }

bool passes(uint32_t cond, uint32_t cpsr)
{
    bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
    switch (cond) {
    case 0x0: return z;
    case 0x1: return !z;
    case 0x2: return c;
    case 0x3: return !c;
    case 0x4: return n;
    case 0x5: return !n;
    case 0x6: return v;
    case 0x7: return !v;
    case 0x8: return c && !z;
    case 0x9: return !c || z;
    case 0xA: return n == v;
    case 0xB: return n != v;
    case 0xC: return !z && n == v;
    case 0xD: return z || n != v;
    default: return true;
    }
}

CycleShape arm(uint32_t raw)
{
    bool load = raw & (1u << 20);
    switch ((raw >> 25) & 7) {
    case 0:
        if ((raw & 0x0FB00FF0) == 0x01000090) return {1, 1, true};               // SWP
        if ((raw & 0x0FC000F0) == 0x00000090 || (raw & 0x0F8000F0) == 0x00800090) return {0, 2};   // multiplies
        if ((raw & 0x90) == 0x90 && (raw & 0x60)) return transfer(load, 1);       // halfword, signed
        if ((raw & 0x90) == 0x10 && (raw & 0x0FFFFFF0) != 0x012FFF10) return {0, 1};             // register-specified shift
        return {};
    case 2:
    case 3: return transfer(load, 1);
    case 4: {
        unsigned n = static_cast<unsigned>(std::popcount(raw & 0xFFFF));
        return transfer(load, n ? n : 1);
    }
    default: return {};
    }
}

CycleShape thumb(uint32_t raw)
{
    bool load = raw & (1u << 11);
    if ((raw & 0xF800) == 0x4800) return transfer(true, 1);                             // LDR pc-relative
    if ((raw & 0xF000) == 0x5000) return transfer(((raw >> 9) & 7) >= 3, 1);
    if ((raw & 0xE000) == 0x6000 || (raw & 0xF000) == 0x8000 || (raw & 0xF000) == 0x9000) return transfer(load, 1);
    if ((raw & 0xF600) == 0xB400 || (raw & 0xF000) == 0xC000) {                         // PUSH/POP, LDMIA/STMIA
        unsigned n = static_cast<unsigned>(std::popcount(raw & 0xFF)) + ((raw & 0xF000) == 0xB000 ? (raw >> 8 & 1) : 0);
        return transfer(load, n ? n : 1);
    }
    if ((raw & 0xFFC0) == 0x4340) return {0, 2};                                         // MUL
    if ((raw & 0xFC00) == 0x4000) {
        unsigned op = (raw >> 6) & 15;
        if (op == 2 || op == 3 || op == 4 || op == 7) return {0, 1};                     // shift by register
    }
    return {};
}

}  // namespace

CycleShape cycle_shape(uint32_t encoding, bool is_thumb, uint32_t cpsr)
{
    if (is_thumb) {
        uint32_t raw = encoding & 0xFFFF;
        return thumb(raw);   // only branches are conditional
    }
    CycleShape shape = arm(encoding);
    if ((encoding >> 28) < 0xE && !passes(encoding >> 28, cpsr)) return {0, 0, shape.transfers};
    return shape;
}

}  // namespace jtag
