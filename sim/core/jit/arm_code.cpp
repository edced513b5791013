// ARM instructions in a run's host code: data processing (no pc), LDR/STR(B), LDRH/STRH/LDRSB/
// LDRSH and LDM/STM to plain memory, MUL/MLA and a branch ending the run
// inline, as their handlers in arm_predecoded.cpp, arm_transfer_forms.cpp
// and arm.cpp do them (the same fields, the same cycles); everything else
// by its handler. The condition the run loop tests is tested here.
#include "sim/core/arm_forms.h"
#include "sim/core/delay_loop.h"
#include "sim/core/jit/run_emitter.h"

#include <bit>

namespace sim::core::jit {

namespace {

using namespace Xbyak::util;

constexpr bool logical(unsigned op) { return op <= 1 || op == 8 || op == 9 || op >= 12; }

// ecx := Rm shifted by the bottom byte of Rs (Cpu's shift_reg); with
// `carry`, dl := the shifter's carry-out. A 64-bit shift by the amount,
// clamped where every larger one gives the same, leaves the bit shifted
// out last beside the result. Takes eax, edx and r8d.
void register_shifted_operand(RunEmitter &e, unsigned rm, unsigned type, unsigned rs, bool carry)
{
    Cpu &c = e.cpu();
    Xbyak::Label &unshifted = e.label();
    e.movzx(ecx, e.field(c.r[rs], 1));
    e.mov(eax, e.reg(rm));
    if (carry) e.mov(dl, e.field(c.flags.c));   // by 0: C as it is
    e.test(ecx, ecx);
    e.jz(unshifted, RunEmitter::T_NEAR);
    auto clamp = [&](uint32_t most) {
        e.mov(r8d, most);
        e.cmp(ecx, r8d);
        e.cmova(ecx, r8d);
    };
    switch (type) {
    case 0:   // LSL: the carry in bit 32
        clamp(33);
        e.shl(rax, cl);
        if (carry) {
            e.bt(rax, 32);
            e.setc(dl);
        }
        break;
    case 1:   // LSR, ASR: the carry in bit 0, the result above it
    case 2:
        if (type == 1) {
            clamp(33);
            e.shl(rax, 1);
            e.shr(rax, cl);
        } else {
            clamp(32);
            e.movsxd(rax, eax);
            e.shl(rax, 1);
            e.sar(rax, cl);
        }
        if (carry) {
            e.bt(eax, 0);
            e.setc(dl);
        }
        e.shr(rax, 1);
        break;
    default:   // ROR by the amount modulo 32: the carry is the result's top bit
        e.ror(eax, cl);
        if (carry) {
            e.bt(eax, 31);
            e.setc(dl);
        }
        break;
    }
    e.L(unshifted);
    e.mov(ecx, eax);
}

void data_processing(RunEmitter &e, const Decoded &d, const ArmForm &f)
{
    Cpu &c = e.cpu();
    const unsigned op = f.op;
    const bool s = f.s, logic = logical(op);
    // The general handler's form has its fields in the encoding only.
    const bool by_register = f.operand == ArmForm::kRegisterShifted;
    const unsigned rd = by_register ? (d.raw >> 12) & 15 : d.rd, rn = by_register ? (d.raw >> 16) & 15 : d.rn;
    // The shifter's carry: a constant, dl, or the C flag left alone.
    enum { kKeep, kConstant, kInDl } sc = kKeep;
    bool sc_value = false;
    if (f.operand == ArmForm::kImmediate) {
        e.mov(ecx, d.imm);
        if (d.bits & ArmForm::kRotated) {
            sc = kConstant;
            sc_value = d.imm >> 31;
        }
    } else if (f.operand == ArmForm::kRegister) {
        e.mov(ecx, e.reg(d.rm));
    } else {
        const bool want = s && logic;
        if (by_register)
            register_shifted_operand(e, d.raw & 15, (d.raw >> 5) & 3, (d.raw >> 8) & 15, want);
        else
            e.shifted_operand(d.rm, d.shift, d.amount, want);
        if (want) sc = kInDl;
    }
    const bool writes = op < 8 || op > 11;
    if (op != 0xD && op != 0xF) e.mov(eax, e.reg(rn));
    Xbyak::Reg32 res = eax;
    switch (op) {
    case 0x0: case 0x8: e.and_(eax, ecx); break;
    case 0x1: case 0x9: e.xor_(eax, ecx); break;
    case 0xC: e.or_(eax, ecx); break;
    case 0xD: res = ecx; break;
    case 0xE: e.not_(ecx); e.and_(eax, ecx); break;
    case 0xF: e.not_(ecx); res = ecx; break;
    case 0x2: case 0xA: e.sub(eax, ecx); break;
    case 0x3: e.sub(ecx, eax); res = ecx; break;
    case 0x4: case 0xB: e.add(eax, ecx); break;
    case 0x5: e.carry_in(false); e.adc(eax, ecx); break;
    case 0x6: e.carry_in(true); e.sbb(eax, ecx); break;
    default: e.carry_in(true); e.sbb(ecx, eax); res = ecx; break;
    }
    if (s) {
        if (logic) {
            e.set_nz(res);
            if (sc == kConstant) e.mov(e.field(c.flags.c), static_cast<uint8_t>(sc_value));
            if (sc == kInDl) e.mov(e.field(c.flags.c), dl);
        } else {
            e.set_nzcv(op == 0x2 || op == 0x3 || op == 0x6 || op == 0x7 || op == 0xA);
        }
    }
    if (writes) e.mov(e.reg(rd), res);
    e.add(rbp, r12);   // 1S
    if (by_register) e.add(rbp, 1);   // and 1I for the shift amount
}

// LDR/STR(B) and the halfword forms: the same but for the access's size
// and sign.
void single_transfer(RunEmitter &e, Decoded &d, const ArmForm &f, uint32_t pc)
{
    const unsigned size = f.byte ? 1 : f.kind == ArmForm::kHalfword ? 2 : 4;
    Xbyak::Label &slow = e.label(), &back = e.label();
    const RunEmitter::State at_jump = e.state();
    if (f.operand == ArmForm::kImmediate)
        e.mov(ecx, d.imm);
    else if (f.operand == ArmForm::kRegister)
        e.mov(ecx, e.reg(d.rm));
    else
        e.shifted_operand(d.rm, d.shift, d.amount, false);
    e.mov(edi, e.reg(d.rn));   // the base
    e.mov(esi, edi);
    if (f.up)
        e.add(esi, ecx);
    else
        e.sub(esi, ecx);
    // esi := moved, edi := base; the address is one of them.
    if (!f.pre) e.xchg(esi, edi);
    if (size > 1) {
        e.test(esi, size - 1);
        e.jnz(slow, RunEmitter::T_NEAR);
    }
    // A word store elsewhere than to plain memory, the base left alone: to
    // a port, mostly.
    const bool port = !f.load && size == 4 && !f.write_back;
    Xbyak::Label &other = port ? e.label() : slow;
    e.plain_region(!f.load, other);
    if (f.load) {
        e.load_host(size, f.sign);
        e.lea(rbp, e.ptr[rbp + r10 + 2]);   // 1S, 1N, 1I
        e.add(rbp, r12);
        if (f.write_back) e.mov(e.reg(d.rn), f.pre ? esi : edi);
        e.mov(e.reg(d.rd), eax);
    } else {
        e.store_host(size, d.rd);
        e.lea(rbp, e.ptr[rbp + r10 + 1]);   // 2N
        e.add(rbp, r14);
        if (f.write_back) e.mov(e.reg(d.rn), f.pre ? esi : edi);
    }
    e.L(back);
    e.call_handler_cold(d, pc, at_jump, slow, back);
    if (port) e.store_at_port_cold(pc, d.rd, at_jump, other, slow, back, [&e] { e.add(rbp, r14); });   // 1N
}

// MUL/MLA: 1S and the multiplier's cycles for Rs (kept in d.imm), one more
// for the accumulate. The multiplier stops early where Rs's top bits are
// all equal: m = 1 + (the highest bit in which Rs differs from its sign,
// bits 0 to 7 counted as 7) / 8.
void multiply(RunEmitter &e, const Decoded &d, const ArmForm &f)
{
    e.mov(ecx, e.reg(d.imm));
    e.mov(eax, ecx);
    e.sar(eax, 31);
    e.xor_(eax, ecx);
    e.or_(eax, 0xFF);
    e.bsr(eax, eax);
    e.shr(eax, 3);
    e.lea(rbp, e.ptr[rbp + rax + 1 + (f.accumulate ? 1 : 0)]);
    e.add(rbp, r12);
    e.imul(ecx, e.reg(d.rm));
    if (f.accumulate) e.add(ecx, e.reg(d.rn));
    if (f.s) e.set_nz(ecx);
    e.mov(e.reg(d.rd), ecx);
}

// B or BL ending the run, to a target in the window: 1S (its fetch), then
// the refill's 1N and 1S, and on to the run there. A backward B not known
// to close no loop goes to its handler, which looks at the loop.
void branch_at_end(RunEmitter &e, Decoded &d, const ArmForm &f, uint32_t pc)
{
    Cpu &c = e.cpu();
    const int32_t offset = static_cast<int32_t>(d.raw << 8) >> 6;
    const uint32_t target = pc + 8 + static_cast<uint32_t>(offset);
    const RunEmitter::State before = e.state();
    Xbyak::Label &not_taken = e.label(), &general = e.label();
    e.done();
    if (f.cond != 0xE) e.jump_unless(f.cond, not_taken);
    if (!f.link && offset < 0) {
        e.mov(rax, reinterpret_cast<uintptr_t>(&d.aux));
        e.cmp(e.dword[rax], kNotALoop);
        e.jne(general, RunEmitter::T_NEAR);
    }
    e.add(rbp, r12);
    e.add(rbp, r14);
    e.add(rbp, r12);
    if (f.link) e.mov(e.reg(14), pc + 4);
    // ARM code reads whole words past the read buffers.
    Xbyak::Label &unbuffered = e.label();
    e.cmp(e.field(c.code_buffered), 0);
    e.je(unbuffered);
    e.mov(rax, ReadBuffer::kEmpty);
    e.sub(rax, e.field(c.code_key));
    e.mov(e.field(c.read_buffer.next), rax);
    e.L(unbuffered);
    e.end_at_branch(target);
    if (f.cond != 0xE) {
        e.L(not_taken);
        e.add(rbp, r12);   // 1S
        e.end_at_branch(pc + 4);
    }
    e.L(general);
    e.set_state(before);
    e.call_handler(d, pc);
    e.end_after_call();
}

// The instruction of `d` inline where its form `f` has code here (nothing
// made otherwise).
bool emit_inline(RunEmitter &e, Decoded &d, const ArmForm &f, uint32_t pc)
{
    switch (f.kind) {
    case ArmForm::kDataProcessing:
        // pc read 12 ahead, or written: the handler.
        if (f.operand == ArmForm::kRegisterShifted &&
            ((d.raw >> 16 & 15) == 15 || (d.raw >> 12 & 15) == 15 || (d.raw >> 8 & 15) == 15 || (d.raw & 15) == 15))
            return false;
        data_processing(e, d, f);
        return true;
    case ArmForm::kTransfer:
    case ArmForm::kHalfword: single_transfer(e, d, f, pc); return true;
    case ArmForm::kMultiply: multiply(e, d, f); return true;
    case ArmForm::kBlock:
        // A load of pc branches: its handler.
        if (f.load && (d.imm & 0x8000)) return false;
        emit_block_transfer(e, d, {f.load, f.pre, f.up, f.write_back}, pc);
        return true;
    default: return false;
    }
}

}  // namespace

void emit_arm(RunEmitter &e, Decoded &d, uint32_t pc, bool last)
{
    const ArmForm f = arm_form_of(d.fn);
    if (f.kind == ArmForm::kBranch && last && e.cpu().in_window(pc + 8 + (static_cast<int32_t>(d.raw << 8) >> 6))) {
        branch_at_end(e, d, f, pc);
        return;
    }
    const bool tested = d.cond != 0xE;
    Xbyak::Label &skip = e.label(), &next = e.label();
    if (tested) e.jump_unless(d.cond, skip);
    bool inline_done;
    if (const Handler own = head_handler(e.cpu(), d)) {
        inline_done = e.at_loop_head(d, pc, own, [&] { return emit_inline(e, d, arm_form_of(own), pc); });
    } else {
        inline_done = emit_inline(e, d, f, pc);
        if (inline_done)
            e.done();
        else
            e.call_handler(d, pc);
    }
    if (tested) {
        e.jmp(next, RunEmitter::T_NEAR);
        e.L(skip);
        e.add(rbp, r12);   // a failed condition: 1S
        if (!inline_done) e.mov(e.reg(15), pc + 4);
        e.L(next);
    }
    if (!last) return;
    if (inline_done)
        e.end_at_branch(pc + 4);   // on to the run after it, as the run loop would
    else
        e.end_after_call();
}

}  // namespace sim::core::jit
