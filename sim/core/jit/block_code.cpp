// LDM/STM in host code, and Thumb's PUSH, POP, LDMIA and STMIA, which share
// their handler (arm_transfer_forms.cpp): the words in one page of plain
// memory, a store's granules free of code, else the handler (which then
// goes general). Not for a load of pc (a branch).
#include "sim/core/jit/run_emitter.h"

#include <bit>

namespace sim::core::jit {

using namespace Xbyak::util;

void emit_block_transfer(RunEmitter &e, Decoded &d, const BlockShape &f, uint32_t pc)
{
    Xbyak::Label &slow = e.label(), &back = e.label();
    const RunEmitter::State at_jump = e.state();
    const unsigned count = d.amount;
    const uint32_t list = d.imm, bytes = 4 * count;
    const int first = f.up ? (f.before ? 4 : 0) : static_cast<int>(f.before ? -bytes : 4 - bytes);
    e.mov(edi, e.reg(d.rn));   // the base
    e.lea(esi, e.ptr[rdi + first]);
    e.test(esi, 3);
    e.jnz(slow, RunEmitter::T_NEAR);
    if (count > 1) {
        e.lea(eax, e.ptr[rsi + bytes - 4]);
        e.xor_(eax, esi);
        e.test(eax, ~0xFFFu);
        e.jnz(slow, RunEmitter::T_NEAR);
    }
    e.plain_region(!f.load, slow);
    if (!f.load && count > 1) e.code_free_at(bytes - 4, slow);
    // The fetch first (S for a load, N for a store), then the data cycles:
    // 1N, then (n-1)S.
    if (e.thumb())
        e.thumb_fetch(pc + 4, f.load);
    else
        e.add(rbp, f.load ? r12 : r14);
    e.lea(rbp, e.ptr[rbp + r10 + 1 + (count - 1) + (f.load ? 1 : 0)]);   // and the load's 1I
    if (count > 1) {
        e.movzx(eax, e.byte[r8 + static_cast<int>(offsetof(Region, wait_s)) - static_cast<int>(sizeof(Region))]);
        e.imul(eax, eax, static_cast<int>(count - 1));
        e.add(rbp, rax);
    }
    const int moved = f.up ? static_cast<int>(bytes) : -static_cast<int>(bytes);
    if (f.load) {
        // The base written back first: a loaded base wins.
        if (f.write_back) {
            e.lea(eax, e.ptr[rdi + moved]);
            e.mov(e.reg(d.rn), eax);
        }
        int at = 0;
        for (uint32_t rest = list; rest; rest &= rest - 1, at += 4) {
            e.mov(eax, e.dword[r9 + at]);
            e.mov(e.reg(std::countr_zero(rest)), eax);
        }
    } else {
        // The base, when it is not the lowest register, is stored as written back.
        const unsigned lowest = std::countr_zero(list);
        if (f.write_back) e.lea(edx, e.ptr[rdi + moved]);
        int at = 0;
        for (uint32_t rest = list; rest; rest &= rest - 1, at += 4) {
            const unsigned i = std::countr_zero(rest);
            if (i == 15)
                e.mov(eax, pc + 12);   // ARM only: Thumb lists hold no pc
            else if (f.write_back && i == d.rn && i != lowest)
                e.mov(eax, edx);
            else
                e.mov(eax, e.reg(i));
            e.mov(e.dword[r9 + at], eax);
        }
        if (f.write_back) e.mov(e.reg(d.rn), edx);
    }
    e.L(back);
    e.call_handler_cold(d, pc, at_jump, slow, back);
}

}  // namespace sim::core::jit
