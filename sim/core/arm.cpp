// The ARM instruction set (32-bit, ARM state): decoding into handlers and
// their execution.
#include "sim/core/arm_alu.h"
#include "sim/core/arm_forms.h"
#include "sim/core/cpu.h"
#include "sim/core/delay_loop.h"
#include "sim/core/transfer.h"

#include <array>
#include <utility>

namespace sim::core {

namespace {

// Reading pc as an operand: the instruction's address + 8, or + 12 when a
// register-specified shift takes an extra cycle before the operands are read.
inline uint32_t reg_or_pc(const Cpu &c, unsigned n, uint32_t pc_value) { return n == 15 ? pc_value : c.r[n]; }

}  // namespace

// Shift by a register's bottom byte (shared with Thumb's shift instructions).
uint32_t shift_reg(uint32_t v, unsigned type, uint32_t amount, bool c_in, bool &carry)
{
    amount &= 0xFF;
    if (amount == 0) {
        carry = c_in;
        return v;
    }
    switch (type) {
    case 0:
        if (amount < 32) {
            carry = (v >> (32 - amount)) & 1;
            return v << amount;
        }
        carry = amount == 32 ? (v & 1) : false;
        return 0;
    case 1:
        if (amount < 32) {
            carry = (v >> (amount - 1)) & 1;
            return v >> amount;
        }
        carry = amount == 32 ? (v >> 31) : false;
        return 0;
    case 2:
        if (amount < 32) {
            carry = (v >> (amount - 1)) & 1;
            return static_cast<uint32_t>(static_cast<int32_t>(v) >> amount);
        }
        carry = v >> 31;
        return carry ? 0xFFFFFFFFu : 0;
    default:
        amount &= 31;
        if (amount == 0) {
            carry = v >> 31;
            return v;
        }
        carry = (v >> (amount - 1)) & 1;
        return rotr(v, amount);
    }
}

namespace {

enum OperandKind { kImm, kImmShift, kRegShift };

template <unsigned Op, int Kind, bool S>
void data_processing(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const uint32_t pc = c.r[15];
    c.fetch_s_arm();
    bool cin = c.carry();
    bool sc = cin;
    uint32_t op2, rn;
    const unsigned rn_i = (raw >> 16) & 15, rd = (raw >> 12) & 15;
    if constexpr (Kind == kImm) {
        unsigned rot = (raw >> 7) & 0x1E;
        op2 = rotr(raw & 0xFF, rot);
        if (rot) sc = op2 >> 31;
        rn = reg_or_pc(c, rn_i, pc + 8);
    } else if constexpr (Kind == kImmShift) {
        op2 = shift_imm(reg_or_pc(c, raw & 15, pc + 8), (raw >> 5) & 3, (raw >> 7) & 31, cin, sc);
        rn = reg_or_pc(c, rn_i, pc + 8);
    } else {
        c.idle();
        uint32_t amount = reg_or_pc(c, (raw >> 8) & 15, pc + 12);
        op2 = shift_reg(reg_or_pc(c, raw & 15, pc + 12), (raw >> 5) & 3, amount, cin, sc);
        rn = reg_or_pc(c, rn_i, pc + 12);
    }
    constexpr bool kTest = Op >= 8 && Op <= 11;
    const uint32_t res = alu_operation<Op, S>(c, rn, op2, cin, sc);
    if (kTest || rd != 15) {
        if (!kTest) c.r[rd] = res;
        c.r[15] = pc + 4;
        return;
    }
    // A write to pc; with S, the CPSR comes back from the SPSR (exception return).
    if (S && c.has_spsr()) c.write_cpsr(c.spsr());
    c.branch(res & (c.thumb() ? ~1u : ~3u));
}

void multiply(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned rd = (raw >> 16) & 15, rn = (raw >> 12) & 15, rs = (raw >> 8) & 15, rm = raw & 15;
    const bool accumulate = raw & (1u << 21);
    c.fetch_s_arm();
    c.idle(multiplier_cycles(c.r[rs], true) + accumulate);
    uint32_t res = c.r[rm] * c.r[rs] + (accumulate ? c.r[rn] : 0);
    if (raw & (1u << 20)) c.set_nz(res);
    if (rd != 15) c.r[rd] = res;
    c.r[15] += 4;
}

void multiply_long(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned hi = (raw >> 16) & 15, lo = (raw >> 12) & 15, rs = (raw >> 8) & 15, rm = raw & 15;
    const bool is_signed = raw & (1u << 22), accumulate = raw & (1u << 21);
    c.fetch_s_arm();
    c.idle(multiplier_cycles(c.r[rs], is_signed) + 1 + accumulate);
    uint64_t res;
    if (is_signed)
        res = static_cast<uint64_t>(int64_t{static_cast<int32_t>(c.r[rm])} * static_cast<int32_t>(c.r[rs]));
    else
        res = uint64_t{c.r[rm]} * c.r[rs];
    if (accumulate) res += (uint64_t{c.r[hi]} << 32) | c.r[lo];
    if (raw & (1u << 20)) {
        c.flags.n = res >> 63;
        c.flags.z = res == 0;
    }
    if (lo != 15) c.r[lo] = static_cast<uint32_t>(res);
    if (hi != 15) c.r[hi] = static_cast<uint32_t>(res >> 32);
    c.r[15] += 4;
}

void swap(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned rn = (raw >> 16) & 15, rd = (raw >> 12) & 15, rm = raw & 15;
    const bool byte = raw & (1u << 22);
    const uint32_t address = c.r[rn], source = c.r[rm];
    c.fetch_s_arm();
    uint32_t value;
    if (!load(c, byte ? Load::Byte : Load::Word, address, value) || !store(c, byte ? 1 : 4, address, source)) {
        c.idle();
        c.data_abort();
        return;
    }
    finish_load(c, rd, value, c.r[15] + 4);
}

// The access of a single transfer and its base write-back, which happens
// even when the access aborts (the ARM7TDMI's base-updated abort model).
template <bool IsLoad>
[[gnu::always_inline]] inline void access_and_write_back(Cpu &c, Load kind, unsigned size, uint32_t address,
                                                         unsigned rd, unsigned rn, bool writeback, uint32_t moved)
{
    const uint32_t pc = c.r[15];
    if constexpr (IsLoad) {
        c.fetch_s_arm();
        uint32_t value;
        bool ok = load(c, kind, address, value);
        if (writeback) c.r[rn] = moved;
        if (!ok) {
            c.idle();
            c.data_abort();
            return;
        }
        finish_load(c, rd, value, pc + 4);
    } else {
        c.fetch_n();
        bool ok = store(c, size, address, rd == 15 ? pc + 12 : c.r[rd]);
        if (writeback) c.r[rn] = moved;
        if (!ok) {
            c.data_abort();
            return;
        }
        c.r[15] = pc + 4;
    }
}

// Addressing of LDR/STR and the halfword transfers: pre- or post-indexed,
// up or down, write-back with W or always when post-indexed.
struct Addressing {
    uint32_t address, moved;
    bool writeback;
};

inline Addressing addressing(const Cpu &c, uint32_t raw, uint32_t offset)
{
    const unsigned rn = (raw >> 16) & 15;
    const uint32_t base = reg_or_pc(c, rn, c.r[15] + 8);
    const uint32_t moved = raw & (1u << 23) ? base + offset : base - offset;
    const bool pre = raw & (1u << 24);
    return {pre ? moved : base, moved, (!pre || (raw & (1u << 21))) && rn != 15};
}

template <bool L, bool B, bool RegOffset>
void single_transfer(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    uint32_t offset;
    if constexpr (RegOffset) {
        bool unused;
        offset = shift_imm(reg_or_pc(c, raw & 15, c.r[15] + 8), (raw >> 5) & 3, (raw >> 7) & 31, c.carry(), unused);
    } else {
        offset = raw & 0xFFF;
    }
    const Addressing a = addressing(c, raw, offset);
    access_and_write_back<L>(c, B ? Load::Byte : Load::Word, B ? 1 : 4, a.address, (raw >> 12) & 15,
                             (raw >> 16) & 15, a.writeback, a.moved);
}

template <bool L>
void halfword_transfer(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const uint32_t offset = raw & (1u << 22) ? ((raw >> 4) & 0xF0) | (raw & 0xF) : reg_or_pc(c, raw & 15, c.r[15] + 8);
    const Addressing a = addressing(c, raw, offset);
    static constexpr Load kKinds[4] = {Load::Half, Load::Half, Load::SignedByte, Load::SignedHalf};
    access_and_write_back<L>(c, kKinds[(raw >> 5) & 3], 2, a.address, (raw >> 12) & 15, (raw >> 16) & 15,
                             a.writeback, a.moved);
}

void block(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    BlockTransfer t{(raw >> 16) & 15, raw & 0xFFFF, bool(raw & (1u << 24)), bool(raw & (1u << 23)),
                    bool(raw & (1u << 21)), bool(raw & (1u << 22)), c.r[15] + 12, c.r[15] + 4};
    if (raw & (1u << 20))
        block_load(c, t);
    else
        block_store(c, t);
}

// A branch out of the code window, out of line: the one within keeps no
// registers.
template <bool Link>
[[gnu::noinline]] void branch_far(Cpu &c, Decoded &d, uint32_t target)
{
    const uint32_t pc = c.r[15];
    c.fetch_s_arm();
    if (Link) c.r[14] = pc + 4;
    c.branch_in<false>(target);
    const int32_t offset = static_cast<int32_t>(d.raw << 8) >> 6;
    if (!Link && offset < 0 && d.aux != kNotALoop) delay_loop_closed(c, d, pc);
}

template <bool Link>
[[gnu::always_inline]] inline void branch_taken(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    const int32_t offset = static_cast<int32_t>(d.raw << 8) >> 6;
    const uint32_t target = pc + 8 + static_cast<uint32_t>(offset);
    if (!c.in_window(target)) [[unlikely]]
        return branch_far<Link>(c, d, target);
    c.fetch_s_arm();
    if (Link) c.r[14] = pc + 4;
    c.branch_near<false>(target);
    if (!Link && offset < 0 && d.aux != kNotALoop) delay_loop_closed(c, d, pc);
}

// With its condition (the run loop leaves it to the branch, see
// decode_arm_into): the one loops close with is tested against a constant.
template <bool Link, unsigned Cond>
void branch(Cpu &c, Decoded &d)
{
    if constexpr (Cond != 0xE) {
        if (!c.cond(Cond)) {
            c.fetch_s_arm();
            c.r[15] += 4;
            return;
        }
    }
    branch_taken<Link>(c, d);
}

void branch_exchange(Cpu &c, Decoded &d)
{
    const uint32_t v = reg_or_pc(c, d.raw & 15, c.r[15] + 8);
    c.fetch_s_arm();
    if (v & 1) {
        c.control |= kCpsrT;
        c.moved_code();
        c.branch_in<true>(v & ~1u);
    } else {
        c.control &= ~kCpsrT;
        c.branch_in<false>(v & ~3u);
    }
}

void software_interrupt(Cpu &c, Decoded &)
{
    c.fetch_s_arm();
    c.take(Exception::SoftwareInterrupt, c.r[15] + 4);
}

void undefined_instruction(Cpu &c, Decoded &) { c.undefined(); }

// MRC p14 from the debug channel: the C cycle brings the word, the I cycle
// writes it. Into r15 only its top four bits arrive, as the N, Z, C and V flags.
void debug_channel_read(Cpu &c, Decoded &d)
{
    c.fetch_s_arm();
    c.idle(2);
    const uint32_t v = (d.raw >> 16) & 1 ? c.debug_channel.core_reads() : c.debug_channel.control();
    const unsigned rd = (d.raw >> 12) & 15;
    if (rd == 15)
        c.set_flags_of(v);
    else
        c.r[rd] = v;
    c.r[15] += 4;
}

// MCR p14 to the debug channel (r15 gives the instruction's address + 12,
// as a store of r15 does).
void debug_channel_write(Cpu &c, Decoded &d)
{
    const unsigned rd = (d.raw >> 12) & 15;
    c.fetch_n();
    c.idle();
    c.debug_channel.core_writes(rd == 15 ? c.r[15] + 12 : c.r[rd]);
    c.r[15] += 4;
}

void status_read(Cpu &c, Decoded &d)
{
    c.fetch_s_arm();
    unsigned rd = (d.raw >> 12) & 15;
    uint32_t v = (d.raw & (1u << 22)) && c.has_spsr() ? c.spsr() : c.cpsr();
    if (rd != 15) c.r[rd] = v;
    c.r[15] += 4;
}

}  // namespace

// MSR's write of the CPSR or SPSR under a field mask (user mode: flags only;
// the T bit is never changed by MSR).
void write_status(Cpu &c, uint32_t raw, uint32_t value)
{
    uint32_t mask = 0;
    if (raw & (1u << 16)) mask |= 0x000000FF;
    if (raw & (1u << 17)) mask |= 0x0000FF00;
    if (raw & (1u << 18)) mask |= 0x00FF0000;
    if (raw & (1u << 19)) mask |= 0xFF000000;
    if (raw & (1u << 22)) {
        if (c.has_spsr()) c.set_spsr((c.spsr() & ~mask) | (value & mask));
        return;
    }
    if (c.mode() == static_cast<uint32_t>(Mode::User)) mask &= 0xFF000000;
    mask &= ~kCpsrT;
    c.write_cpsr((c.cpsr() & ~mask) | (value & mask));
}

namespace {

template <bool Imm>
void status_write(Cpu &c, Decoded &d)
{
    c.fetch_s_arm();
    uint32_t v = Imm ? rotr(d.raw & 0xFF, (d.raw >> 7) & 0x1E) : c.r[d.raw & 15];
    write_status(c, d.raw, v);
    c.r[15] += 4;
}

template <int Kind, std::size_t... I>
constexpr std::array<Handler, 32> dp_table(std::index_sequence<I...>)
{
    return {&data_processing<I / 2, Kind, (I & 1) != 0>...};
}

template <bool Link, std::size_t... I>
constexpr std::array<Handler, 16> branch_table(std::index_sequence<I...>)
{
    return {&branch<Link, I>...};
}

// By L and the condition.
constexpr std::array<Handler, 16> kBranches[2] = {branch_table<false>(std::make_index_sequence<16>()),
                                                  branch_table<true>(std::make_index_sequence<16>())};

constexpr auto kDpImm = dp_table<kImm>(std::make_index_sequence<32>());
constexpr auto kDpImmShift = dp_table<kImmShift>(std::make_index_sequence<32>());
constexpr auto kDpRegShift = dp_table<kRegShift>(std::make_index_sequence<32>());

}  // namespace

Handler decode_arm(uint32_t raw)
{
    if ((raw >> 28) == 0xF) return undefined_instruction;   // never runs: NV fails (see cpu.h)
    const uint32_t op = (raw >> 20) & 0xFF;                  // bits 27..20
    const uint32_t dp_index = (raw >> 20) & 31;              // opcode and S
    switch ((raw >> 25) & 7) {
    case 0: {
        const uint32_t low = (raw >> 4) & 0xF;
        if (low == 0x9) {
            if ((op & 0xFC) == 0x00) return multiply;
            if ((op & 0xF8) == 0x08) return multiply_long;
            if ((op & 0xFB) == 0x10) return swap;
            return undefined_instruction;
        }
        if ((low & 0x9) == 0x9) {   // halfword and signed transfers
            unsigned sh = (raw >> 5) & 3;
            bool l = raw & (1u << 20);
            if (l) return halfword_transfer<true>;
            if (sh == 1) return halfword_transfer<false>;
            return undefined_instruction;   // LDRD / STRD
        }
        if ((op & 0x19) == 0x10) {   // test opcodes without S: status and branch-exchange
            if (low == 0 && (op & 0x1B) == 0x10) return status_read;
            if (low == 0 && (op & 0x1B) == 0x12) return status_write<false>;
            if (low == 1 && op == 0x12) return branch_exchange;
            return undefined_instruction;   // BLX, CLZ, saturating and DSP multiplies, BKPT
        }
        return (raw & (1u << 4)) ? kDpRegShift[dp_index] : kDpImmShift[dp_index];
    }
    case 1:
        if ((op & 0x1B) == 0x12) return status_write<true>;
        if ((op & 0x19) == 0x10) return undefined_instruction;
        return kDpImm[dp_index];
    case 2:
    case 3: {
        if ((raw >> 25) & 1 && (raw & (1u << 4))) return undefined_instruction;
        bool l = raw & (1u << 20), b = raw & (1u << 22), reg = raw & (1u << 25);
        static constexpr Handler kTransfers[8] = {
            single_transfer<false, false, false>, single_transfer<false, false, true>,
            single_transfer<false, true, false>,  single_transfer<false, true, true>,
            single_transfer<true, false, false>,  single_transfer<true, false, true>,
            single_transfer<true, true, false>,   single_transfer<true, true, true>};
        return kTransfers[(l ? 4 : 0) | (b ? 2 : 0) | (reg ? 1 : 0)];
    }
    case 4: return block;
    case 5: return kBranches[(raw >> 24) & 1][raw >> 28];
    case 6: return undefined_instruction;   // LDC, STC: no coprocessor takes them
    default:
        if (raw & (1u << 24)) return software_interrupt;
        // Coprocessor 14's registers of the debug channel (opcodes 0, CRm
        // c0): the only coprocessor the ARM7TDMI has answers nothing else.
        switch (raw & 0x0FFF0FFF) {
        case 0x0E100E10:   // mrc p14, 0, Rd, c0, c0, 0
        case 0x0E110E10:   // mrc p14, 0, Rd, c1, c0, 0
            return debug_channel_read;
        case 0x0E010E10:   // mcr p14, 0, Rd, c1, c0, 0
            return debug_channel_write;
        }
        return undefined_instruction;   // CDP, and MRC/MCR to anything else
    }
}

ArmForm general_form_of(Handler h)
{
    ArmForm f;
    for (unsigned i = 0; i < kDpRegShift.size(); ++i) {
        if (kDpRegShift[i] != h) continue;
        f.kind = ArmForm::kDataProcessing;
        f.operand = ArmForm::kRegisterShifted;
        f.op = static_cast<uint8_t>(i / 2);
        f.s = i & 1;
        return f;
    }
    for (unsigned link = 0; link < 2; ++link) {
        for (unsigned cond = 0; cond < 16; ++cond) {
            if (kBranches[link][cond] != h) continue;
            f.kind = ArmForm::kBranch;
            f.link = link;
            f.cond = static_cast<uint8_t>(cond);
            return f;
        }
    }
    return f;
}

// Out of line: the common forms jump here without keeping anything.
[[gnu::noinline]] void execute_general_arm(Cpu &c, Decoded &d) { decode_arm(d.raw)(c, d); }

void decode_arm_into(Decoded &d, uint32_t raw)
{
    d = Decoded{decode_arm(raw), raw, d.aux};
    // A branch tests its condition itself.
    if (((raw >> 25) & 7) == 5 && d.cond != 0xF) d.cond = 0xE;
    predecode_arm(d);
}

void decode_arm_stub(Cpu &c, Decoded &d)
{
    d.aux = 0;
    decode_arm_into(d, c.code_for_decoding(4));
    // A straight run found before may reach past this entry: it is found again.
    c.moved_code();
    if (d.cond != 0xE && !c.cond(d.cond)) {
        c.fetch_s_arm();
        c.r[15] += 4;
        return;
    }
    d.fn(c, d);
}

}  // namespace sim::core
