// More ARM forms run from operands taken out of the encoding at decoding:
// the halfword and signed transfers, LDM/STM and MUL/MLA, and the Thumb
// block transfers, which share the ARM ones' code. Aligned and to
// plain memory (Cpu::plain), a transfer is done here; anything else (a
// peripheral, a misaligned address, an abort, a store into code, a tool)
// goes to the general handler before anything has changed, which these
// must match cycle for cycle.
#include "sim/core/arm_forms.h"
#include "sim/core/transfer.h"

#include <array>
#include <bit>
#include <utility>

namespace sim::core {

namespace {

// ---- LDRH, STRH, LDRSB, LDRSH ----

template <Load Kind, bool L, bool Pre, bool Up, bool WriteBack, bool RegOffset>
void halfword_transfer(Cpu &c, Decoded &d)
{
    constexpr unsigned kSize = Kind == Load::SignedByte ? 1 : 2;
    const uint32_t pc = c.r[15];
    const uint32_t offset = RegOffset ? c.r[d.rm] : d.imm;
    const uint32_t base = c.r[d.rn];
    const uint32_t moved = Up ? base + offset : base - offset;
    const uint32_t address = Pre ? moved : base;
    const Region *g = !(address & (kSize - 1)) ? c.plain<!L>(address) : nullptr;
    if (!g) [[unlikely]]
        return execute_general_arm(c, d);
    uint8_t *host = g->host + (address & g->mask);
    if constexpr (L) {
        // 1S (the fetch), 1N (the read), 1I.
        uint32_t value = Cpu::load_host<kSize>(host);
        if constexpr (Kind == Load::SignedByte)
            value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(value)));
        else if constexpr (Kind == Load::SignedHalf)
            value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(value)));
        c.cycles += c.code_s + 1 + g->wait_n + 1;
        if (WriteBack) c.r[d.rn] = moved;
        c.r[d.rd] = value;
    } else {
        // 2N: the fetch and the write.
        Cpu::store_host<2>(host, c.r[d.rd]);
        c.cycles += c.code_n + 1 + g->wait_n;
        if (WriteBack) c.r[d.rn] = moved;
    }
    c.r[15] = pc + 4;
}

// Index: register offset in bit 6, SH (bits 6..5 of the encoding) in bits
// 5..4, then L, P, U and write-back; null for encodings that are not one.
template <std::size_t I>
constexpr Handler halfword_handler()
{
    constexpr unsigned kSh = (I >> 4) & 3;
    constexpr bool kL = I & 8, kPre = I & 4, kUp = I & 2, kWriteBack = I & 1;
    if constexpr (kSh == 0 || (!kL && kSh != 1)) {
        return nullptr;
    } else {
        constexpr Load kKind = kSh == 1 ? Load::Half : kSh == 2 ? Load::SignedByte : Load::SignedHalf;
        return &halfword_transfer<kKind, kL, kPre, kUp, kWriteBack, (I & 64) != 0>;
    }
}

template <std::size_t... I>
constexpr std::array<Handler, 128> halfword_table(std::index_sequence<I...>)
{
    return {halfword_handler<I>()...};
}

constexpr auto kHalfwordTransfers = halfword_table(std::make_index_sequence<128>());

// ---- LDM, STM, and Thumb's PUSH, POP, LDMIA, STMIA ----

// Decoded: imm the register list, amount its count. The Thumb forms make
// their fetch through the read buffers, in the same cycle as the general
// handler: the first, before the data cycles.
template <bool Thumb, bool L, bool Before, bool Up, bool WriteBack>
void block_transfer(Cpu &c, Decoded &d)
{
    constexpr uint32_t kSize = Thumb ? 2 : 4;
    const uint32_t pc = c.r[15];
    const uint32_t list = d.imm, bytes = 4u * d.amount;
    const uint32_t base = c.r[d.rn];
    const uint32_t start = Up ? (Before ? base + 4 : base) : (Before ? base - bytes : base - bytes + 4);
    const uint32_t last = start + bytes - 4;
    // All in one page of one memory (and, for a store, no code in either
    // granule it touches).
    const Region *g = !(start & 3) && !((start ^ last) >> 12) ? c.plain<!L>(start) : nullptr;
    if constexpr (!L) {
        if (g && !c.plain<true>(last)) g = nullptr;
    }
    if (!g) [[unlikely]]
        return Thumb ? execute_general_thumb(c, d) : execute_general_arm(c, d);
    uint8_t *at = g->host + (start & g->mask);
    const uint32_t new_base = Up ? base + bytes : base - bytes;
    const uint64_t memory = 1u + g->wait_n + (d.amount - 1u) * (1u + g->wait_s);
    if constexpr (L) {
        // nS+1N+1I; the base written back before the registers, so that a
        // loaded base wins.
        c.fetch(true, Thumb, pc + 2 * kSize);
        c.cycles += memory + 1;
        if (WriteBack) c.r[d.rn] = new_base;
        for (uint32_t rest = list & 0x7FFF; rest; rest &= rest - 1, at += 4)
            c.r[std::countr_zero(rest)] = Cpu::load_host<4>(at);
        if (list & (1u << 15)) {
            c.branch_in<Thumb>(Cpu::load_host<4>(at) & ~(kSize - 1));
            return;
        }
    } else {
        // (n-1)S+2N. The base, when it is not the lowest register, is
        // stored as written back.
        c.fetch(false, Thumb, pc + 2 * kSize);
        c.cycles += memory;
        const int lowest = std::countr_zero(list);
        for (uint32_t rest = list; rest; rest &= rest - 1, at += 4) {
            const int i = std::countr_zero(rest);
            uint32_t v = c.r[i];
            if (i == 15) v = pc + 3 * kSize;
            if (WriteBack && i == d.rn && i != lowest) v = new_base;
            Cpu::store_host<4>(at, v);
        }
        if (WriteBack) c.r[d.rn] = new_base;
    }
    c.r[15] = pc + kSize;
}

template <std::size_t... I>
constexpr std::array<Handler, 16> block_table(std::index_sequence<I...>)
{
    return {&block_transfer<false, (I & 8) != 0, (I & 4) != 0, (I & 2) != 0, (I & 1) != 0>...};
}

constexpr auto kBlockTransfers = block_table(std::make_index_sequence<16>());

// ---- MUL, MLA ----

// Decoded: rd, rn (the addend), rm and imm (Rs, the multiplier).
template <bool Accumulate, bool S>
void multiply(Cpu &c, Decoded &d)
{
    const uint32_t rs = c.r[d.imm];
    c.cycles += c.code_s + multiplier_cycles(rs, true) + Accumulate;
    const uint32_t res = c.r[d.rm] * rs + (Accumulate ? c.r[d.rn] : 0);
    if (S) c.set_nz(res);
    c.r[d.rd] = res;
    c.r[15] += 4;
}

constexpr Handler kMultiplies[4] = {multiply<false, false>, multiply<false, true>, multiply<true, false>,
                                    multiply<true, true>};

}  // namespace

ArmForm transfer_form_of(Handler h)
{
    ArmForm f;
    for (unsigned i = 0; i < kHalfwordTransfers.size(); ++i) {
        if (kHalfwordTransfers[i] != h) continue;
        const unsigned sh = (i >> 4) & 3;
        f.kind = ArmForm::kHalfword;
        f.operand = i & 64 ? ArmForm::kRegister : ArmForm::kImmediate;
        f.byte = sh == 2;
        f.sign = sh != 1;
        f.load = i & 8;
        f.pre = i & 4;
        f.up = i & 2;
        f.write_back = i & 1;
        return f;
    }
    for (unsigned i = 0; i < kBlockTransfers.size(); ++i) {
        if (kBlockTransfers[i] != h) continue;
        f.kind = ArmForm::kBlock;
        f.load = i & 8;
        f.pre = i & 4;
        f.up = i & 2;
        f.write_back = i & 1;
        return f;
    }
    for (unsigned i = 0; i < 4; ++i) {
        if (kMultiplies[i] != h) continue;
        f.kind = ArmForm::kMultiply;
        f.accumulate = i & 2;
        f.s = i & 1;
        return f;
    }
    return f;
}

bool halfword_form(Decoded &d)
{
    const uint32_t raw = d.raw;
    d.rd = (raw >> 12) & 15;
    d.rn = (raw >> 16) & 15;
    d.rm = raw & 15;
    const bool immediate = raw & (1u << 22);
    if (d.rd == 15 || d.rn == 15 || (!immediate && d.rm == 15)) return false;
    d.imm = ((raw >> 4) & 0xF0) | (raw & 0xF);
    const bool pre = raw & (1u << 24), write_back = !pre || (raw & (1u << 21));
    const uint32_t index = (immediate ? 0 : 64) | (((raw >> 5) & 3) << 4) | (raw & (1u << 20) ? 8 : 0) |
                           (pre ? 4 : 0) | (raw & (1u << 23) ? 2 : 0) | (write_back ? 1 : 0);
    const Handler h = kHalfwordTransfers[index];
    if (!h) return false;
    d.fn = h;
    return true;
}

bool block_form(Decoded &d)
{
    const uint32_t raw = d.raw;
    d.rn = (raw >> 16) & 15;
    d.imm = raw & 0xFFFF;
    // The user bank, an empty list and pc as the base stay general.
    if (d.rn == 15 || (raw & (1u << 22)) || !d.imm) return false;
    d.amount = static_cast<uint8_t>(std::popcount(d.imm));
    d.fn = kBlockTransfers[(raw >> 20 & 1) << 3 | (raw >> 24 & 1) << 2 | (raw >> 23 & 1) << 1 | (raw >> 21 & 1)];
    return true;
}

bool thumb_block_form(Decoded &d)
{
    const uint32_t raw = d.raw;
    const bool load = raw & (1u << 11);
    Handler h;
    if ((raw & 0xF600) == 0xB400) {   // PUSH, POP: the extra register lr or pc
        d.rn = 13;
        d.imm = (raw & 0xFF) | (raw & (1u << 8) ? (load ? 1u << 15 : 1u << 14) : 0);
        h = load ? &block_transfer<true, true, false, true, true> : &block_transfer<true, false, true, false, true>;
    } else if ((raw & 0xF000) == 0xC000) {   // LDMIA, STMIA
        d.rn = (raw >> 8) & 7;
        d.imm = raw & 0xFF;
        h = load ? &block_transfer<true, true, false, true, true> : &block_transfer<true, false, false, true, true>;
    } else {
        return false;
    }
    // An empty list (pc alone) stays general.
    if (!d.imm) return false;
    d.amount = static_cast<uint8_t>(std::popcount(d.imm));
    d.fn = h;
    return true;
}

bool thumb_block_handler(Handler h)
{
    return h == &block_transfer<true, true, false, true, true> || h == &block_transfer<true, false, true, false, true> ||
           h == &block_transfer<true, false, false, true, true>;
}

bool multiply_form(Decoded &d)
{
    const uint32_t raw = d.raw;
    d.rd = (raw >> 16) & 15;
    d.rn = (raw >> 12) & 15;
    d.imm = (raw >> 8) & 15;
    d.rm = raw & 15;
    if (d.rd == 15 || d.rn == 15 || d.imm == 15 || d.rm == 15) return false;
    d.fn = kMultiplies[(raw >> 20) & 3];
    return true;
}

}  // namespace sim::core
