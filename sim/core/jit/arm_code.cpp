// ARM instructions in a run's host code: data processing with an immediate
// or an immediate-shifted register operand, LDR/STR(B), LDRH/STRH/LDRSB/
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

void data_processing(RunEmitter &e, const Decoded &d, const ArmForm &f)
{
    Cpu &c = e.cpu();
    const unsigned op = f.op;
    const bool s = f.s, logic = logical(op);
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
        e.shifted_operand(d.rm, d.shift, d.amount, want);
        if (want) sc = kInDl;
    }
    const bool writes = op < 8 || op > 11;
    if (op != 0xD && op != 0xF) e.mov(eax, e.reg(d.rn));
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
    if (writes) e.mov(e.reg(d.rd), res);
    e.add(rbp, r12);   // 1S
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
    e.plain_region(!f.load, slow);
    if (f.load) {
        if (size == 4)
            e.mov(eax, e.dword[r9]);
        else if (size == 2 && f.sign)
            e.movsx(eax, e.word[r9]);
        else if (size == 2)
            e.movzx(eax, e.word[r9]);
        else if (f.sign)
            e.movsx(eax, e.byte[r9]);
        else
            e.movzx(eax, e.byte[r9]);
        e.lea(rbp, e.ptr[rbp + r10 + 2]);   // 1S, 1N, 1I
        e.add(rbp, r12);
        if (f.write_back) e.mov(e.reg(d.rn), f.pre ? esi : edi);
        e.mov(e.reg(d.rd), eax);
    } else {
        e.mov(eax, e.reg(d.rd));
        if (size == 4)
            e.mov(e.dword[r9], eax);
        else if (size == 2)
            e.mov(e.word[r9], ax);
        else
            e.mov(e.byte[r9], al);
        e.lea(rbp, e.ptr[rbp + r10 + 1]);   // 2N
        e.add(rbp, r14);
        if (f.write_back) e.mov(e.reg(d.rn), f.pre ? esi : edi);
    }
    e.L(back);
    e.call_handler_cold(d, pc, at_jump, slow, back);
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
    bool inline_done = true;
    switch (f.kind) {
    case ArmForm::kDataProcessing: data_processing(e, d, f); break;
    case ArmForm::kTransfer:
    case ArmForm::kHalfword: single_transfer(e, d, f, pc); break;
    case ArmForm::kMultiply: multiply(e, d, f); break;
    case ArmForm::kBlock:
        // A load of pc branches: its handler.
        if (f.load && (d.imm & 0x8000))
            inline_done = false;
        else
            emit_block_transfer(e, d, {f.load, f.pre, f.up, f.write_back}, pc);
        break;
    default: inline_done = false; break;
    }
    if (inline_done) {
        e.done();
    } else {
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
