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

// ecx := the register operand with its immediate shift; with `carry`, dl :=
// the shifter's carry-out (the C flag where the shift leaves it).
void shifted_operand(RunEmitter &e, const Decoded &d, bool carry)
{
    Cpu &c = e.cpu();
    e.mov(ecx, e.reg(d.rm));
    const unsigned n = d.amount;
    if (d.shift == 3 && n == 0) {   // RRX: the C flag in at the top
        e.movzx(edx, e.field(c.flags.c));
        e.bt(edx, 0);
        e.rcr(ecx, 1);
        if (carry) e.setc(dl);
        return;
    }
    if (n == 0 && d.shift != 0) {   // LSR #32, ASR #32
        if (carry) {
            e.bt(ecx, 31);
            e.setc(dl);
        }
        if (d.shift == 1)
            e.xor_(ecx, ecx);
        else
            e.sar(ecx, 31);
        return;
    }
    if (n == 0) {
        if (carry) e.mov(dl, e.field(c.flags.c));
        return;
    }
    switch (d.shift) {
    case 0: e.shl(ecx, n); break;
    case 1: e.shr(ecx, n); break;
    case 2: e.sar(ecx, n); break;
    default: e.ror(ecx, n); break;   // CF: the result's top bit, the last one rotated
    }
    if (carry) e.setc(dl);
}

void set_nz(RunEmitter &e, const Xbyak::Reg32 &res)
{
    Cpu &c = e.cpu();
    e.test(res, res);
    e.sets(e.field(c.flags.n));
    e.setz(e.field(c.flags.z));
}

// The flags of the x86 add or subtract just made (ARM C is "no borrow").
void set_nzcv(RunEmitter &e, bool subtract)
{
    Cpu &c = e.cpu();
    e.sets(e.field(c.flags.n));
    e.setz(e.field(c.flags.z));
    if (subtract)
        e.setae(e.field(c.flags.c));
    else
        e.setc(e.field(c.flags.c));
    e.seto(e.field(c.flags.v));
}

// CF := the C flag, inverted for a subtraction's borrow.
void carry_in(RunEmitter &e, bool subtract)
{
    Cpu &c = e.cpu();
    e.movzx(edx, e.field(c.flags.c));
    if (subtract) e.xor_(edx, 1);
    e.bt(edx, 0);
}

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
        shifted_operand(e, d, want);
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
    case 0x5: carry_in(e, false); e.adc(eax, ecx); break;
    case 0x6: carry_in(e, true); e.sbb(eax, ecx); break;
    default: carry_in(e, true); e.sbb(ecx, eax); res = ecx; break;
    }
    if (s) {
        if (logic) {
            set_nz(e, res);
            if (sc == kConstant) e.mov(e.field(c.flags.c), static_cast<uint8_t>(sc_value));
            if (sc == kInDl) e.mov(e.field(c.flags.c), dl);
        } else {
            set_nzcv(e, op == 0x2 || op == 0x3 || op == 0x6 || op == 0x7 || op == 0xA);
        }
    }
    if (writes) e.mov(e.reg(d.rd), res);
    e.add(rbp, r12);   // 1S
}

// Cpu::plain for the address in esi: r8 := the region (less one entry), or
// a jump to `slow`.
void plain_region(RunEmitter &e, bool write, Xbyak::Label &slow)
{
    Cpu &c = e.cpu();
    e.mov(rax, e.field(c.plain_pages));
    e.mov(r8d, esi);
    e.shr(r8d, 12);
    e.movzx(r8d, e.byte[rax + r8]);
    e.lea(r9d, e.ptr[r8 - 1]);
    e.cmp(r9b, 0xFD);
    e.ja(slow, RunEmitter::T_NEAR);
    e.imul(r8d, r8d, static_cast<int>(sizeof(Region)));
    e.add(r8, e.field(c.region_table));
    // r8 points one region past the one found.
    auto at = [](size_t member) { return static_cast<int>(member) - static_cast<int>(sizeof(Region)); };
    const int host = at(offsetof(Region, host)), mask = at(offsetof(Region, mask));
    if (write) {
        e.cmp(e.byte[r8 + at(offsetof(Region, writable))], 0);
        e.je(slow, RunEmitter::T_NEAR);
        // No decoded code in the address's granule.
        e.mov(r9d, esi);
        e.and_(r9d, e.dword[r8 + mask]);
        e.add(r9d, e.dword[r8 + at(offsetof(Region, cache_offset))]);
        e.shr(r9d, CodeCache::kPageShift);
        e.mov(r10, e.qword[r8 + at(offsetof(Region, code_pages))]);
        e.cmp(e.byte[r10 + r9], 0);
        e.jne(slow, RunEmitter::T_NEAR);
    } else {
        e.cmp(e.byte[r8 + at(offsetof(Region, read_buffer))], 0);
        e.jne(slow, RunEmitter::T_NEAR);
    }
    // r9 := the host address.
    e.mov(r9d, esi);
    e.and_(r9d, e.dword[r8 + mask]);
    e.add(r9, e.qword[r8 + host]);
    // r10 := 1 + the wait states of an N cycle.
    e.movzx(r10d, e.byte[r8 + at(offsetof(Region, wait_n))]);
}

void single_transfer(RunEmitter &e, Decoded &d, const ArmForm &f, uint32_t pc)
{
    Xbyak::Label &slow = e.label(), &back = e.label();
    if (f.operand == ArmForm::kImmediate)
        e.mov(ecx, d.imm);
    else if (f.operand == ArmForm::kRegister)
        e.mov(ecx, e.reg(d.rm));
    else
        shifted_operand(e, d, false);
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
    plain_region(e, !f.load, slow);
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
    e.call_handler_cold(d, pc, slow, back);
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
