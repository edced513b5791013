#include "sim/core/jit/run_emitter.h"

#include "sim/core/delay_loop.h"
#include "sim/core/jit/compiled_runs.h"

#include <cstring>

namespace sim::core::jit {

namespace {

void refill_thumb(Cpu &c, uint32_t target) { c.refill_buffered(target); }

}  // namespace

size_t RunEmitter::chain_offset_ = 0;

RunEmitter::RunEmitter(Cpu &c, uint8_t *at, size_t room, bool thumb)
    : Xbyak::CodeGenerator(room, at), c_(c), thumb_(thumb)
{
    // Data accesses try first the first region (the largest) that is
    // plain for reads and stores alike: writable, without read buffers,
    // alone in each of its pages.
    for (size_t i = 0; i < c.regions.size() && !likely_; ++i) {
        const Region &g = c.regions[i];
        if (!g.writable || g.read_buffer || g.mask < 0xFFF || !g.code_pages) continue;
        bool alone = true;
        for (uint32_t p = g.base >> 12; p <= (g.base + g.mask) >> 12 && alone; ++p)
            alone = c.page_region[p] == i + 1;
        if (alone) likely_ = &g;
    }
}

void RunEmitter::begin()
{
    // The header before the code: what it was made for, and where a run
    // made for the same goes on into it (patched by finish()).
    dq(stamp());
    dq(0);
    push(rbx);
    push(rbp);
    push(r12);
    push(r13);
    push(r14);
    push(r15);
    sub(rsp, 8);   // calls keep the stack 16-byte aligned
    xor_(r15d, r15d);   // entered by the run loop, not chained to
    mov(rbx, rdi);
    if (chain_offset_ == 0) chain_offset_ = getSize() - kHeader;
    if (getSize() - kHeader != chain_offset_) throw Xbyak::Error(Xbyak::ERR_INTERNAL);
    // Made for the window the run was found in: the same memory may show
    // at another address too (decoded entries are shared), where its pc
    // would be another; there the run is interpreted.
    cmp(field(c_.code_base), c_.code_base);
    jne(elsewhere_, T_NEAR);
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
    if (buffered()) mov(r13, field(c_.read_buffer.ahead_ready));
    thumb_begin(c_.r[15]);
    // A run made for the same, ending where this one starts with the read
    // buffers running straight into it, comes in here: its registers hold
    // all of the above.
    fast_entry_ = getSize();
}

uint64_t RunEmitter::stamp() const
{
    const bool buffered = thumb_ && c_.code_buffered;
    return c_.code_base | uint64_t{thumb_} << 32 | uint64_t{buffered} << 33 | uint64_t{buffered ? c_.code_wait : 0} << 34;
}

void RunEmitter::leave_undone(int outcome)
{
    // Chained to, the run before it has left everything as the run loop
    // would have it before this one.
    Xbyak::Label &chained = label();
    test(r15d, r15d);
    jnz(chained, T_NEAR);
    leave(outcome);
    L(chained);
    leave(kRan);
}

void RunEmitter::flush_buffers()
{
    if (!buffered() || key_ == Key::kUnknown) return;
    mov(rax, key_ == Key::kStraight ? uint64_t{key_next_} : uint64_t{ReadBuffer::kEmpty} - c_.code_key);
    mov(field(c_.read_buffer.next), rax);
    mov(field(c_.read_buffer.ahead_ready), r13);
}

void RunEmitter::thumb_begin(uint32_t pc)
{
    if (!buffered() || key_ != Key::kUnknown) return;
    // Straight on, or out to the run loop before this instruction.
    Xbyak::Label &off = label();
    mov(eax, pc + 4);
    cmp(field(c_.read_buffer.next), rax);
    jne(off, T_NEAR);
    const uint32_t pending = pending_;
    const bool first = pending_ == 0;
    later([this, &off, pc, pending, first] {
        L(off);
        if (first) {
            leave_undone(kInterpret);
        } else {
            pending_ = pending;
            key_ = Key::kUnknown;
            end_at(pc, false);   // its run would stop here again
        }
    });
    key_ = Key::kStraight;
    key_next_ = pc + 4;
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

void RunEmitter::end_at(uint32_t next_pc, bool chain)
{
    if (chain) return end_at_branch(next_pc);
    flush_buffers();
    mov(field(c_.cycles), rbp);
    if (pending_) add(field(c_.instructions), pending_);
    mov(reg(15), next_pc);
    leave(kRan);
}

void RunEmitter::end_after_call()
{
    mov(field(c_.cycles), rbp);
    if (pending_) add(field(c_.instructions), pending_);
    chain_to_pc();
}

void RunEmitter::refill_by_call()
{
    flush_buffers();
    mov(field(c_.cycles), rbp);
    mov(rdi, rbx);
    mov(rax, reinterpret_cast<uintptr_t>(&refill_thumb));
    call(rax);
}

void RunEmitter::end_at_thumb_branch_to_esi()
{
    mov(reg(15), esi);
    if (buffered() && key_ == Key::kStraight) {
        // Cpu::refill_buffered where the target's word is neither the one
        // the buffers hold nor those around it: it is read at once, after
        // the wait states; there the refill is made here.
        const uint32_t s = key_next_;
        const uint64_t wait = c_.code_wait;
        Xbyak::Label &near = label(), &second = label(), &done = label();
        mov(eax, esi);
        and_(eax, ~3u);
        for (const uint32_t w : {s - 4, s - 2, s}) {
            if (w & 3) continue;
            cmp(eax, w);
            je(near, T_NEAR);
        }
        lea(eax, ptr[rsi + 4]);
        mov(field(c_.read_buffer.next), rax);
        test(esi, 2);
        jnz(second);
        lea(rax, ptr[rbp + wait + 1]);   // the target's word in the buffers
        lea(rbp, ptr[rax + 1]);
        lea(r13, ptr[rax + wait + 1]);
        jmp(done);
        L(second);
        lea(r13, ptr[rbp + 2 * wait + 2]);
        mov(rbp, r13);
        L(done);
        mov(field(c_.read_buffer.ahead_ready), r13);
        mov(field(c_.cycles), rbp);
        // The buffers run straight into the target: on into its run.
        if (pending_) add(field(c_.instructions), pending_);
        Xbyak::Label &out = label(), &other = label();
        mov(ecx, esi);
        sub(ecx, c_.code_base);
        entry_of_ecx();
        chain_straight(out, other);
        L(other);
        add(rax, chain_offset_);
        jmp(rax);
        L(out);
        leave(kRan);
        Xbyak::Label &joined = label();
        later([this, &near, &joined, at = state()] {
            L(near);
            set_state(at);
            refill_by_call();
            jmp(joined, T_NEAR);
        });
        L(joined);
    } else if (buffered()) {
        refill_by_call();
    } else {
        add(rbp, r14);
        add(rbp, r12);
        mov(field(c_.cycles), rbp);
    }
    if (pending_) add(field(c_.instructions), pending_);
    chain_to_pc();
}

void RunEmitter::chain_to_pc()
{
    // The run loop goes on at pc, where it is in the window.
    Xbyak::Label &out = label();
    mov(ecx, reg(15));
    sub(ecx, c_.code_base);
    cmp(ecx, c_.code_size);
    jae(out, T_NEAR);
    entry_of_ecx();
    chain_from(out);
}

void RunEmitter::entry_of_ecx()
{
    shr(ecx, thumb_ ? 1 : 2);
    mov(rsi, reinterpret_cast<uintptr_t>(thumb_ ? c_.code_thumb : c_.code_arm));
    mov(rdi, reinterpret_cast<uintptr_t>(thumb_ ? c_.runs_thumb : c_.runs_arm));
    lea(rdi, ptr[rdi + rcx * 8]);
    shl(ecx, 5);
    add(rsi, rcx);
}

void RunEmitter::end_at_branch(uint32_t target)
{
    if (c_.in_window(target) && (!buffered() || (key_ == Key::kStraight && key_next_ == target + 4)))
        return chain_straight_to(target);
    flush_buffers();
    mov(field(c_.cycles), rbp);
    if (pending_) add(field(c_.instructions), pending_);
    mov(reg(15), target);
    if (!c_.in_window(target)) return leave(kRan);
    const uint32_t index = (target - c_.code_base) >> (thumb_ ? 1 : 2);
    mov(rsi, reinterpret_cast<uintptr_t>((thumb_ ? c_.code_thumb : c_.code_arm) + index));
    mov(rdi, reinterpret_cast<uintptr_t>((thumb_ ? c_.runs_thumb : c_.runs_arm) + index));
    chain_from(label());
}

void RunEmitter::chain_straight_to(uint32_t target)
{
    const uint32_t index = (target - c_.code_base) >> (thumb_ ? 1 : 2);
    Xbyak::Label &out = label(), &other = label();
    if (pending_) add(field(c_.instructions), pending_);
    mov(rsi, reinterpret_cast<uintptr_t>((thumb_ ? c_.code_thumb : c_.code_arm) + index));
    mov(rdi, reinterpret_cast<uintptr_t>((thumb_ ? c_.runs_thumb : c_.runs_arm) + index));
    chain_straight(out, other);
    later([this, &out, &other, target, at = state()] {
        set_state(at);
        L(other);
        flush_buffers();
        mov(field(c_.cycles), rbp);
        mov(reg(15), target);
        add(rax, chain_offset_);
        jmp(rax);
        L(out);
        flush_buffers();
        mov(field(c_.cycles), rbp);
        mov(reg(15), target);
        leave(kRan);
    });
}

void RunEmitter::run_there(Xbyak::Label &out, const Xbyak::Operand &cycles)
{
    const Decoded *window_end = (thumb_ ? c_.code_thumb : c_.code_arm) + (c_.code_size >> (thumb_ ? 1 : 2));
    movzx(ecx, byte[rsi + offsetof(Decoded, block)]);
    and_(ecx, ~Decoded::kConditional & 0xFF);
    jz(out, T_NEAR);
    shl(ecx, 5);
    static_assert(sizeof(Decoded) == 32);
    add(rcx, rsi);
    mov(rax, reinterpret_cast<uintptr_t>(window_end));
    cmp(rcx, rax);
    ja(out, T_NEAR);
    movzx(edx, word[rsi + offsetof(Decoded, block_memory)]);
    mov(r8d, field(c_.memory_cycle_max));
    add(r8d, 6);   // Cpu::run_cycles_per_memory_cycle
    imul(rdx, r8);
    add(rdx, cycles);
    cmp(rdx, field(c_.run_until));
    jae(out, T_NEAR);
    mov(rax, qword[rdi]);
    cmp(rax, kNever);
    jbe(out, T_NEAR);
    mov(field(c_.run_end), rcx);
    mov(r15d, 1);
}

void RunEmitter::chain_straight(Xbyak::Label &out, Xbyak::Label &other)
{
    run_there(out, rbp);
    mov(rdx, stamp());
    cmp(qword[rax - kHeader], rdx);
    jne(other, T_NEAR);
    mov(edx, dword[rax - kHeader + 8]);
    add(rax, rdx);
    jmp(rax);
}

void RunEmitter::chain_from(Xbyak::Label &out)
{
    run_there(out, field(c_.cycles));
    add(rax, chain_offset_);
    jmp(rax);
    L(out);
    leave(kRan);
}

void RunEmitter::unless_straight(uint32_t address, Xbyak::Label &other)
{
    if (!buffered()) return;
    if (key_ != Key::kStraight || key_next_ != address) jmp(other, T_NEAR);
}

void RunEmitter::straight_fetch(uint32_t address)
{
    if (!buffered()) {
        add(rbp, r12);
        return;
    }
    const uint64_t wait = c_.code_wait;
    const bool read_ahead_done = ahead_passed_;
    ahead_passed_ = false;
    if (key_ == Key::kEmptied) {
        // Cpu::fetch_buffered_general with nothing in the buffers: a read.
        add(rbp, wait + 1);
        if (address & 2) lea(r13, ptr[rbp + wait + 1]);
    } else if (address & 2) {   // Cpu::fetch_straight
        lea(r13, ptr[rbp + wait + 1]);
        add(rbp, 1);
        // The next fetch comes a cycle after this one at the least, which
        // with no more than one wait state is when the read ahead ends.
        ahead_passed_ = wait <= 1;
    } else if (read_ahead_done) {
        add(rbp, 1);
    } else {
        add(rbp, 1);
        cmp(rbp, r13);
        cmovb(rbp, r13);
    }
    key_ = Key::kStraight;
    key_next_ = address + 2;
}

void RunEmitter::thumb_refill(uint32_t key, uint32_t target)
{
    if (!buffered()) {
        add(rbp, r14);
        add(rbp, r12);
        return;
    }
    // Cpu::refill_buffered, the buffers' key known; r13 is ahead_ready.
    const uint64_t wait = c_.code_wait, w = target & ~3u, s = key;
    ahead_passed_ = false;
    key_ = Key::kStraight;
    key_next_ = target + 4;
    if (s == w + 4) {
        if (target & 2) {
            lea(rax, ptr[rbp + 2]);
            cmp(rax, r13);
            cmovb(rax, r13);
            mov(rbp, rax);
        } else {
            add(rbp, 2);
        }
        return;
    }
    // rdx := free, the cycle the target's word is in the buffers.
    if (s == w + 2) {
        mov(rdx, rbp);
    } else if (s == w) {
        mov(rdx, rbp);
        cmp(rdx, r13);
        cmovb(rdx, r13);
    } else {
        lea(rdx, ptr[rbp + wait + 1]);
    }
    if (target & 2) {
        lea(r13, ptr[rdx + wait + 1]);
        lea(rax, ptr[rbp + 2]);
        cmp(rax, r13);
        cmovb(rax, r13);
        mov(rbp, rax);
    } else {
        lea(rax, ptr[rbp + 1]);   // first := max(free, t + 1)
        cmp(rax, rdx);
        cmovb(rax, rdx);
        lea(rbp, ptr[rax + 1]);
        lea(r13, ptr[rax + wait + 1]);
    }
}

void RunEmitter::flush_before_call(uint32_t pc)
{
    flush_buffers();
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
    if (buffered()) mov(r13, field(c_.read_buffer.ahead_ready));
    key_ = Key::kUnknown;
    ahead_passed_ = false;
}

void RunEmitter::call_of(Decoded &d, Handler own)
{
    mov(rdi, rbx);
    mov(rsi, reinterpret_cast<uintptr_t>(&d));
    if (own) {
        mov(rax, reinterpret_cast<uintptr_t>(own));
        call(rax);
    } else {
        call(qword[rsi]);   // Decoded::fn, as it is when the call is made
    }
}

void RunEmitter::call_handler(Decoded &d, uint32_t pc)
{
    flush_before_call(pc);
    call_of(d, own_);
    after_call();
    ++pending_;
}

bool RunEmitter::at_loop_head(Decoded &d, uint32_t pc, Handler own, const std::function<bool()> &head)
{
    Xbyak::Label &whole = label(), &back = label();
    const State before = state();
    flush_before_call(pc);
    mov(rdi, rbx);
    mov(rsi, reinterpret_cast<uintptr_t>(&d));
    mov(rax, reinterpret_cast<uintptr_t>(&replayed_at_head));
    call(rax);
    test(al, al);
    jz(whole, T_NEAR);
    // Replayed: the cycles and the read ahead moved on together, the
    // buffers' key stayed, and the run goes on.
    if (pending_) sub(field(c_.instructions), pending_);
    mov(rbp, field(c_.cycles));
    if (buffered()) mov(r13, field(c_.read_buffer.ahead_ready));
    own_ = own;
    const bool inline_done = head();
    if (inline_done)
        done();
    else
        call_handler(d, pc);
    own_ = nullptr;
    // The head's handler alone may have read the word anew, later.
    ahead_passed_ = false;
    L(back);
    const State at_back = state();
    later([this, &whole, &back, pc, before, at_back] {
        L(whole);
        set_state(before);
        after_call();
        rejoin(at_back, at_back.pending, back, pc);
    });
    return inline_done;
}

void RunEmitter::call_handler_cold(Decoded &d, uint32_t pc, const State &at_jump, Xbyak::Label &from,
                                   Xbyak::Label &back)
{
    // The handler's fetch may have read the word anew, later.
    ahead_passed_ = false;
    const State at_back = state();
    const Handler own = own_;
    later([this, &d, pc, at_jump, at_back, &from, &back, own] {
        L(from);
        set_state(at_jump);
        flush_before_call(pc);
        call_of(d, own);
        after_call();
        rejoin(at_back, at_back.pending + 1, back, pc);
    });
}

void RunEmitter::store_at_port_cold(uint32_t pc, unsigned rd, const State &at_jump, Xbyak::Label &from,
                                    Xbyak::Label &slow, Xbyak::Label &back, std::function<void()> fetch)
{
    const State at_back = state();
    later([this, pc, rd, at_jump, at_back, &from, &slow, &back, fetch] {
        L(from);
        set_state(at_jump);
        if (buffered() && at_jump.key == Key::kUnknown) {
            jmp(slow, T_NEAR);
            return;
        }
        // As the handler takes it to a port: no memory in the page, no tool
        // on the accesses, and a port that holds the address.
        mov(rax, field(c_.plain_pages));
        mov(ecx, esi);
        shr(ecx, 12);
        cmp(byte[rax + rcx], 0);
        jne(slow, T_NEAR);
        cmp(field(c_.access_hooks), 0);
        jne(slow, T_NEAR);
        using Port = CoreBus::Port;
        const int ports = static_cast<int>(reinterpret_cast<const char *>(&c_.bus->port(0)) -
                                           reinterpret_cast<const char *>(c_.bus));
        mov(eax, esi);
        shr(eax, 2);
        and_(eax, CoreBus::kPorts - 1);
        imul(eax, eax, static_cast<int>(sizeof(Port)));
        mov(rdi, field(c_.bus));
        lea(rdi, ptr[rdi + rax + ports]);
        cmp(dword[rdi + static_cast<int>(offsetof(Port, address))], esi);
        jne(slow, T_NEAR);
        // The fetch before the store, undone where the port refuses it.
        Xbyak::Label &refused = label();
        push(rbp);
        push(r13);
        fetch();
        flush_before_call(pc);
        mov(field(c_.in_bus_access), 1);
        mov(rsi, rbp);
        mov(edx, reg(rd));
        call(qword[rdi + static_cast<int>(offsetof(Port, store))]);
        mov(field(c_.in_bus_access), 0);
        test(al, al);
        jz(refused, T_NEAR);
        add(rsp, 16);
        add(rbp, 1);   // no wait states
        mov(field(c_.cycles), rbp);
        mov(reg(15), pc + (thumb_ ? 2 : 4));
        after_call();
        rejoin(at_back, at_back.pending + 1, back, pc);
        L(refused);
        pop(r13);
        pop(rbp);
        set_state(at_jump);
        if (pending_) sub(field(c_.instructions), pending_);
        jmp(slow, T_NEAR);
    });
}

void RunEmitter::rejoin(const State &at_back, uint32_t counted, Xbyak::Label &back, uint32_t pc)
{
    // Back into the code where the buffers are as it has them there, else
    // out to the run loop after this instruction.
    set_state(at_back);
    if (buffered() && at_back.key == Key::kStraight) {
        Xbyak::Label &off = label();
        mov(eax, at_back.key_next);
        cmp(field(c_.read_buffer.next), rax);
        jne(off, T_NEAR);
        jmp(back, T_NEAR);
        L(off);
        key_ = Key::kUnknown;
        pending_ = counted;
        end_at(pc + (thumb_ ? 2 : 4));
    } else {
        jmp(back, T_NEAR);
    }
}

void RunEmitter::thumb_fetch(uint32_t address, bool sequential)
{
    if (!buffered()) {
        add(rbp, sequential ? r12 : r14);
        return;
    }
    straight_fetch(address);
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

void RunEmitter::shifted_operand(unsigned rm, unsigned type, unsigned amount, bool carry)
{
    mov(ecx, reg(rm));
    if (type == 3 && amount == 0) {   // RRX: the C flag in at the top
        movzx(edx, field(c_.flags.c));
        bt(edx, 0);
        rcr(ecx, 1);
        if (carry) setc(dl);
        return;
    }
    if (amount == 0 && type != 0) {   // LSR #32, ASR #32
        if (carry) {
            bt(ecx, 31);
            setc(dl);
        }
        if (type == 1)
            xor_(ecx, ecx);
        else
            sar(ecx, 31);
        return;
    }
    if (amount == 0) {
        if (carry) mov(dl, field(c_.flags.c));
        return;
    }
    switch (type) {
    case 0: shl(ecx, amount); break;
    case 1: shr(ecx, amount); break;
    case 2: sar(ecx, amount); break;
    default: ror(ecx, amount); break;   // CF: the result's top bit, the last one rotated
    }
    if (carry) setc(dl);
}

void RunEmitter::set_nz(const Xbyak::Reg32 &res)
{
    if (!(live_ & (kFlagN | kFlagZ))) return;
    test(res, res);
    if (live_ & kFlagN) sets(field(c_.flags.n));
    if (live_ & kFlagZ) setz(field(c_.flags.z));
}

void RunEmitter::set_nzcv(bool subtract)
{
    if (live_ & kFlagN) sets(field(c_.flags.n));
    if (live_ & kFlagZ) setz(field(c_.flags.z));
    if (live_ & kFlagC) {
        if (subtract)
            setae(field(c_.flags.c));
        else
            setc(field(c_.flags.c));
    }
    if (live_ & kFlagV) seto(field(c_.flags.v));
}

void RunEmitter::set_c(const Xbyak::Reg8 &value)
{
    if (live_ & kFlagC) mov(field(c_.flags.c), value);
}

void RunEmitter::set_flag_to(uint8_t flag, bool value)
{
    if (!(live_ & flag)) return;
    const Cpu::Flags &f = c_.flags;
    const uint8_t &byte = flag == kFlagN ? f.n : flag == kFlagZ ? f.z : flag == kFlagC ? f.c : f.v;
    mov(field(byte), value ? 1 : 0);
}

void RunEmitter::carry_in(bool subtract)
{
    movzx(edx, field(c_.flags.c));
    if (subtract) xor_(edx, 1);
    bt(edx, 0);
}

void RunEmitter::plain_region(bool write, Xbyak::Label &slow)
{
    if (!likely_) return plain_region_any(write, slow);
    // The likely region's bounds and facts are those it had when the code
    // was made: new regions forget every run's code.
    const Region &g = *likely_;
    Xbyak::Label &other = label(), &found = label();
    mov(eax, esi);
    sub(eax, g.base);
    cmp(eax, g.mask);
    ja(other, T_NEAR);
    if (write) {
        // No decoded code in the address's granule.
        mov(r11d, eax);
        add(r11d, g.cache_offset);
        shr(r11d, CodeCache::kPageShift);
        mov(r10, reinterpret_cast<uintptr_t>(g.code_pages));
        cmp(byte[r10 + r11], 0);
        jne(slow, T_NEAR);
    }
    mov(r9, reinterpret_cast<uintptr_t>(g.host));
    add(r9, rax);
    mov(r8, reinterpret_cast<uintptr_t>(&g + 1));
    mov(r10d, g.wait_n);
    L(found);
    later([this, write, &slow, &other, &found] {
        L(other);
        plain_region_any(write, slow);
        jmp(found, T_NEAR);
    });
}

void RunEmitter::plain_region_any(bool write, Xbyak::Label &slow)
{
    mov(rax, field(c_.plain_pages));
    mov(r8d, esi);
    shr(r8d, 12);
    movzx(r8d, byte[rax + r8]);
    lea(r9d, ptr[r8 - 1]);
    cmp(r9b, 0xFD);
    ja(slow, T_NEAR);
    imul(r8d, r8d, static_cast<int>(sizeof(Region)));
    add(r8, field(c_.region_table));
    // r8 points one region past the one found.
    auto at = [](size_t member) { return static_cast<int>(member) - static_cast<int>(sizeof(Region)); };
    const int host = at(offsetof(Region, host)), mask = at(offsetof(Region, mask));
    if (write) {
        cmp(byte[r8 + at(offsetof(Region, writable))], 0);
        je(slow, T_NEAR);
        // No decoded code in the address's granule.
        mov(r9d, esi);
        and_(r9d, dword[r8 + mask]);
        add(r9d, dword[r8 + at(offsetof(Region, cache_offset))]);
        shr(r9d, CodeCache::kPageShift);
        mov(r10, qword[r8 + at(offsetof(Region, code_pages))]);
        cmp(byte[r10 + r9], 0);
        jne(slow, T_NEAR);
    } else {
        cmp(byte[r8 + at(offsetof(Region, read_buffer))], 0);
        jne(slow, T_NEAR);
    }
    mov(r9d, esi);
    and_(r9d, dword[r8 + mask]);
    add(r9, qword[r8 + host]);
    movzx(r10d, byte[r8 + at(offsetof(Region, wait_n))]);
}

void RunEmitter::load_host(unsigned size, bool sign)
{
    if (size == 4)
        mov(eax, dword[r9]);
    else if (size == 2)
        sign ? movsx(eax, word[r9]) : movzx(eax, word[r9]);
    else
        sign ? movsx(eax, byte[r9]) : movzx(eax, byte[r9]);
}

void RunEmitter::store_host(unsigned size, unsigned rd)
{
    mov(eax, reg(rd));
    if (size == 4)
        mov(dword[r9], eax);
    else if (size == 2)
        mov(word[r9], ax);
    else
        mov(byte[r9], al);
}

void RunEmitter::code_free_at(uint32_t offset, Xbyak::Label &slow)
{
    auto at = [](size_t member) { return static_cast<int>(member) - static_cast<int>(sizeof(Region)); };
    lea(r11d, ptr[rsi + offset]);
    and_(r11d, dword[r8 + at(offsetof(Region, mask))]);
    add(r11d, dword[r8 + at(offsetof(Region, cache_offset))]);
    shr(r11d, CodeCache::kPageShift);
    mov(rax, qword[r8 + at(offsetof(Region, code_pages))]);
    cmp(byte[rax + r11], 0);
    jne(slow, T_NEAR);
}

const uint8_t *RunEmitter::finish()
{
    // Slow paths may add slow paths of their own.
    for (size_t i = 0; i < cold_.size(); ++i) cold_[i]();
    L(exit_after_call_);
    add(field(c_.instructions), 1);
    chain_to_pc();
    L(stale_);
    leave_undone(kStale);
    L(elsewhere_);
    leave_undone(kInterpret);
    ready();
    uint8_t *start = const_cast<uint8_t *>(getCode());
    const uint64_t fast = fast_entry_ - kHeader;
    std::memcpy(start + 8, &fast, sizeof fast);
    return start + kHeader;
}

}  // namespace sim::core::jit
