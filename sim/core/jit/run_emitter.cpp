#include "sim/core/jit/run_emitter.h"

#include "sim/core/jit/compiled_runs.h"

namespace sim::core::jit {

namespace {

// A fetch through the read buffers that is not the straight one.
void fetch_any(Cpu &c, uint32_t address) { c.fetch_buffered_any(address); }

}  // namespace

RunEmitter::RunEmitter(Cpu &c, uint8_t *at, size_t room, bool thumb)
    : Xbyak::CodeGenerator(room, at), c_(c), thumb_(thumb)
{
}

void RunEmitter::begin()
{
    push(rbx);
    push(rbp);
    push(r12);
    push(r13);
    push(r14);
    push(r15);
    sub(rsp, 8);   // calls keep the stack 16-byte aligned
    mov(rbx, rdi);
    if (thumb_) {
        // Made for the memory's timing as it is now: its fetches through
        // the read buffers or not, and their wait states.
        cmp(field(c_.code_buffered), c_.code_buffered ? 1 : 0);
        jne(stale_, T_NEAR);
        if (c_.code_buffered) {
            cmp(field(c_.code_wait), c_.code_wait);
            jne(stale_, T_NEAR);
        }
    }
    mov(rbp, field(c_.cycles));
    mov(r12d, field(c_.code_s));
    mov(r14d, field(c_.code_n));
}

void RunEmitter::leave(int outcome)
{
    mov(eax, outcome);
    add(rsp, 8);
    pop(r15);
    pop(r14);
    pop(r13);
    pop(r12);
    pop(rbp);
    pop(rbx);
    ret();
}

void RunEmitter::end_at(uint32_t next_pc)
{
    mov(field(c_.cycles), rbp);
    if (pending_) add(field(c_.instructions), pending_);
    mov(reg(15), next_pc);
    leave(kRan);
}

void RunEmitter::end_after_call()
{
    mov(field(c_.cycles), rbp);
    if (pending_) add(field(c_.instructions), pending_);
    leave(kRan);
}

void RunEmitter::flush_before_call(uint32_t pc)
{
    mov(field(c_.cycles), rbp);
    if (pending_) add(field(c_.instructions), pending_);
    mov(reg(15), pc);
}

void RunEmitter::after_call()
{
    cmp(field(c_.run_end), 0);
    je(exit_after_call_, T_NEAR);
    if (pending_) sub(field(c_.instructions), pending_);
    mov(rbp, field(c_.cycles));
    mov(r12d, field(c_.code_s));
    mov(r14d, field(c_.code_n));
}

void RunEmitter::call_handler(Decoded &d, uint32_t pc)
{
    flush_before_call(pc);
    mov(rdi, rbx);
    mov(rsi, reinterpret_cast<uintptr_t>(&d));
    call(qword[rsi]);   // Decoded::fn, as it is when the call is made
    after_call();
    ++pending_;
}

void RunEmitter::call_handler_cold(Decoded &d, uint32_t pc, Xbyak::Label &from, Xbyak::Label &back)
{
    const uint32_t pending = pending_;
    Xbyak::Label *f = &from, *b = &back;
    later([this, &d, pc, pending, f, b] {
        L(*f);
        const uint32_t now = pending_;
        pending_ = pending;
        flush_before_call(pc);
        mov(rdi, rbx);
        mov(rsi, reinterpret_cast<uintptr_t>(&d));
        call(qword[rsi]);
        after_call();
        pending_ = now;
        jmp(*b, T_NEAR);
    });
}

void RunEmitter::thumb_fetch(uint32_t address)
{
    if (!c_.code_buffered) {
        add(rbp, r12);
        return;
    }
    // Straight on (Cpu::fetch_straight) unless the buffers' key says otherwise.
    Xbyak::Label *slow = &label(), *back = &label();
    mov(eax, address);
    cmp(field(c_.read_buffer.next), rax);
    jne(*slow, T_NEAR);
    add(eax, 2);
    mov(field(c_.read_buffer.next), rax);
    if (address & 2) {
        lea(rax, ptr[rbp + c_.code_wait + 1]);
        mov(field(c_.read_buffer.ahead_ready), rax);
        add(rbp, 1);
    } else {
        add(rbp, 1);
        mov(rax, field(c_.read_buffer.ahead_ready));
        cmp(rbp, rax);
        cmovb(rbp, rax);
    }
    L(*back);
    later([this, address, slow, back] {
        L(*slow);
        mov(field(c_.cycles), rbp);
        mov(rdi, rbx);
        mov(esi, address);
        mov(rax, reinterpret_cast<uintptr_t>(&fetch_any));
        call(rax);
        mov(rbp, field(c_.cycles));
        jmp(*back, T_NEAR);
    });
}

void RunEmitter::jump_unless(unsigned cond, Xbyak::Label &fail)
{
    auto flag = [&](const uint8_t &f) { cmp(field(f), 0); };
    const Cpu::Flags &fl = c_.flags;
    switch (cond & 15) {
    case 0x0: flag(fl.z); je(fail, T_NEAR); break;
    case 0x1: flag(fl.z); jne(fail, T_NEAR); break;
    case 0x2: flag(fl.c); je(fail, T_NEAR); break;
    case 0x3: flag(fl.c); jne(fail, T_NEAR); break;
    case 0x4: flag(fl.n); je(fail, T_NEAR); break;
    case 0x5: flag(fl.n); jne(fail, T_NEAR); break;
    case 0x6: flag(fl.v); je(fail, T_NEAR); break;
    case 0x7: flag(fl.v); jne(fail, T_NEAR); break;
    case 0x8:   // HI: C and not Z
        flag(fl.c);
        je(fail, T_NEAR);
        flag(fl.z);
        jne(fail, T_NEAR);
        break;
    case 0x9:   // LS: fails on C and not Z
        mov(al, field(fl.z));
        xor_(al, 1);
        and_(al, field(fl.c));
        jne(fail, T_NEAR);
        break;
    case 0xA: mov(al, field(fl.n)); cmp(al, field(fl.v)); jne(fail, T_NEAR); break;
    case 0xB: mov(al, field(fl.n)); cmp(al, field(fl.v)); je(fail, T_NEAR); break;
    case 0xC:   // GT: not Z and N = V
        mov(al, field(fl.n));
        xor_(al, field(fl.v));
        or_(al, field(fl.z));
        jne(fail, T_NEAR);
        break;
    case 0xD:   // LE: fails on not Z and N = V
        mov(al, field(fl.n));
        xor_(al, field(fl.v));
        or_(al, field(fl.z));
        je(fail, T_NEAR);
        break;
    case 0xE: break;
    default: jmp(fail, T_NEAR); break;
    }
}

const uint8_t *RunEmitter::finish()
{
    // Slow paths may add slow paths of their own.
    for (size_t i = 0; i < cold_.size(); ++i) cold_[i]();
    L(exit_after_call_);
    add(field(c_.instructions), 1);
    leave(kRan);
    L(stale_);
    leave(kStale);
    ready();
    return getCode();
}

}  // namespace sim::core::jit
