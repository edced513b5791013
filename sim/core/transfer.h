// Loads and stores shared by the ARM and Thumb instruction sets, with the
// ARM7TDMI's treatment of misaligned addresses and aborts. Private to sim/core.
//
// Misaligned data, when the memory system does not abort it:
//   LDR   loads the aligned word rotated right by 8 * (address & 3);
//   LDRH  loads the aligned halfword rotated right by 8 (the byte at the
//         odd address in bits 0..7, the one below it in bits 24..31);
//   LDRSH from an odd address loads the byte there, sign-extended;
//   STR, STRH store to the address with its low bits cleared;
//   LDM, STM ignore the low two bits of the address.
// When it aborts (CoreBus::aborts_misaligned), the access is refused and
// reported as AbortCause::Misaligned; the instruction takes a data abort.
#pragma once

#include "sim/core/cpu.h"

namespace sim::core {

enum class Load : uint8_t { Word, Byte, Half, SignedByte, SignedHalf };

// Loads into `value`; false: refused (reported).
[[gnu::always_inline]] inline bool load(Cpu &c, Load kind, uint32_t address, uint32_t &value)
{
    switch (kind) {
    case Load::Word:
        if (address & 3) [[unlikely]] {
            if (!c.misaligned_allowed(address, 4, false) || !c.read<4>(address & ~3u, false, value)) return false;
            value = rotr(value, 8 * (address & 3));
            return true;
        }
        return c.read<4>(address, false, value);
    case Load::Byte: return c.read<1>(address, false, value);
    case Load::SignedByte:
        if (!c.read<1>(address, false, value)) return false;
        value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(value)));
        return true;
    case Load::Half:
        if (address & 1) [[unlikely]] {
            if (!c.misaligned_allowed(address, 2, false) || !c.read<2>(address & ~1u, false, value)) return false;
            value = rotr(value, 8);
            return true;
        }
        return c.read<2>(address, false, value);
    case Load::SignedHalf:
        if (address & 1) [[unlikely]] {
            if (!c.misaligned_allowed(address, 2, false) || !c.read<1>(address, false, value)) return false;
            value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(value)));
            return true;
        }
        if (!c.read<2>(address, false, value)) return false;
        value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(value)));
        return true;
    }
    return false;
}

// Stores `size` bytes of `value`; false: refused (reported).
[[gnu::always_inline]] inline bool store(Cpu &c, unsigned size, uint32_t address, uint32_t value)
{
    switch (size) {
    case 4:
        if (address & 3) [[unlikely]] {
            if (!c.misaligned_allowed(address, 4, true)) return false;
            address &= ~3u;
        }
        return c.write<4>(address, false, value);
    case 2:
        if (address & 1) [[unlikely]] {
            if (!c.misaligned_allowed(address, 2, true)) return false;
            address &= ~1u;
        }
        return c.write<2>(address, false, value);
    default: return c.write<1>(address, false, value);
    }
}

// The pc-relative part of a load's completion: 1I, then the loaded value
// into rd (into pc: a branch in the current state, with no interworking as
// on ARMv4T).
inline void finish_load(Cpu &c, unsigned rd, uint32_t value, uint32_t next)
{
    c.idle();
    if (rd == 15)
        c.branch(value & (c.thumb() ? ~1u : ~3u));
    else {
        c.r[rd] = value;
        c.r[15] = next;
    }
}

struct BlockTransfer {
    unsigned rn;
    uint32_t list;       // registers; empty: r15 alone, the base moving by 64
    bool before;         // P: address changes before each transfer
    bool up;             // U
    bool writeback;      // W
    bool s_bit;          // ^: user bank, or CPSR from SPSR with pc loaded
    uint32_t stored_pc;  // the value an STM stores for r15
    uint32_t next;       // address of the next instruction
};

// LDM/STM, POP/PUSH, Thumb LDMIA/STMIA with the ARM7TDMI's rules:
//   - an STM storing its base stores the original base when it is the
//     lowest register of the list, the written-back base otherwise;
//   - an LDM loading its base with write-back ends with the loaded value;
//   - an empty list transfers r15 alone and moves the base by 0x40;
//   - on an abort, registers loaded before it are written, later ones and
//     pc are not, and the base ends at its written-back value (or the
//     original without write-back); later transfers are not made.
void block_load(Cpu &c, const BlockTransfer &t);
void block_store(Cpu &c, const BlockTransfer &t);

}  // namespace sim::core
