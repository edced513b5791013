// The Thumb instruction set (16-bit, Thumb state): decoding into handlers
// and their execution. pc reads as the instruction's address + 4.
#include "sim/core/arm_forms.h"
#include "sim/core/cpu.h"
#include "sim/core/delay_loop.h"
#include "sim/core/pairs.h"
#include "sim/core/transfer.h"

namespace sim::core {

uint32_t shift_reg(uint32_t v, unsigned type, uint32_t amount, bool c_in, bool &carry);
void write_status(Cpu &c, uint32_t raw, uint32_t value);

namespace {

inline void next(Cpu &c) { c.r[15] += 2; }

// LSL, LSR, ASR by an immediate.
void shift_immediate(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned type = (raw >> 11) & 3, amount = (raw >> 6) & 31, rs = (raw >> 3) & 7, rd = raw & 7;
    uint32_t v = c.r[rs];
    bool carry = c.carry();
    uint32_t res;
    if (amount == 0) {
        if (type == 0) {
            res = v;
        } else {   // LSR #32, ASR #32
            carry = v >> 31;
            res = type == 1 ? 0 : (carry ? 0xFFFFFFFFu : 0);
        }
    } else if (type == 0) {
        carry = (v >> (32 - amount)) & 1;
        res = v << amount;
    } else {
        carry = (v >> (amount - 1)) & 1;
        res = type == 1 ? v >> amount : static_cast<uint32_t>(static_cast<int32_t>(v) >> amount);
    }
    c.r[rd] = res;
    c.set_nzc(res, carry);
    c.next_thumb_fetched();
}

void add_subtract(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned rn = (raw >> 6) & 7, rs = (raw >> 3) & 7, rd = raw & 7;
    uint32_t op = raw & (1u << 10) ? rn : c.r[rn];
    c.r[rd] = raw & (1u << 9) ? c.sub_flags(c.r[rs], op, 1) : c.add_flags(c.r[rs], op, 0);
    c.next_thumb_fetched();
}

// MOV, CMP, ADD, SUB with an 8-bit immediate.
template <unsigned Op>
void immediate(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned rd = (raw >> 8) & 7;
    const uint32_t imm = raw & 0xFF;
    switch (Op) {
    case 0: c.r[rd] = imm; c.set_nz(imm); break;
    case 1: c.sub_flags(c.r[rd], imm, 1); break;
    case 2: c.r[rd] = c.add_flags(c.r[rd], imm, 0); break;
    default: c.r[rd] = c.sub_flags(c.r[rd], imm, 1); break;
    }
    c.next_thumb_fetched();
}

template <unsigned Op>
void alu(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned rs = (raw >> 3) & 7, rd = raw & 7;
    const uint32_t a = c.r[rd], b = c.r[rs];
    const bool cin = c.carry();
    // The fetch comes before an I cycle; without one it may come last.
    constexpr bool kIdles = Op == 0x2 || Op == 0x3 || Op == 0x4 || Op == 0x7 || Op == 0xD;
    if constexpr (kIdles) c.fetch_s_thumb();
    auto finish = [&c] {
        if constexpr (kIdles)
            next(c);
        else
            c.next_thumb_fetched();
    };
    bool carry = cin;
    uint32_t res;
    switch (Op) {
    case 0x0: res = a & b; c.set_nz(res); break;
    case 0x1: res = a ^ b; c.set_nz(res); break;
    case 0x2: c.idle(); res = shift_reg(a, 0, b, cin, carry); c.set_nzc(res, carry); break;
    case 0x3: c.idle(); res = shift_reg(a, 1, b, cin, carry); c.set_nzc(res, carry); break;
    case 0x4: c.idle(); res = shift_reg(a, 2, b, cin, carry); c.set_nzc(res, carry); break;
    case 0x5: res = c.add_flags(a, b, cin); break;
    case 0x6: res = c.sub_flags(a, b, cin); break;
    case 0x7: c.idle(); res = shift_reg(a, 3, b, cin, carry); c.set_nzc(res, carry); break;
    case 0x8: c.set_nz(a & b); finish(); return;                   // TST
    case 0x9: res = c.sub_flags(0, b, 1); break;                    // NEG
    case 0xA: c.sub_flags(a, b, 1); finish(); return;               // CMP
    case 0xB: c.add_flags(a, b, 0); finish(); return;               // CMN
    case 0xC: res = a | b; c.set_nz(res); break;
    case 0xD:                                                       // MUL
        c.idle(multiplier_cycles(a, true));
        res = a * b;
        c.set_nz(res);
        break;
    case 0xE: res = a & ~b; c.set_nz(res); break;
    default: res = ~b; c.set_nz(res); break;
    }
    c.r[rd] = res;
    finish();
}

// ADD, CMP, MOV with a high register, and BX.
template <unsigned Op>
void high_register(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned rs = (raw >> 3) & 15, rd = (raw & 7) | ((raw >> 4) & 8);
    const uint32_t pc = c.r[15];
    const uint32_t v = rs == 15 ? pc + 4 : c.r[rs];
    switch (Op) {
    case 0: {
        uint32_t res = (rd == 15 ? pc + 4 : c.r[rd]) + v;
        if (rd == 15) {
            c.fetch_s_thumb();
            c.branch_in<true>(res & ~1u);
            return;
        }
        c.r[rd] = res;
        break;
    }
    case 1: c.sub_flags(rd == 15 ? pc + 4 : c.r[rd], v, 1); break;
    case 2:
        if (rd == 15) {
            c.fetch_s_thumb();
            c.branch_in<true>(v & ~1u);
            return;
        }
        c.r[rd] = v;
        break;
    default:
        c.fetch_s_thumb();
        if (v & 1) {
            c.branch_in<true>(v & ~1u);
        } else {
            c.control &= ~kCpsrT;
            c.moved_code();
            c.branch_in<false>(v & ~3u);
        }
        return;
    }
    c.next_thumb_fetched();
}

// BX by a register other than pc (high_register<3> takes pc), mostly a
// return to Thumb code in the window.
template <unsigned Rs>
[[gnu::noinline]] void branch_exchange_general(Cpu &c)
{
    const uint32_t v = c.r[Rs];
    c.fetch_s_thumb();
    if (v & 1) [[likely]] {
        const uint32_t target = v & ~1u;
        if (c.in_window(target)) [[likely]]
            c.branch_near<true>(target);
        else
            c.branch_in<true>(target);
        return;
    }
    c.control &= ~kCpsrT;
    c.moved_code();
    c.branch_in<false>(v & ~3u);
}

template <unsigned Rs>
void branch_exchange(Cpu &c, Decoded &)
{
    const uint32_t v = c.r[Rs];
    if ((v & 1) && c.thumb_branch_straight(c.r[15], v & ~1u)) [[likely]]
        return;
    branch_exchange_general<Rs>(c);
}

void load_literal(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    const uint32_t address = ((pc + 4) & ~3u) + (d.raw & 0xFF) * 4;
    c.fetch_s_thumb();
    // The literal pool is nearly always in the memory of the code itself:
    // read there as Cpu::read_long would, an N cycle (taking the read
    // buffers from the code), then the I cycle.
    if (c.in_window(address) && !c.access_hooks) [[likely]] {
        const uint32_t value = Cpu::load_host<4>(c.code_host + (address - c.code_base));
        c.cycles += c.code_n + 1;
        if (c.code_buffered) c.clear_read_buffers();
        c.r[(d.raw >> 8) & 7] = value;
        c.r[15] = pc + 2;
        return;
    }
    uint32_t value;
    if (!load(c, Load::Word, address, value)) {
        c.idle();
        c.data_abort();
        return;
    }
    finish_load(c, (d.raw >> 8) & 7, value, pc + 2);
}

// An aligned access to a page without memory (a peripheral, or nothing)
// that no tool watches goes straight to the bus, as load() and store()
// would take it there.
template <bool IsLoad, Load Kind, unsigned Size>
[[gnu::always_inline]] inline bool to_bus(Cpu &c, uint32_t address, unsigned rd)
{
    if ((address & (Size - 1)) || c.page_region[address >> 12] != 0 || c.access_hooks) return false;
    if constexpr (IsLoad) {
        c.fetch_s_thumb();
        uint32_t value;
        if (!c.bus_read(address, Size, value)) {
            c.idle();
            c.data_abort();
            return true;
        }
        if constexpr (Kind == Load::SignedByte)
            value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(value)));
        else if constexpr (Kind == Load::SignedHalf)
            value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(value)));
        c.idle();
        c.r[rd] = value;
    } else {
        c.fetch(false, true, c.r[15] + 4);
        if (!(Size == 4 && c.stored_at_port(address, c.r[rd])) && !c.bus_write_whole(address, Size, c.r[rd])) {
            c.data_abort();
            return true;
        }
    }
    next(c);
    return true;
}

template <bool IsLoad, Load Kind, unsigned Size>
[[gnu::noinline]] void transfer_long(Cpu &c, uint32_t address, unsigned rd)
{
    if (to_bus<IsLoad, Kind, Size>(c, address, rd)) return;
    if constexpr (IsLoad) {
        c.fetch_s_thumb();
        uint32_t value;
        if (!load(c, Kind, address, value)) {
            c.idle();
            c.data_abort();
            return;
        }
        finish_load(c, rd, value, c.r[15] + 2);
    } else {
        c.fetch_n();
        if (!store(c, Size, address, c.r[rd])) {
            c.data_abort();
            return;
        }
        next(c);
    }
}

// The data cycle of transfer() and what follows it, once the fetch is made.
template <bool IsLoad, Load Kind, unsigned Size>
[[gnu::always_inline]] inline void transfer_data(Cpu &c, const Region *g, uint32_t address, unsigned rd)
{
    uint8_t *host = g->host + (address & g->mask);
    if constexpr (IsLoad) {
        uint32_t value = Cpu::load_host<Size>(host);
        if constexpr (Kind == Load::SignedByte)
            value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(value)));
        else if constexpr (Kind == Load::SignedHalf)
            value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(value)));
        c.cycles += 1 + g->wait_n + 1;
        c.r[rd] = value;
    } else {
        Cpu::store_host<Size>(host, c.r[rd]);
        c.cycles += 1 + g->wait_n;
    }
    next(c);
}

// The same after a fetch through the read buffers off the straight path.
template <bool IsLoad, Load Kind, unsigned Size>
[[gnu::noinline]] void transfer_after_fetch(Cpu &c, const Region *g, uint32_t address, unsigned rd)
{
    c.fetch_buffered_any(c.r[15] + 4);
    transfer_data<IsLoad, Kind, Size>(c, g, address, rd);
}

// Aligned, to plain memory (Cpu::plain) and with nothing in the way, the
// transfer is done here, the rest by transfer_long. A load is 1S (the
// fetch), 1N (the read), 1I; a store 2N, the fetch and the write. A fetch
// through the read buffers off the straight path goes on out of line, so
// that the common case keeps no registers.
template <bool IsLoad, Load Kind, unsigned Size>
[[gnu::always_inline]] inline void transfer(Cpu &c, uint32_t address, unsigned rd)
{
    const Region *g = !(address & (Size - 1)) ? c.plain<!IsLoad>(address) : nullptr;
    if (!g) [[unlikely]]
        return transfer_long<IsLoad, Kind, Size>(c, address, rd);
    if (!c.fetch_straight(c.r[15] + 4)) {
        if (c.code_buffered) [[unlikely]]
            return transfer_after_fetch<IsLoad, Kind, Size>(c, g, address, rd);
        c.cycles += IsLoad ? c.code_s : c.code_n;
    }
    transfer_data<IsLoad, Kind, Size>(c, g, address, rd);
}

// STR, STRH, STRB, LDRSB, LDR, LDRH, LDRB, LDRSH with a register offset.
template <unsigned Op>
void transfer_register_offset(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const uint32_t address = c.r[(raw >> 3) & 7] + c.r[(raw >> 6) & 7];
    const unsigned rd = raw & 7;
    switch (Op) {
    case 0: transfer<false, Load::Word, 4>(c, address, rd); break;
    case 1: transfer<false, Load::Half, 2>(c, address, rd); break;
    case 2: transfer<false, Load::Byte, 1>(c, address, rd); break;
    case 3: transfer<true, Load::SignedByte, 1>(c, address, rd); break;
    case 4: transfer<true, Load::Word, 4>(c, address, rd); break;
    case 5: transfer<true, Load::Half, 2>(c, address, rd); break;
    case 6: transfer<true, Load::Byte, 1>(c, address, rd); break;
    default: transfer<true, Load::SignedHalf, 2>(c, address, rd); break;
    }
}

// LDR/STR, LDRB/STRB, LDRH/STRH with a 5-bit offset scaled by the size.
template <bool IsLoad, Load Kind, unsigned Size>
void transfer_immediate(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    transfer<IsLoad, Kind, Size>(c, c.r[(raw >> 3) & 7] + ((raw >> 6) & 31) * Size, raw & 7);
}

template <bool IsLoad>
void transfer_stack(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    transfer<IsLoad, Load::Word, 4>(c, c.r[13] + (raw & 0xFF) * 4, (raw >> 8) & 7);
}

void load_address(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    uint32_t base = raw & (1u << 11) ? c.r[13] : (c.r[15] + 4) & ~3u;
    c.r[(raw >> 8) & 7] = base + (raw & 0xFF) * 4;
    c.next_thumb_fetched();
}

void adjust_stack(Cpu &c, Decoded &d)
{
    uint32_t imm = (d.raw & 0x7F) * 4;
    c.r[13] = d.raw & (1u << 7) ? c.r[13] - imm : c.r[13] + imm;
    c.next_thumb_fetched();
}

void push_pop(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const bool pop = raw & (1u << 11), extra = raw & (1u << 8);
    uint32_t list = raw & 0xFF;
    if (extra) list |= pop ? 1u << 15 : 1u << 14;
    BlockTransfer t{13, list, !pop, pop, true, false, c.r[15] + 6, c.r[15] + 2};
    if (pop)
        block_load(c, t);
    else
        block_store(c, t);
}

void multiple(Cpu &c, Decoded &d)
{
    const uint32_t raw = d.raw;
    const unsigned rb = (raw >> 8) & 7;
    const uint32_t list = raw & 0xFF;
    const bool is_load = raw & (1u << 11);
    BlockTransfer t{rb, list, false, true, true, false, c.r[15] + 6, c.r[15] + 2};
    if (is_load)
        block_load(c, t);
    else
        block_store(c, t);
}

// A taken branch from `pc` by `offset`, and the delay loop it may close.
// Out of the code window it is made out of line, so that the common one
// keeps no registers.
[[gnu::noinline]] void branch_far(Cpu &c, Decoded &d, uint32_t pc, int32_t offset)
{
    c.branch_in<true>(pc + 4 + static_cast<uint32_t>(offset));
    if (offset < 0 && d.aux != kNotALoop) delay_loop_closed(c, d, pc);
}

[[gnu::always_inline]] inline void branch_by(Cpu &c, Decoded &d, uint32_t pc, int32_t offset)
{
    const uint32_t target = pc + 4 + static_cast<uint32_t>(offset);
    if (!c.in_window(target)) [[unlikely]]
        return branch_far(c, d, pc, offset);
    c.branch_near<true>(target);
    if (offset < 0 && d.aux != kNotALoop) delay_loop_closed(c, d, pc);
}

[[gnu::noinline]] void take_branch_general(Cpu &c, Decoded &d, uint32_t pc, int32_t offset)
{
    c.fetch_s_thumb();
    branch_by(c, d, pc, offset);
}

// A taken branch by `offset`: the common case here, one that may close a
// delay loop (backward, of a loop or not looked at yet) and the rest out of
// line.
[[gnu::always_inline]] inline void take_branch(Cpu &c, Decoded &d, int32_t offset)
{
    const uint32_t pc = c.r[15];
    if ((offset >= 0 || d.aux == kNotALoop) && c.thumb_branch_straight(pc, pc + 4 + static_cast<uint32_t>(offset)))
        [[likely]] return;
    take_branch_general(c, d, pc, offset);
}

// Out of line: a paired compare ends with a jump here.
[[gnu::noinline]] void conditional_branch(Cpu &c, Decoded &d)
{
    if (!c.cond((d.raw >> 8) & 15)) {
        c.next_thumb_fetched();
        return;
    }
    take_branch(c, d, static_cast<int32_t>(d.raw << 24) >> 23);
}

// A compare paired with the conditional branch in the entry after it (see
// pairs.h).
template <Handler Compare>
void compare_and_branch(Cpu &c, Decoded &d)
{
    Compare(c, d);
    if (pair_goes_on(c)) [[likely]] {
        ++c.instructions;
        conditional_branch(c, (&d)[1]);
    }
}

void software_interrupt(Cpu &c, Decoded &)
{
    c.fetch_s_thumb();
    c.take(Exception::SoftwareInterrupt, c.r[15] + 2);
}

void unconditional_branch(Cpu &c, Decoded &d) { take_branch(c, d, static_cast<int32_t>(d.raw << 21) >> 20); }

// BL is two instructions: the first puts the upper offset into LR, the
// second branches and leaves the return address (Thumb bit set) in LR.
void long_branch_second(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    c.fetch_s_thumb();
    uint32_t target = c.r[14] + ((d.raw & 0x7FF) << 1);
    c.r[14] = (pc + 2) | 1;
    c.branch_in<true>(target & ~1u);
}

// The first half runs the second one too where the run loop would go
// straight on to it (plain execution, still short of its cycle limit, both
// halves in the code window), counting it as an instruction of its own.
// Where the run loop would stop between them (the limit reached: an event
// may raise an interrupt there) it still does.
void long_branch_first(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    int32_t high = static_cast<int32_t>(d.raw << 21) >> 9;
    c.r[14] = pc + 4 + static_cast<uint32_t>(high);
    c.next_thumb_fetched();
    const uint32_t offset = pc - c.code_base;
    if (c.cycles < c.run_until && offset + 2 < c.code_size && !c.stepping) {
        Decoded &second = c.code_thumb[(offset + 2) >> 1];
        if (second.fn == long_branch_second) {
            ++c.instructions;
            long_branch_second(c, second);
        }
    }
}

// The first half of a BL alone, its fetch made.
[[gnu::always_inline]] inline void long_branch_first_alone(Cpu &c, const Decoded &d, uint32_t pc)
{
    c.r[14] = pc + 4 + static_cast<uint32_t>(static_cast<int32_t>(d.raw << 21) >> 9);
    c.r[15] = pc + 2;
}

// Both halves of a BL whose second half is in the entry after it (see
// pairs.h), the whole offset in imm: the first half's fetch, then, where
// long_branch_first would go on to the second half, the second's fetch
// and the branch.
[[gnu::noinline]] void long_branch_pair_general(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15];
    c.fetch_s_thumb();
    if (c.cycles < c.run_until && !c.stepping) [[likely]] {
        ++c.instructions;
        c.fetch(true, true, pc + 6);
        c.r[14] = (pc + 4) | 1;
        c.branch_in<true>(pc + 4 + d.imm);
        return;
    }
    long_branch_first_alone(c, d, pc);
}

// The same with both fetches and the refill the common case (see
// Cpu::thumb_branch_straight), made with no call.
void long_branch_pair(Cpu &c, Decoded &d)
{
    const uint32_t pc = c.r[15], target = pc + 4 + d.imm;
    if (c.read_buffer.next != uint64_t{pc} + 4 || !c.in_window(target)) [[unlikely]]
        return long_branch_pair_general(c, d);
    c.fetch_straight(pc + 4);
    if (!(c.cycles < c.run_until && !c.stepping)) [[unlikely]]
        return long_branch_first_alone(c, d, pc);
    ++c.instructions;
    c.fetch_straight(pc + 6);
    c.r[14] = (pc + 4) | 1;
    c.r[15] = target;
    c.refill_buffered(target);
}

void undefined_instruction(Cpu &c, Decoded &) { c.undefined(); }

}  // namespace

Handler decode_thumb(uint32_t raw)
{
    switch (raw >> 13) {
    case 0: return ((raw >> 11) & 3) == 3 ? add_subtract : shift_immediate;
    case 1: {
        static constexpr Handler kImmediate[4] = {immediate<0>, immediate<1>, immediate<2>, immediate<3>};
        return kImmediate[(raw >> 11) & 3];
    }
    case 2:
        if ((raw >> 10) == 0x10) {
            static constexpr Handler kAlu[16] = {alu<0>, alu<1>, alu<2>,  alu<3>,  alu<4>,  alu<5>,  alu<6>,  alu<7>,
                                                 alu<8>, alu<9>, alu<10>, alu<11>, alu<12>, alu<13>, alu<14>, alu<15>};
            return kAlu[(raw >> 6) & 15];
        }
        if ((raw >> 10) == 0x11) {
            // BX with H1 set is ARMv5's BLX.
            if (((raw >> 8) & 3) == 3 && (raw & 0x80)) return undefined_instruction;
            if (((raw >> 8) & 3) == 3 && ((raw >> 3) & 15) != 15) {
                static constexpr Handler kBx[15] = {
                    branch_exchange<0>,  branch_exchange<1>,  branch_exchange<2>,  branch_exchange<3>,
                    branch_exchange<4>,  branch_exchange<5>,  branch_exchange<6>,  branch_exchange<7>,
                    branch_exchange<8>,  branch_exchange<9>,  branch_exchange<10>, branch_exchange<11>,
                    branch_exchange<12>, branch_exchange<13>, branch_exchange<14>};
                return kBx[(raw >> 3) & 15];
            }
            static constexpr Handler kHigh[4] = {high_register<0>, high_register<1>, high_register<2>,
                                                 high_register<3>};
            return kHigh[(raw >> 8) & 3];
        }
        if ((raw >> 11) == 0x09) return load_literal;
        {
            static constexpr Handler kRegisterOffset[8] = {
                transfer_register_offset<0>, transfer_register_offset<1>, transfer_register_offset<2>,
                transfer_register_offset<3>, transfer_register_offset<4>, transfer_register_offset<5>,
                transfer_register_offset<6>, transfer_register_offset<7>};
            return kRegisterOffset[(raw >> 9) & 7];
        }
    case 3: {
        bool l = raw & (1u << 11);
        if (raw & (1u << 12))
            return l ? transfer_immediate<true, Load::Byte, 1> : transfer_immediate<false, Load::Byte, 1>;
        return l ? transfer_immediate<true, Load::Word, 4> : transfer_immediate<false, Load::Word, 4>;
    }
    case 4: {
        bool l = raw & (1u << 11);
        if (raw & (1u << 12)) return l ? transfer_stack<true> : transfer_stack<false>;
        return l ? transfer_immediate<true, Load::Half, 2> : transfer_immediate<false, Load::Half, 2>;
    }
    case 5:
        if (!(raw & (1u << 12))) return load_address;
        if ((raw & 0x0F00) == 0x0000) return adjust_stack;
        if ((raw & 0x0600) == 0x0400) return push_pop;
        return undefined_instruction;   // BKPT and later architectures' additions
    case 6:
        if (!(raw & (1u << 12))) return multiple;
        if (((raw >> 8) & 15) == 0xF) return software_interrupt;
        if (((raw >> 8) & 15) == 0xE) return undefined_instruction;
        return conditional_branch;
    default:
        switch ((raw >> 11) & 3) {
        case 0: return unconditional_branch;
        case 1: return undefined_instruction;   // BLX suffix
        case 2: return long_branch_first;
        default: return long_branch_second;
        }
    }
}

bool pair_thumb(Decoded &compare, const Decoded &next)
{
    if (compare.fn == long_branch_first && next.fn == long_branch_second) {
        const int32_t high = static_cast<int32_t>(compare.raw << 21) >> 9;
        compare.imm = static_cast<uint32_t>(high) + ((next.raw & 0x7FF) << 1);
        compare.fn = long_branch_pair;
        return true;
    }
    static constexpr Handler kCompares[][2] = {
        {alu<0x8>, compare_and_branch<alu<0x8>>},                       // TST
        {alu<0xA>, compare_and_branch<alu<0xA>>},                       // CMP
        {alu<0xB>, compare_and_branch<alu<0xB>>},                       // CMN
        {immediate<1>, compare_and_branch<immediate<1>>},               // CMP #
        {high_register<1>, compare_and_branch<high_register<1>>}};      // CMP, high registers
    if (next.fn != conditional_branch) return false;
    for (const auto &[plain, paired] : kCompares) {
        if (compare.fn != plain) continue;
        compare.fn = paired;
        compare.paired = true;
        return true;
    }
    return false;
}

bool paired_compare(Handler h)
{
    return h == compare_and_branch<alu<0x8>> || h == compare_and_branch<alu<0xA>> ||
           h == compare_and_branch<alu<0xB>> || h == compare_and_branch<immediate<1>> ||
           h == compare_and_branch<high_register<1>>;
}

bool paired_bl(Handler h) { return h == long_branch_pair; }

[[gnu::noinline]] void execute_general_thumb(Cpu &c, Decoded &d) { decode_thumb(d.raw)(c, d); }

void decode_thumb_into(Decoded &d, uint32_t raw)
{
    d = Decoded{decode_thumb(raw), raw, d.aux};
    thumb_block_form(d);
}

void decode_thumb_stub(Cpu &c, Decoded &d)
{
    d.aux = 0;
    decode_thumb_into(d, c.code_for_decoding(2));
    d.fn(c, d);
}

}  // namespace sim::core
