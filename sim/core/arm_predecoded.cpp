// The ARM forms that make up most code, run from operands taken out of the
// encoding once, at decoding: data processing with an immediate or an
// immediate-shifted register, LDR/STR/LDRB/STRB, none of them naming pc
// (pc as an operand or a destination, and every other form, stay with the
// general handlers of arm.cpp, which these must match cycle for cycle).
#include "sim/core/arm_alu.h"
#include "sim/core/arm_forms.h"
#include "sim/core/cpu.h"

#include <array>
#include <utility>

namespace sim::core {

namespace {

enum Operand { kImmediate, kRegister, kShifted };

// Decoded::bits of data processing: the immediate was rotated (its top bit
// is the shifter's carry-out).
constexpr uint8_t kRotated = 1;
// Decoded::bits of single transfers.
constexpr uint8_t kUp = 1, kWriteBack = 2;

template <unsigned Op, int Kind, bool S>
void data_processing(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    c.fetch_s_arm();
    const bool cin = c.carry();
    bool sc = cin;
    uint32_t op2;
    if constexpr (Kind == kImmediate) {
        op2 = d.imm;
        if (d.bits & kRotated) sc = op2 >> 31;
    } else if constexpr (Kind == kRegister) {
        op2 = c.r[d.rm];
    } else {
        op2 = shift_imm(c.r[d.rm], d.shift, d.amount, cin, sc);
    }
    const uint32_t res = alu_operation<Op, S>(c, c.r[d.rn], op2, cin, sc);
    if constexpr (Op < 8 || Op > 11) c.r[d.rd] = res;
    c.r[15] = pc + 4;
}

// Aligned, to plain memory (Cpu::plain) and with nothing in the way, the
// transfer is done here; anything else (a peripheral, a misaligned
// address, an abort, a store into code, a tool) goes to the general handler
// before anything has changed.
template <bool L, bool B, bool Pre, int Kind, bool Up, bool WriteBack>
void single_transfer(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    uint32_t offset;
    if constexpr (Kind == kRegister) {
        offset = c.r[d.rm];
    } else if constexpr (Kind == kShifted) {
        bool unused;
        offset = shift_imm(c.r[d.rm], d.shift, d.amount, c.carry(), unused);
    } else {
        offset = d.imm;
    }
    const uint32_t base = c.r[d.rn];
    const uint32_t moved = Up ? base + offset : base - offset;
    const uint32_t address = Pre ? moved : base;
    const Region *g = B || !(address & 3) ? c.plain<!L>(address) : nullptr;
    if (!g) [[unlikely]]
        return execute_general_arm(c, d);
    uint8_t *host = g->host + (address & g->mask);
    if constexpr (L) {
        // 1S (the fetch), 1N (the read), 1I.
        const uint32_t value = Cpu::load_host<B ? 1 : 4>(host);
        c.cycles += c.code_s + 1 + g->wait_n + 1;
        if (WriteBack) c.r[d.rn] = moved;
        c.r[d.rd] = value;
    } else {
        // 2N: the fetch and the write.
        Cpu::store_host<B ? 1 : 4>(host, c.r[d.rd]);
        c.cycles += c.code_n + 1 + g->wait_n;
        if (WriteBack) c.r[d.rn] = moved;
    }
    c.r[15] = pc + 4;
}

template <int Kind, std::size_t... I>
constexpr std::array<Handler, 32> dp_table(std::index_sequence<I...>)
{
    return {&data_processing<I / 2, Kind, (I & 1) != 0>...};
}

constexpr auto kDpImmediate = dp_table<kImmediate>(std::make_index_sequence<32>());
constexpr auto kDpRegister = dp_table<kRegister>(std::make_index_sequence<32>());
constexpr auto kDpShifted = dp_table<kShifted>(std::make_index_sequence<32>());

// By L, B, P, U and write-back (bits 4..0 of the index).
template <int Kind, std::size_t... I>
constexpr std::array<Handler, 32> transfer_table(std::index_sequence<I...>)
{
    return {&single_transfer<(I & 16) != 0, (I & 8) != 0, (I & 4) != 0, Kind, (I & 2) != 0, (I & 1) != 0>...};
}

constexpr auto kTransferImmediate = transfer_table<kImmediate>(std::make_index_sequence<32>());
constexpr auto kTransferRegister = transfer_table<kRegister>(std::make_index_sequence<32>());
constexpr auto kTransferShifted = transfer_table<kShifted>(std::make_index_sequence<32>());

// The register operand with its immediate shift (LSL #0: the register alone).
int shifted_register(Decoded &d, uint32_t raw)
{
    d.rm = raw & 15;
    d.shift = (raw >> 5) & 3;
    d.amount = (raw >> 7) & 31;
    return d.shift == 0 && d.amount == 0 ? kRegister : kShifted;
}

bool data_processing_form(Decoded &d)
{
    const uint32_t raw = d.raw;
    const bool immediate = (raw >> 25) & 1;
    const uint32_t op = (raw >> 21) & 15;
    const bool test = op >= 8 && op <= 11, move = op == 0xD || op == 0xF;
    // Without S the test opcodes are the status and branch-exchange space.
    if (test && !(raw & (1u << 20))) return false;
    if (!immediate && (raw & (1u << 4))) return false;   // register-specified shift and the multiply space
    d.rd = (raw >> 12) & 15;
    d.rn = (raw >> 16) & 15;
    if ((d.rd == 15 && !test) || (d.rn == 15 && !move)) return false;
    int kind = kImmediate;
    if (immediate) {
        const unsigned rot = (raw >> 7) & 0x1E;
        d.imm = rotr(raw & 0xFF, rot);
        d.bits = rot ? kRotated : 0;
    } else {
        kind = shifted_register(d, raw);
        if (d.rm == 15) return false;
    }
    const uint32_t index = (raw >> 20) & 31;
    d.fn = kind == kImmediate ? kDpImmediate[index] : kind == kRegister ? kDpRegister[index] : kDpShifted[index];
    return true;
}

bool single_transfer_form(Decoded &d)
{
    const uint32_t raw = d.raw;
    const bool reg = (raw >> 25) & 1;
    if (reg && (raw & (1u << 4))) return false;   // undefined
    d.rd = (raw >> 12) & 15;
    d.rn = (raw >> 16) & 15;
    if (d.rd == 15 || d.rn == 15) return false;
    int kind = kImmediate;
    if (reg) {
        kind = shifted_register(d, raw);
        if (d.rm == 15) return false;
    } else {
        d.imm = raw & 0xFFF;
    }
    const bool pre = raw & (1u << 24), up = raw & (1u << 23), write_back = !pre || (raw & (1u << 21));
    d.bits = static_cast<uint8_t>((up ? kUp : 0) | (write_back ? kWriteBack : 0));
    const uint32_t index = (raw & (1u << 20) ? 16 : 0) | (raw & (1u << 22) ? 8 : 0) | (pre ? 4 : 0) | (up ? 2 : 0) |
                           (write_back ? 1 : 0);
    d.fn = kind == kImmediate ? kTransferImmediate[index] : kind == kRegister ? kTransferRegister[index]
                                                                               : kTransferShifted[index];
    return true;
}

}  // namespace

ArmForm arm_form_of(Handler h)
{
    ArmForm f;
    const std::array<Handler, 32> *dp[] = {&kDpImmediate, &kDpRegister, &kDpShifted};
    const std::array<Handler, 32> *transfers[] = {&kTransferImmediate, &kTransferRegister, &kTransferShifted};
    for (int kind = 0; kind < 3; ++kind) {
        for (unsigned i = 0; i < 32; ++i) {
            if ((*dp[kind])[i] == h) {
                f.kind = ArmForm::kDataProcessing;
                f.operand = static_cast<uint8_t>(kind);
                f.op = static_cast<uint8_t>(i / 2);
                f.s = i & 1;
                return f;
            }
            if ((*transfers[kind])[i] == h) {
                f.kind = ArmForm::kTransfer;
                f.operand = static_cast<uint8_t>(kind);
                f.load = i & 16;
                f.byte = i & 8;
                f.pre = i & 4;
                f.up = i & 2;
                f.write_back = i & 1;
                return f;
            }
        }
    }
    f = transfer_form_of(h);
    return f.kind != ArmForm::kNone ? f : general_form_of(h);
}

bool predecode_arm(Decoded &d)
{
    const uint32_t raw = d.raw;
    if ((raw >> 28) == 0xF) return false;
    switch ((raw >> 25) & 7) {
    case 0: {
        const uint32_t low = (raw >> 4) & 0xF;
        if (low == 0x9) return (raw & 0x0FC00000) == 0 && multiply_form(d);
        if ((low & 0x9) == 0x9) return halfword_form(d);
        return data_processing_form(d);
    }
    case 1: return data_processing_form(d);
    case 2:
    case 3: return single_transfer_form(d);
    case 4: return block_form(d);
    default: return false;
    }
}

}  // namespace sim::core
