// Thumb instructions in a run's host code: the register and immediate
// operations, the loads and stores to plain memory and the literal loads
// from the code's own memory inline, as their handlers in thumb.cpp do
// them (the same cycles, the fetch through the read buffers at the same
// point), and the run's last instruction where it is a branch (B, B<cond>,
// a compare paired with its B<cond>, a BL) to the code window with the
// buffers running straight on; everything else by its handler. An entry is
// done inline only while it runs the handler it is decoded to, or, at a
// delay loop's head, after the skip's replay.
#include "sim/core/arm_forms.h"
#include "sim/core/delay_loop.h"
#include "sim/core/jit/run_emitter.h"
#include "sim/core/pairs.h"

namespace sim::core::jit {

namespace {

using namespace Xbyak::util;

// An access of `size` bytes at esi, to plain memory: the fetch of the
// instruction two ahead first, then the data cycle; a word store to a port
// of the bus out of line; elsewhere (a peripheral, misaligned, code in the
// way) the handler does all of it.
void transfer(RunEmitter &e, Decoded &d, uint32_t pc, bool load, unsigned size, bool sign, unsigned rd)
{
    Xbyak::Label &slow = e.label(), &back = e.label();
    const RunEmitter::State at_jump = e.state();
    if (size > 1) {
        e.test(esi, size - 1);
        e.jnz(slow, RunEmitter::T_NEAR);
    }
    // A word store elsewhere than to plain memory: to a port, mostly.
    const bool port = !load && size == 4;
    Xbyak::Label &other = port ? e.label() : slow;
    e.plain_region(!load, other);
    e.thumb_fetch(pc + 4, load);   // a store's fetch is N
    if (load) {
        e.load_host(size, sign);
        e.lea(rbp, e.ptr[rbp + r10 + 2]);   // 1N, 1I
        e.mov(e.reg(rd), eax);
    } else {
        e.store_host(size, rd);
        e.lea(rbp, e.ptr[rbp + r10 + 1]);   // 1N
    }
    e.L(back);
    e.call_handler_cold(d, pc, at_jump, slow, back);
    if (port) e.store_at_port_cold(pc, rd, at_jump, other, slow, back, [&e, pc] { e.thumb_fetch(pc + 4, false); });
}

// The ALU operations on two low registers that take no I cycle; false for
// the others (shifts by a register, MUL).
bool alu(RunEmitter &e, uint32_t raw, uint32_t pc)
{
    const unsigned op = (raw >> 6) & 15, rd = raw & 7, rs = (raw >> 3) & 7;
    bool store = true, arithmetic = false, subtract = false;
    Xbyak::Reg32 res = eax;
    switch (op) {
    case 0x2: case 0x3: case 0x4: case 0x7: case 0xD: return false;
    default: break;
    }
    e.mov(eax, e.reg(rd));
    e.mov(ecx, e.reg(rs));
    switch (op) {
    case 0x0: e.and_(eax, ecx); break;
    case 0x1: e.xor_(eax, ecx); break;
    case 0x5: e.carry_in(false); e.adc(eax, ecx); arithmetic = true; break;
    case 0x6: e.carry_in(true); e.sbb(eax, ecx); arithmetic = subtract = true; break;
    case 0x8: e.and_(eax, ecx); store = false; break;                                   // TST
    case 0x9: e.xor_(eax, eax); e.sub(eax, ecx); arithmetic = subtract = true; break;   // NEG
    case 0xA: e.cmp(eax, ecx); arithmetic = subtract = true; store = false; break;
    case 0xB: e.add(eax, ecx); arithmetic = true; store = false; break;                 // CMN
    case 0xC: e.or_(eax, ecx); break;
    case 0xE: e.not_(ecx); e.and_(eax, ecx); break;
    default: e.not_(ecx); res = ecx; break;                                              // MVN
    }
    if (arithmetic)
        e.set_nzcv(subtract);
    else
        e.set_nz(res);
    if (store) e.mov(e.reg(rd), res);
    e.thumb_fetch(pc + 4);
    return true;
}

// ADD, CMP and MOV with a high register, not into pc.
bool high_register(RunEmitter &e, uint32_t raw, uint32_t pc)
{
    const unsigned op = (raw >> 8) & 3, rs = (raw >> 3) & 15, rd = (raw & 7) | ((raw >> 4) & 8);
    if (op == 3 || (op != 1 && rd == 15)) return false;
    auto value = [&](const Xbyak::Reg32 &to, unsigned n) {
        if (n == 15)
            e.mov(to, pc + 4);
        else
            e.mov(to, e.reg(n));
    };
    value(ecx, rs);
    if (op == 2) {
        e.mov(e.reg(rd), ecx);
    } else {
        value(eax, rd);
        if (op == 0) {
            e.add(eax, ecx);
            e.mov(e.reg(rd), eax);
        } else {
            e.cmp(eax, ecx);
            e.set_nzcv(true);
        }
    }
    e.thumb_fetch(pc + 4);
    return true;
}

// LDR rd, [pc, #imm] from the code's own memory (load_literal's common
// case): an N read of the memory, which takes it from the read buffers.
bool load_literal(RunEmitter &e, uint32_t raw, uint32_t pc)
{
    Cpu &c = e.cpu();
    const uint32_t address = ((pc + 4) & ~3u) + (raw & 0xFF) * 4;
    if (!c.in_window(address)) return false;
    e.thumb_fetch(pc + 4);
    e.mov(rax, reinterpret_cast<uintptr_t>(c.code_host + (address - c.code_base)));
    e.mov(eax, e.dword[rax]);
    e.mov(e.reg((raw >> 8) & 7), eax);
    e.lea(rbp, e.ptr[rbp + r14 + 1]);
    e.buffers_emptied();
    return true;
}

// PUSH, POP (not of pc), LDMIA and STMIA.
bool block_transfer(RunEmitter &e, Decoded &d, uint32_t pc)
{
    if (!thumb_block_handler(d.fn) || (d.imm & (1u << 15))) return false;
    const bool load = d.raw & (1u << 11), push = (d.raw & 0xF600) == 0xB400 && !load;
    emit_block_transfer(e, d, {load, push, !push, true}, pc);
    return true;
}

bool emit_inline(RunEmitter &e, Decoded &d, uint32_t pc)
{
    const uint32_t raw = d.raw;
    switch (raw >> 13) {
    case 0: {
        const unsigned rd = raw & 7, rs = (raw >> 3) & 7;
        if (((raw >> 11) & 3) == 3) {   // ADD, SUB: a register or a 3-bit immediate
            const bool subtract = raw & (1u << 9);
            e.mov(eax, e.reg(rs));
            if (raw & (1u << 10))
                e.mov(ecx, (raw >> 6) & 7);
            else
                e.mov(ecx, e.reg((raw >> 6) & 7));
            subtract ? e.sub(eax, ecx) : e.add(eax, ecx);
            e.set_nzcv(subtract);
            e.mov(e.reg(rd), eax);
        } else {   // LSL, LSR, ASR by an immediate
            const unsigned type = (raw >> 11) & 3, amount = (raw >> 6) & 31;
            const bool carry = type != 0 || amount != 0;   // LSL #0 leaves C
            e.shifted_operand(rs, type, amount, carry);
            e.mov(e.reg(rd), ecx);
            e.set_nz(ecx);
            if (carry) e.set_c(dl);
        }
        e.thumb_fetch(pc + 4);
        return true;
    }
    case 1: {   // MOV, CMP, ADD, SUB with an 8-bit immediate
        const unsigned op = (raw >> 11) & 3, rd = (raw >> 8) & 7, imm = raw & 0xFF;
        if (op == 0) {
            e.mov(e.reg(rd), imm);
            e.set_flag_to(RunEmitter::kFlagN, false);
            e.set_flag_to(RunEmitter::kFlagZ, imm == 0);
        } else {
            e.mov(eax, e.reg(rd));
            if (op == 2)
                e.add(eax, imm);
            else
                e.sub(eax, imm);
            e.set_nzcv(op != 2);
            if (op != 1) e.mov(e.reg(rd), eax);
        }
        e.thumb_fetch(pc + 4);
        return true;
    }
    case 2:
        if ((raw >> 10) == 0x10) return alu(e, raw, pc);
        if ((raw >> 10) == 0x11) return high_register(e, raw, pc);
        if ((raw >> 11) == 0x09) return load_literal(e, raw, pc);
        {   // register offset: STR, STRH, STRB, LDRSB, LDR, LDRH, LDRB, LDRSH
            static constexpr uint8_t kSize[8] = {4, 2, 1, 1, 4, 2, 1, 2};
            const unsigned op = (raw >> 9) & 7;
            e.mov(esi, e.reg((raw >> 3) & 7));
            e.add(esi, e.reg((raw >> 6) & 7));
            transfer(e, d, pc, op >= 3, kSize[op], op == 3 || op == 7, raw & 7);
            return true;
        }
    case 3:
    case 4: {
        const bool load = raw & (1u << 11);
        if ((raw >> 13) == 4 && (raw & (1u << 12))) {   // SP-relative word
            e.mov(esi, e.reg(13));
            e.add(esi, (raw & 0xFF) * 4);
            transfer(e, d, pc, load, 4, false, (raw >> 8) & 7);
            return true;
        }
        const unsigned size = (raw >> 13) == 4 ? 2 : raw & (1u << 12) ? 1 : 4;
        e.mov(esi, e.reg((raw >> 3) & 7));
        e.add(esi, ((raw >> 6) & 31) * size);
        transfer(e, d, pc, load, size, false, raw & 7);
        return true;
    }
    case 5:
        if (!(raw & (1u << 12))) {   // ADD rd, pc or sp, #imm
            const unsigned rd = (raw >> 8) & 7, imm = (raw & 0xFF) * 4;
            if (raw & (1u << 11)) {
                e.mov(eax, e.reg(13));
                e.add(eax, imm);
                e.mov(e.reg(rd), eax);
            } else {
                e.mov(e.reg(rd), ((pc + 4) & ~3u) + imm);
            }
            e.thumb_fetch(pc + 4);
            return true;
        }
        if ((raw & 0x0F00) == 0) {   // ADD sp, #+-imm
            const unsigned imm = (raw & 0x7F) * 4;
            raw & (1u << 7) ? e.sub(e.reg(13), imm) : e.add(e.reg(13), imm);
            e.thumb_fetch(pc + 4);
            return true;
        }
        return false;
    default: return false;
    }
}

// The run's last instruction, `d` at `pc`, by its handler, from `from`,
// the code as `at` says.
void by_handler(RunEmitter &e, Decoded &d, uint32_t pc, const RunEmitter::State &at, Xbyak::Label &from)
{
    e.L(from);
    e.set_state(at);
    e.call_handler(d, pc);
    e.end_after_call();
}

// B or B<cond> of `d` at `pc`, the run's last instruction, its count in
// pending: taken by `offset` unless its condition fails. Where the branch
// leaves the window, may close a delay loop or meets the read buffers off
// the straight path, its handler does it, from the start.
void branch(RunEmitter &e, Decoded &d, uint32_t pc, int32_t offset, unsigned cond)
{
    Cpu &c = e.cpu();
    const uint32_t target = pc + 4 + static_cast<uint32_t>(offset);
    const RunEmitter::State before = e.state();
    Xbyak::Label &general = e.label(), &not_taken = e.label();
    e.done();
    if (cond != 0xE) e.jump_unless(cond, not_taken);
    if (!c.in_window(target)) {
        e.jmp(general, RunEmitter::T_NEAR);
    } else {
        if (offset < 0) {   // delay_loop_closed, unless the branch is known to close none
            e.mov(rax, reinterpret_cast<uintptr_t>(&d.aux));
            e.cmp(e.dword[rax], kNotALoop);
            e.jne(general, RunEmitter::T_NEAR);
        }
        e.unless_straight(pc + 4, general);
        e.straight_fetch(pc + 4);
        e.thumb_refill(pc + 6, target);
        e.end_at_branch(target);
    }
    if (cond != 0xE) {
        e.L(not_taken);
        e.set_state(before);
        e.done();
        e.thumb_fetch(pc + 4);
        e.end_at(pc + 2);
    }
    by_handler(e, d, pc, before, general);
}

// A compare paired with the B<cond> after it (pairs.h), the run's last
// entry: the compare, then the branch where the run loop would go on to it.
bool compare_and_branch(RunEmitter &e, Decoded &d, uint32_t pc)
{
    Xbyak::Label &alone = e.label();
    if (!emit_inline(e, d, pc)) return false;
    e.done();
    const RunEmitter::State compared = e.state();
    e.cmp(rbp, e.field(e.cpu().run_until));   // pair_goes_on
    e.jae(alone, RunEmitter::T_NEAR);
    const uint32_t raw = (&d)[1].raw;
    branch(e, (&d)[1], pc + 2, static_cast<int32_t>(raw << 24) >> 23, (raw >> 8) & 15);
    e.L(alone);
    e.set_state(compared);
    e.end_at(pc + 2);
    return true;
}

// Both halves of a BL (pairs.h), the run's last entry, as long_branch_pair.
void bl_pair(RunEmitter &e, Decoded &d, uint32_t pc)
{
    Cpu &c = e.cpu();
    const uint32_t target = pc + 4 + d.imm;
    const RunEmitter::State before = e.state();
    Xbyak::Label &general = e.label(), &alone = e.label();
    if (!c.in_window(target)) {
        e.call_handler(d, pc);
        e.end_after_call();
        return;
    }
    e.unless_straight(pc + 4, general);
    e.straight_fetch(pc + 4);
    e.done();
    const RunEmitter::State first = e.state();
    e.cmp(rbp, e.field(c.run_until));
    e.jae(alone, RunEmitter::T_NEAR);
    e.cmp(e.field(c.stepping), 0);
    e.jne(alone, RunEmitter::T_NEAR);
    e.done();
    e.straight_fetch(pc + 6);
    e.mov(e.reg(14), (pc + 4) | 1);
    e.thumb_refill(pc + 8, target);
    e.end_at_branch(target);
    e.L(alone);   // the first half alone
    e.set_state(first);
    e.mov(e.reg(14), pc + 4 + static_cast<uint32_t>(static_cast<int32_t>(d.raw << 21) >> 9));
    e.end_at(pc + 2);
    by_handler(e, d, pc, before, general);
}

// BX to Thumb code in the window (branch_exchange), the run's last
// instruction.
void branch_exchange(RunEmitter &e, Decoded &d, uint32_t pc, unsigned rs)
{
    Cpu &c = e.cpu();
    const RunEmitter::State before = e.state();
    Xbyak::Label &general = e.label();
    e.done();
    e.mov(esi, e.reg(rs));
    e.test(esi, 1);
    e.jz(general, RunEmitter::T_NEAR);
    e.and_(esi, ~1u);
    e.mov(ecx, esi);
    e.sub(ecx, c.code_base);
    e.cmp(ecx, c.code_size);
    e.jae(general, RunEmitter::T_NEAR);
    e.unless_straight(pc + 4, general);
    e.straight_fetch(pc + 4);
    e.end_at_thumb_branch_to_esi();
    by_handler(e, d, pc, before, general);
}

// The run's last instruction where it is a branch done inline; false for
// any other.
bool last_branch(RunEmitter &e, Decoded &d, uint32_t pc)
{
    const uint32_t raw = d.raw;
    if (paired_compare(d.fn)) return compare_and_branch(e, d, pc);
    if (paired_bl(d.fn)) {
        bl_pair(e, d, pc);
        return true;
    }
    if (d.fn != decode_thumb(raw)) return false;
    if ((raw >> 12) == 0xD && ((raw >> 8) & 15) < 0xE) {
        branch(e, d, pc, static_cast<int32_t>(raw << 24) >> 23, (raw >> 8) & 15);
        return true;
    }
    if ((raw >> 11) == 0x1C) {
        branch(e, d, pc, static_cast<int32_t>(raw << 21) >> 20, 0xE);
        return true;
    }
    if ((raw & 0xFF87) == 0x4700 && ((raw >> 3) & 15) != 15) {   // BX, not of pc
        branch_exchange(e, d, pc, (raw >> 3) & 15);
        return true;
    }
    return false;
}

}  // namespace

FlagUse thumb_flag_use(const Cpu &c, const Decoded &d, uint32_t pc)
{
    constexpr uint8_t kNZ = RunEmitter::kFlagN | RunEmitter::kFlagZ, kAll = RunEmitter::kAllFlags;
    constexpr FlagUse kBarrier{kAll, 0}, kNone{0, 0};
    const uint32_t raw = d.raw;
    if (d.fn != decode_thumb(raw)) return kBarrier;
    switch (raw >> 13) {
    case 0:
        if (((raw >> 11) & 3) == 3) return {0, kAll};
        return {0, static_cast<uint8_t>(raw & 0x1FC0 ? kNZ | RunEmitter::kFlagC : kNZ)};   // LSL #0 leaves C
    case 1: return {0, ((raw >> 11) & 3) == 0 ? kNZ : kAll};
    case 2:
        if ((raw >> 10) == 0x10) {
            switch ((raw >> 6) & 15) {
            case 0x2: case 0x3: case 0x4: case 0x7: case 0xD: return kBarrier;   // by the handler
            case 0x5: case 0x6: return {RunEmitter::kFlagC, kAll};
            case 0x9: case 0xA: case 0xB: return {0, kAll};
            default: return {0, kNZ};
            }
        }
        if ((raw >> 10) == 0x11) {
            const unsigned op = (raw >> 8) & 3, rd = (raw & 7) | ((raw >> 4) & 8);
            if (op == 3 || (op != 1 && rd == 15)) return kBarrier;
            return op == 1 ? FlagUse{0, kAll} : kNone;
        }
        if ((raw >> 11) == 0x09) {   // inline from the window, else by the handler
            const uint32_t address = ((pc + 4) & ~3u) + (raw & 0xFF) * 4;
            return c.in_window(address) ? kNone : kBarrier;
        }
        return kBarrier;   // loads and stores: their slow path goes to the handler
    case 5:
        if (!(raw & (1u << 12)) || (raw & 0x0F00) == 0) return kNone;
        return kBarrier;
    default: return kBarrier;
    }
}

void emit_thumb(RunEmitter &e, Decoded &d, uint32_t pc, bool last)
{
    e.thumb_begin(pc);
    if (const Handler own = head_handler(e.cpu(), d)) {
        const bool inline_done =
            e.at_loop_head(d, pc, own, [&] { return own == decode_thumb(d.raw) && emit_inline(e, d, pc); });
        if (last) inline_done ? e.end_at(pc + 2) : e.end_after_call();
        return;
    }
    if (last && last_branch(e, d, pc)) return;
    const bool inline_done = d.fn == decode_thumb(d.raw) ? emit_inline(e, d, pc) : block_transfer(e, d, pc);
    if (inline_done)
        e.done();
    else
        e.call_handler(d, pc);
    if (!last) return;
    if (inline_done)
        e.end_at(pc + 2);
    else
        e.end_after_call();
}

}  // namespace sim::core::jit
