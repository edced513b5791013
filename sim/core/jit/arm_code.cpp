// ARM instructions in a run's host code: data processing with an immediate
// or an immediate-shifted register operand and LDR/STR(B) to plain memory
// inline, as their handlers in arm_predecoded.cpp do them (the same fields,
// the same cycles); everything else by its handler. The condition the run
// loop tests is tested here.
#include "sim/core/arm_forms.h"
#include "sim/core/jit/run_emitter.h"

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

void single_transfer(RunEmitter &e, Decoded &d, const ArmForm &f, uint32_t pc)
{
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
    if (!f.byte) {
        e.test(esi, 3);
        e.jnz(slow, RunEmitter::T_NEAR);
    }
    e.plain_region(!f.load, slow);
    if (f.load) {
        if (f.byte)
            e.movzx(eax, e.byte[r9]);
        else
            e.mov(eax, e.dword[r9]);
        e.lea(rbp, e.ptr[rbp + r10 + 2]);   // 1S, 1N, 1I
        e.add(rbp, r12);
        if (f.write_back) e.mov(e.reg(d.rn), f.pre ? esi : edi);
        e.mov(e.reg(d.rd), eax);
    } else {
        e.mov(eax, e.reg(d.rd));
        if (f.byte)
            e.mov(e.byte[r9], al);
        else
            e.mov(e.dword[r9], eax);
        e.lea(rbp, e.ptr[rbp + r10 + 1]);   // 2N
        e.add(rbp, r14);
        if (f.write_back) e.mov(e.reg(d.rn), f.pre ? esi : edi);
    }
    e.L(back);
    e.call_handler_cold(d, pc, at_jump, slow, back);
}

}  // namespace

void emit_arm(RunEmitter &e, Decoded &d, uint32_t pc, bool last)
{
    const ArmForm f = arm_form_of(d.fn);
    const bool tested = d.cond != 0xE;
    Xbyak::Label &skip = e.label(), &next = e.label();
    if (tested) e.jump_unless(d.cond, skip);
    bool inline_done = true;
    if (f.kind == ArmForm::kDataProcessing)
        data_processing(e, d, f);
    else if (f.kind == ArmForm::kTransfer)
        single_transfer(e, d, f, pc);
    else
        inline_done = false;
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
        e.end_at(pc + 4);
    else
        e.end_after_call();
}

}  // namespace sim::core::jit
