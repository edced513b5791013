// The ARM barrel shifter with an immediate amount and the sixteen
// data-processing operations, shared by the general handlers (which take
// their operands from the encoding) and the common forms (which take them
// from the decoded fields). Private to sim/core.
#pragma once

#include "sim/core/cpu.h"

namespace sim::core {

// Shift by an immediate amount, with the shifter's carry-out.
inline uint32_t shift_imm(uint32_t v, unsigned type, unsigned amount, bool c_in, bool &carry)
{
    switch (type) {
    case 0:
        if (amount == 0) {
            carry = c_in;
            return v;
        }
        carry = (v >> (32 - amount)) & 1;
        return v << amount;
    case 1:
        if (amount == 0) {   // LSR #32
            carry = v >> 31;
            return 0;
        }
        carry = (v >> (amount - 1)) & 1;
        return v >> amount;
    case 2:
        if (amount == 0) {   // ASR #32
            carry = v >> 31;
            return carry ? 0xFFFFFFFFu : 0;
        }
        carry = (v >> (amount - 1)) & 1;
        return static_cast<uint32_t>(static_cast<int32_t>(v) >> amount);
    default:
        if (amount == 0) {   // RRX
            carry = v & 1;
            return (v >> 1) | (c_in ? 0x80000000u : 0);
        }
        carry = (v >> (amount - 1)) & 1;
        return rotr(v, amount);
    }
}

// Opcode Op of rn and op2 (with S, the flags: C from the shifter `sc` for
// the logical operations).
template <unsigned Op, bool S>
[[gnu::always_inline]] inline uint32_t alu_operation(Cpu &c, uint32_t rn, uint32_t op2, bool cin, bool sc)
{
    uint32_t res = 0;
    constexpr bool kLogical = Op == 0 || Op == 1 || Op == 8 || Op == 9 || Op >= 12;
    switch (Op) {
    case 0x0: case 0x8: res = rn & op2; break;
    case 0x1: case 0x9: res = rn ^ op2; break;
    case 0xC: res = rn | op2; break;
    case 0xD: res = op2; break;
    case 0xE: res = rn & ~op2; break;
    case 0xF: res = ~op2; break;
    case 0x2: case 0xA: res = S ? c.sub_flags(rn, op2, 1) : rn - op2; break;
    case 0x3: res = S ? c.sub_flags(op2, rn, 1) : op2 - rn; break;
    case 0x4: case 0xB: res = S ? c.add_flags(rn, op2, 0) : rn + op2; break;
    case 0x5: res = S ? c.add_flags(rn, op2, cin) : rn + op2 + cin; break;
    case 0x6: res = S ? c.sub_flags(rn, op2, cin) : rn - op2 - !cin; break;
    case 0x7: res = S ? c.sub_flags(op2, rn, cin) : op2 - rn - !cin; break;
    }
    if (S && kLogical) c.set_nzc(res, sc);
    return res;
}

}  // namespace sim::core
