#include "tests/core/diff_generator.h"

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>

namespace diff {

namespace {

constexpr uint32_t kUser = 0x10, kSystem = 0x1F;
constexpr uint32_t kT = 1u << 5, kF = 1u << 6, kI = 1u << 7;
constexpr uint32_t kCarry = 1u << 29;
constexpr uint32_t kAl = 14;
constexpr int kSp = 13, kLr = 14, kPc = 15;
// Bytes of stack one sequence may push or pop at most: each mode's stack
// pointer starts this far inside its slice of the data window.
constexpr uint32_t kStackBudget = 0x240;
constexpr uint32_t kStackSlice = 0x900;
// Generated code stays well below what PC-relative Thumb loads can reach.
constexpr uint32_t kMaxCodeBytes = 0x260;

// strb r0, [pc, #0xfff]: a store to no memory, which the core's runner
// takes as the end (the code region is smaller than pc + 8 + 0xfff).
constexpr uint32_t kEndMarker = 0xE5CF0FFF;

uint32_t ror(uint32_t v, unsigned n) { return n % 32 ? (v >> n % 32) | (v << (32 - n % 32)) : v; }

class Rng {
public:
    explicit Rng(uint64_t seed) : engine_(seed) {}
    uint32_t u32() { return static_cast<uint32_t>(engine_()); }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(engine_() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    // A register value that makes flags and shifts interesting more often
    // than a uniform one would.
    uint32_t value()
    {
        static const uint32_t edges[] = {0, 1, 2, 31, 32, 33, 0x7FFFFFFF, 0x80000000, 0x80000001,
                                         0xFFFFFFFF, 0xFFFFFFFE, 0x0000FFFF, 0xFFFF8000};
        switch (below(6)) {
        case 0: return below(256);
        case 1: return edges[below(sizeof edges / sizeof edges[0])];
        case 2: return 0xFFFFFF00 | below(256);
        default: return u32();
        }
    }
    // Never NV (1111): the oracle and the ARM7TDMI differ there (see diff_test.cpp).
    uint32_t cond() { return chance(70) ? kAl : below(15); }

private:
    std::mt19937_64 engine_;
};

// Code, labels and the literal pool of one sequence.
class Emitter {
public:
    enum class Fix { ArmBranch, ArmLiteral, ArmAddPc, ThumbLiteral, ThumbCondBranch, ThumbBranch, ThumbBl };

    uint32_t here() const { return kCodeBase + static_cast<uint32_t>(bytes_.size()); }
    size_t size() const { return bytes_.size(); }

    void arm(uint32_t word)
    {
        pieces_.push_back({here(), 4, false, false});
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<uint8_t>(word >> 8 * i));
    }
    void thumb(uint16_t half) { put16(half); pieces_.push_back({here() - 2, 2, true, false}); }
    void thumb_pair(uint16_t first, uint16_t second)
    {
        pieces_.push_back({here(), 4, true, false});
        put16(first);
        put16(second);
    }

    int label()
    {
        labels_.push_back(-1);
        return static_cast<int>(labels_.size()) - 1;
    }
    void bind(int label) { labels_[label] = here(); }
    // A pool word holding `value`, or the address of `label` plus `value`.
    int literal(uint32_t value, int label = -1)
    {
        for (size_t i = 0; i < literals_.size(); ++i)
            if (literals_[i].label == label && literals_[i].value == value)
                return static_cast<int>(i);
        literals_.push_back({value, label});
        return static_cast<int>(literals_.size()) - 1;
    }
    // The instruction just emitted refers to a label or literal.
    void fix(Fix kind, int target) { fixups_.push_back({here() - (kind == Fix::ThumbBl ? 4u : kind >= Fix::ThumbLiteral ? 2u : 4u), kind, target}); }

    // Lays out the pool after the end and resolves every reference.
    void finish(Program &p)
    {
        while (bytes_.size() % 4)
            bytes_.push_back(0);
        uint32_t pool = here();
        for (size_t i = 0; i < literals_.size(); ++i) {
            const Literal &l = literals_[i];
            uint32_t v = l.label >= 0 ? address_of(l.label) + l.value : l.value;
            pieces_.push_back({here(), 4, false, true});
            for (int b = 0; b < 4; ++b)
                bytes_.push_back(static_cast<uint8_t>(v >> 8 * b));
        }
        if (bytes_.size() > kCodeSize)
            throw std::logic_error("generated code does not fit the code region");
        for (const Fixup &f : fixups_)
            resolve(f, pool);
        p.listing = pieces_;
        p.initial.code.assign(kCodeSize, 0);
        std::copy(bytes_.begin(), bytes_.end(), p.initial.code.begin());
    }

private:
    struct Literal {
        uint32_t value;
        int label;
    };
    struct Fixup {
        uint32_t at;
        Fix kind;
        int target;
    };

    void put16(uint16_t h)
    {
        bytes_.push_back(static_cast<uint8_t>(h));
        bytes_.push_back(static_cast<uint8_t>(h >> 8));
    }
    uint32_t address_of(int label) const
    {
        if (labels_[label] < 0)
            throw std::logic_error("branch to a label never bound");
        return static_cast<uint32_t>(labels_[label]);
    }
    uint32_t read32(uint32_t a) const
    {
        size_t o = a - kCodeBase;
        return bytes_[o] | bytes_[o + 1] << 8 | bytes_[o + 2] << 16 | static_cast<uint32_t>(bytes_[o + 3]) << 24;
    }
    void write32(uint32_t a, uint32_t v)
    {
        for (int b = 0; b < 4; ++b)
            bytes_[a - kCodeBase + b] = static_cast<uint8_t>(v >> 8 * b);
    }
    uint16_t read16(uint32_t a) const { return static_cast<uint16_t>(bytes_[a - kCodeBase] | bytes_[a - kCodeBase + 1] << 8); }
    void write16(uint32_t a, uint16_t v)
    {
        bytes_[a - kCodeBase] = static_cast<uint8_t>(v);
        bytes_[a - kCodeBase + 1] = static_cast<uint8_t>(v >> 8);
    }
    static void check(bool ok, const char *what)
    {
        if (!ok)
            throw std::logic_error(std::string("generated reference out of range: ") + what);
    }

    void resolve(const Fixup &f, uint32_t pool)
    {
        switch (f.kind) {
        case Fix::ArmBranch: {
            int32_t off = static_cast<int32_t>(address_of(f.target) - (f.at + 8));
            write32(f.at, read32(f.at) | ((static_cast<uint32_t>(off) >> 2) & 0xFFFFFF));
            break;
        }
        case Fix::ArmLiteral: {
            // A load just before the pool reaches back to it (pc is 8 ahead).
            int32_t off = static_cast<int32_t>(pool + 4 * f.target - (f.at + 8));
            uint32_t word = read32(f.at);
            if (off < 0) {
                word &= ~(1u << 23);
                off = -off;
            }
            check(off < 4096, "ARM literal");
            write32(f.at, word | static_cast<uint32_t>(off));
            break;
        }
        case Fix::ArmAddPc: {
            // The next instruction is at pc - 4: then it is SUB pc, pc, #4.
            uint32_t off = address_of(f.target) - (f.at + 8), word = read32(f.at);
            if (off == ~3u) {
                word ^= (4u ^ 2u) << 21;
                off = 4;
            }
            check(off < 1024 && off % 4 == 0, "add pc");
            write32(f.at, word | 0xF00 | off >> 2);   // imm8 ror 30
            break;
        }
        case Fix::ThumbLiteral: {
            uint32_t off = pool + 4 * f.target - ((f.at + 4) & ~3u);
            check(off < 1024, "Thumb literal");
            write16(f.at, static_cast<uint16_t>(read16(f.at) | off >> 2));
            break;
        }
        case Fix::ThumbCondBranch: {
            int32_t off = static_cast<int32_t>(address_of(f.target) - (f.at + 4));
            check(off >= -256 && off < 256, "Thumb conditional branch");
            write16(f.at, static_cast<uint16_t>(read16(f.at) | ((off >> 1) & 0xFF)));
            break;
        }
        case Fix::ThumbBranch: {
            int32_t off = static_cast<int32_t>(address_of(f.target) - (f.at + 4));
            check(off >= -2048 && off < 2048, "Thumb branch");
            write16(f.at, static_cast<uint16_t>(read16(f.at) | ((off >> 1) & 0x7FF)));
            break;
        }
        case Fix::ThumbBl: {
            int32_t off = static_cast<int32_t>(address_of(f.target) - (f.at + 4));
            write16(f.at, static_cast<uint16_t>(read16(f.at) | ((off >> 12) & 0x7FF)));
            write16(f.at + 2, static_cast<uint16_t>(read16(f.at + 2) | ((off >> 1) & 0x7FF)));
            break;
        }
        }
    }

    std::vector<uint8_t> bytes_;
    std::vector<Piece> pieces_;
    std::vector<int64_t> labels_;
    std::vector<Literal> literals_;
    std::vector<Fixup> fixups_;
};

// ARM encodings.
uint32_t arm_dp(uint32_t cond, uint32_t op, bool s, int rn, int rd, uint32_t operand2)
{
    return cond << 28 | op << 21 | (s ? 1u : 0u) << 20 | rn << 16 | rd << 12 | operand2;
}
uint32_t imm_operand(uint32_t imm8, uint32_t rot) { return 1u << 25 | rot << 8 | imm8; }
uint32_t shift_imm(int rm, uint32_t type, uint32_t amount) { return amount << 7 | type << 5 | rm; }
uint32_t shift_reg(int rm, uint32_t type, int rs) { return rs << 8 | type << 5 | 1u << 4 | rm; }
uint32_t arm_ldm(uint32_t cond, bool p, bool u, bool s, bool w, bool l, int rn, uint32_t list)
{
    return cond << 28 | 4u << 25 | p << 24 | u << 23 | s << 22 | w << 21 | l << 20 | rn << 16 | list;
}
uint32_t arm_nop() { return arm_dp(kAl, 13, false, 0, 0, shift_imm(0, 0, 0)); }   // mov r0, r0

// The shifter's result for an immediate shift (never RRX: no carry known).
uint32_t shifted(uint32_t v, uint32_t type, uint32_t amount)
{
    switch (type) {
    case 0: return v << amount;
    case 1: return amount ? v >> amount : 0;
    case 2: return amount ? static_cast<uint32_t>(static_cast<int32_t>(v) >> amount) : (v & 0x80000000 ? ~0u : 0);
    default: return ror(v, amount);
    }
}

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed) {}

    Program run(uint64_t seed)
    {
        Program p;
        p.seed = seed;
        initial_state(p.initial);
        thumb_ = p.initial.cpu.cpsr & kT;
        mode_ = p.initial.cpu.cpsr & 0x1F;
        unsigned groups = 8 + rng_.below(33);
        for (unsigned g = 0; g < groups && e_.size() < kMaxCodeBytes; ++g) {
            boundary();
            thumb_ ? thumb_group() : arm_group();
        }
        if (thumb_)
            thumb_to_arm();
        barrier();
        // Our core runs the end marker, the oracle stops before it.
        p.end = e_.here();
        e_.arm(kEndMarker);
        e_.finish(p);
        return p;
    }

private:
    struct Pending {
        int label;
        unsigned groups_left;
    };

    void initial_state(MachineState &m)
    {
        static const uint32_t privileged[] = {0x11, 0x12, 0x13, 0x17, 0x1B, 0x1F};
        CpuState &c = m.cpu;
        bool thumb = rng_.chance(50);
        c.cpsr = (rng_.u32() & 0xF0000000) | rng_.below(4) << 6 | (thumb ? kT : 0) | privileged[rng_.below(6)];
        c.pc = kCodeBase;
        for (uint32_t &r : c.low)
            r = rng_.value();
        for (uint32_t &r : c.user)
            r = rng_.value();
        for (uint32_t &r : c.fiq)
            r = rng_.value();
        for (int b = 0; b < kBankedModes; ++b) {
            c.sp_lr[b][0] = c.sp_lr[b][1] = rng_.value();
            c.spsr[b] = random_psr();
        }
        // Each mode's stack pointer in a slice of its own: FIQ .. UND, then user.
        c.fiq[5] = stack_pointer(0);
        for (int b = kIrq; b < kBankedModes; ++b)
            c.sp_lr[b][0] = stack_pointer(b);
        c.user[5] = stack_pointer(kBankedModes);
        m.data.resize(kDataSize);
        for (uint8_t &byte : m.data)
            byte = static_cast<uint8_t>(rng_.u32());
    }
    static uint32_t stack_pointer(int slice) { return kDataBase + kGeneralSize + kStackBudget + slice * kStackSlice; }
    // A PSR with a valid mode and the reserved bits clear (what the
    // ARM7TDMI does with reserved PSR bits is not something to compare).
    uint32_t random_psr()
    {
        static const uint32_t modes[] = {0x10, 0x11, 0x12, 0x13, 0x17, 0x1B, 0x1F};
        return (rng_.u32() & 0xF00000E0) | modes[rng_.below(7)];
    }

    // Group boundaries are where forward branches may land: a group's setup
    // (a base register loaded from the pool) is never skipped without the
    // access that needs it.
    void boundary()
    {
        for (size_t i = 0; i < pending_.size();) {
            if (--pending_[i].groups_left == 0) {
                e_.bind(pending_[i].label);
                pending_.erase(pending_.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
    }
    // Before code whose effect the generator must know statically (a state
    // or mode switch): nothing may branch over it.
    void barrier()
    {
        for (const Pending &pending : pending_)
            e_.bind(pending.label);
        pending_.clear();
    }
    int forward_label()
    {
        int l = e_.label();
        pending_.push_back({l, 1 + rng_.below(3)});
        return l;
    }
    bool has_spsr() const { return mode_ != kUser && mode_ != kSystem; }

    // Registers an ARM instruction may write: never sp (it stays a stack
    // pointer) nor pc (written only in the deliberate forms below).
    int arm_dest() { int r = static_cast<int>(rng_.below(14)); return r == kSp ? kLr : r; }
    int arm_source() { return static_cast<int>(rng_.below(15)); }
    int low() { return static_cast<int>(rng_.below(8)); }
    uint32_t list(uint32_t mask) { uint32_t l; do l = rng_.u32() & mask; while (!l); return l; }
    bool spend_stack(uint32_t bytes)
    {
        if (stack_used_ + bytes > kStackBudget)
            return false;
        stack_used_ += bytes;
        return true;
    }

    void arm_literal(uint32_t cond, int rd, uint32_t value, int label = -1)
    {
        e_.arm(cond << 28 | 0x059F0000 | rd << 12);   // ldr rd, [pc, #+lit]
        e_.fix(Emitter::Fix::ArmLiteral, e_.literal(value, label));
    }
    void thumb_literal(int rd, uint32_t value, int label = -1)
    {
        e_.thumb(static_cast<uint16_t>(0x4800 | rd << 8));
        e_.fix(Emitter::Fix::ThumbLiteral, e_.literal(value, label));
    }
    // An aligned address for an access of `size` bytes in the general part
    // of the data window, `margin` bytes from either end.
    uint32_t data_address(unsigned size, uint32_t margin = 0)
    {
        return (kDataBase + margin + rng_.below(kGeneralSize - 2 * margin)) & ~(size - 1);
    }

    // ---- ARM ---------------------------------------------------------------

    void arm_group()
    {
        unsigned pick = rng_.below(100);
        if (pick < 28) arm_data_processing();
        else if (pick < 34) arm_multiply();
        else if (pick < 45) arm_load_store();
        else if (pick < 52) arm_halfword();
        else if (pick < 59) arm_block_transfer();
        else if (pick < 62) arm_stack();
        else if (pick < 64) arm_swap();
        else if (pick < 65) arm_loop();
        else if (pick < 72) arm_status();
        else if (pick < 75) arm_mode_change();
        else if (pick < 81) arm_branch();
        else if (pick < 86) arm_pc_write();
        else if (pick < 88) arm_user_bank();
        else if (pick < 89) arm_exception_return();
        else if (pick < 93) arm_literal(rng_.cond(), arm_dest(), rng_.value());
        else if (pick < 95) arm_code_patch();
        else arm_to_thumb();
    }

    void arm_data_processing()
    {
        uint32_t op = rng_.below(16);
        bool compare = op >= 8 && op <= 11;   // TST..CMN: S set, else they encode MRS/MSR
        bool s = compare || rng_.chance(50);
        int rd = compare ? 0 : arm_dest();
        bool move = op == 13 || op == 15;   // MOV and MVN: Rn should be zero
        uint32_t form = rng_.below(3);
        uint32_t operand2;
        int rn;
        if (form == 0) {
            rn = static_cast<int>(rng_.below(16));   // pc reads as the instruction's address + 8
            operand2 = imm_operand(rng_.chance(30) ? 0xFF : rng_.below(256), rng_.below(16));
        } else if (form == 1) {
            rn = static_cast<int>(rng_.below(16));
            operand2 = shift_imm(static_cast<int>(rng_.below(16)), rng_.below(4), rng_.below(32));
        } else {
            // Excluded: pc as any operand of a register-specified shift
            // (UNPREDICTABLE; the ARM7TDMI reads it as address + 12, which
            // the directed tests check).
            int rs = arm_source();
            if (rs != kSp && rng_.chance(40))
                e_.arm(arm_dp(kAl, 13, false, 0, rs, imm_operand(shift_amount(), 0)));
            rn = arm_source();
            operand2 = shift_reg(arm_source(), rng_.below(4), rs);
        }
        e_.arm(arm_dp(rng_.cond(), op, s, move ? 0 : rn, rd, operand2));
    }
    uint32_t shift_amount()
    {
        static const uint32_t amounts[] = {0, 1, 31, 32, 33, 255};
        return rng_.chance(50) ? amounts[rng_.below(6)] : rng_.below(256);
    }

    void arm_multiply()
    {
        uint32_t cond = rng_.cond();
        bool s = rng_.chance(50);
        int rm = arm_dest(), rs = arm_source();
        if (rng_.chance(50)) {
            // Excluded: Rd == Rm (UNPREDICTABLE before ARMv6).
            int rd;
            do rd = arm_dest(); while (rd == rm);
            bool accumulate = rng_.chance(50);
            e_.arm(cond << 28 | accumulate << 21 | s << 20 | rd << 16 | (accumulate ? arm_source() : 0) << 12 | rs << 8 | 0x90 | rm);
        } else {
            // Excluded: RdHi, RdLo and Rm not all different (UNPREDICTABLE).
            int hi, lo;
            do hi = arm_dest(); while (hi == rm);
            do lo = arm_dest(); while (lo == rm || lo == hi);
            e_.arm(cond << 28 | 0x00800090 | rng_.below(2) << 22 | rng_.below(2) << 21 | s << 20 | hi << 16 | lo << 12 | rs << 8 | rm);
        }
        if (s)
            carry_after_multiply();
    }
    // A flag-setting multiply leaves C meaningless on the ARM7TDMI (it is
    // whatever the multiplier's last step produced) and unchanged in the
    // oracle's model: capture N and Z without C, then give C a defined value.
    void carry_after_multiply()
    {
        int rt = arm_dest();
        e_.arm(kAl << 28 | 0x010F0000 | rt << 12);                          // mrs rt, cpsr
        e_.arm(arm_dp(kAl, 14, false, rt, rt, imm_operand(2, 2)));          // bic rt, rt, #C
        e_.arm(arm_dp(kAl, 10, true, arm_source(), 0, shift_imm(arm_source(), 0, 0)));   // cmp
    }

    // LDR/STR/LDRB/STRB (and the T forms) in every addressing mode.
    void arm_load_store()
    {
        bool load = rng_.chance(50), byte = rng_.chance(35);
        bool pre = rng_.chance(60), up = rng_.chance(50);
        bool writeback = pre ? rng_.chance(40) : rng_.chance(20);   // post-indexed W=1: LDRT/STRT
        uint32_t address = data_address(byte ? 1 : 4);
        int rn = arm_dest();
        // Excluded: a base register written back that is also the
        // destination (UNPREDICTABLE), and storing pc (the ARM7TDMI stores
        // its address + 12: a directed test).
        int rd;
        do rd = arm_dest(); while ((writeback || !pre) && rd == rn);
        uint32_t offset_field, offset;
        if (rng_.chance(50)) {
            offset = rng_.below(4096) & (byte ? ~0u : ~3u);
            offset_field = offset;
        } else {
            // Excluded: pc as offset, and Rm == Rn post-indexed or with write-back (UNPREDICTABLE).
            int rm;
            do rm = arm_dest(); while (rm == rn);
            uint32_t type = rng_.below(4), amount = rng_.below(32);
            if (type == 3 && amount == 0)
                amount = 1;   // not RRX: its carry is not known here
            uint32_t value = rng_.u32();
            offset = shifted(value, type, amount);
            if (!byte) {
                // keep the address word aligned
                value = value & ~3u;
                type = 0;
                amount = rng_.below(4);
                offset = value << amount;
            }
            arm_literal(kAl, rm, value);
            offset_field = 1u << 25 | shift_imm(rm, type, amount);
        }
        uint32_t base = pre ? (up ? address - offset : address + offset) : address;
        arm_literal(kAl, rn, base);
        e_.arm(rng_.cond() << 28 | 1u << 26 | pre << 24 | up << 23 | byte << 22 | writeback << 21 | load << 20 | rn << 16 | rd << 12 | offset_field);
    }

    // LDRH/STRH/LDRSB/LDRSH with immediate or register offsets.
    void arm_halfword()
    {
        static const uint32_t kinds[][2] = {{0, 1}, {1, 1}, {1, 2}, {1, 3}};   // {L, SH}: STRH, LDRH, LDRSB, LDRSH
        const uint32_t *k = kinds[rng_.below(4)];
        bool load = k[0], pre = rng_.chance(60), up = rng_.chance(50);
        bool writeback = pre && rng_.chance(40);   // post-indexed W=1 is not a halfword transfer
        unsigned size = k[1] == 2 ? 1 : 2;
        uint32_t address = data_address(size);
        int rn = arm_dest();
        int rd;
        do rd = arm_dest(); while ((writeback || !pre) && rd == rn);
        uint32_t offset, fields;
        if (rng_.chance(50)) {
            offset = rng_.below(256) & ~(size - 1);
            fields = 1u << 22 | (offset >> 4) << 8 | (offset & 15);
        } else {
            int rm;
            do rm = arm_dest(); while (rm == rn);
            offset = rng_.u32() & ~(size - 1);
            arm_literal(kAl, rm, offset);
            fields = rm;
        }
        uint32_t base = pre ? (up ? address - offset : address + offset) : address;
        arm_literal(kAl, rn, base);
        e_.arm(rng_.cond() << 28 | pre << 24 | up << 23 | writeback << 21 | load << 20 | rn << 16 | rd << 12 | 0x90 | k[1] << 5 | fields);
    }

    void arm_block_transfer()
    {
        bool load = rng_.chance(50), writeback = rng_.chance(50);
        int rn = arm_dest();
        uint32_t list = this->list(0x5FFF);   // no sp, no pc
        if (load && writeback)
            list &= ~(1u << rn);   // Excluded: LDM writing back a base it loads (UNPREDICTABLE)
        // Excluded: STM writing back a base that is in the list but not its
        // lowest register (UNPREDICTABLE; the ARM7TDMI stores the new base).
        if (!load && writeback && (list & (1u << rn)) && (list & ((1u << rn) - 1)))
            list &= ~(1u << rn);
        if (!list)
            list = rn == 0 ? 2 : 1;
        arm_literal(kAl, rn, data_address(4, 0x80));
        e_.arm(arm_ldm(rng_.cond(), rng_.chance(50), rng_.chance(50), false, writeback, load, rn, list));
    }

    // Full-descending pushes and pops on the mode's stack pointer.
    void arm_stack()
    {
        uint32_t list = this->list(0x5FFF);
        if (!spend_stack(4 * static_cast<uint32_t>(__builtin_popcount(list))))
            return arm_data_processing();
        bool push = rng_.chance(50);
        e_.arm(arm_ldm(rng_.cond(), push, !push, false, true, !push, kSp, list));
    }

    void arm_swap()
    {
        bool byte = rng_.chance(40);
        // Excluded: Rn equal to Rd or Rm, or pc anywhere (UNPREDICTABLE).
        int rn = arm_dest(), rd, rm;
        do rd = arm_dest(); while (rd == rn);
        do rm = arm_dest(); while (rm == rn);
        arm_literal(kAl, rn, data_address(byte ? 1 : 4));
        e_.arm(rng_.cond() << 28 | 0x01000090 | byte << 22 | rn << 16 | rd << 12 | rm);
    }

    // MRS, and MSR of the flags or of the SPSR (any field mask).
    void arm_status()
    {
        uint32_t cond = rng_.cond();
        // Excluded: the SPSR in user and system mode (UNPREDICTABLE).
        bool spsr = has_spsr() && rng_.chance(40);
        switch (rng_.below(3)) {
        case 0:
            e_.arm(cond << 28 | 0x010F0000 | spsr << 22 | arm_dest() << 12);
            break;
        case 1:
            if (!spsr) {
                e_.arm(cond << 28 | 0x0320F000 | 8u << 16 | 2u << 8 | rng_.below(16));   // msr cpsr_f, #n ror 4
                break;
            }
            [[fallthrough]];
        default: {
            int rt = arm_dest();
            uint32_t mask = spsr ? 1 + rng_.below(15) : 8;   // the CPSR's control field: arm_mode_change
            arm_literal(kAl, rt, spsr ? random_psr() : rng_.u32() & 0xF0000000);
            e_.arm(cond << 28 | 0x0120F000 | spsr << 22 | mask << 16 | rt);
        }
        }
    }

    // MSR of the CPSR's control field: a new mode (user rarely: there is no
    // way back) and interrupt masks, the flags maybe with them. Unconditional,
    // and no branch crosses it, so that the generator knows the mode.
    void arm_mode_change()
    {
        static const uint32_t modes[] = {0x11, 0x12, 0x13, 0x17, 0x1B, 0x1F};
        barrier();
        uint32_t mode = rng_.chance(8) ? kUser : modes[rng_.below(6)];
        uint32_t value = (rng_.u32() & 0xF00000C0) | mode;
        uint32_t mask = 1 | rng_.below(16);
        int rt = arm_dest();
        arm_literal(kAl, rt, value);
        e_.arm(kAl << 28 | 0x0120F000 | mask << 16 | rt);
        if (mode_ != kUser)   // user mode cannot leave itself
            mode_ = mode;
        e_.arm(arm_nop());
    }

    void arm_branch()
    {
        bool link = rng_.chance(40);
        e_.arm(rng_.cond() << 28 | 0x0A000000 | link << 24);
        e_.fix(Emitter::Fix::ArmBranch, forward_label());
    }

    // The deliberate ways of writing pc: LDR pc, LDM with pc, MOV pc, ADD pc,
    // BX to ARM code.
    void arm_pc_write()
    {
        int target = forward_label();
        uint32_t cond = rng_.cond();
        int rt = arm_dest();
        switch (rng_.below(5)) {
        case 0:
            // Bits 1..0 of a value loaded into pc are dropped on ARMv4T
            // (from ARMv5 on bit 0 would switch to Thumb).
            e_.arm(cond << 28 | 0x059FF000);   // ldr pc, [pc, #+lit]
            e_.fix(Emitter::Fix::ArmLiteral, e_.literal(rng_.below(4), target));
            break;
        case 1: {
            if (rt == 0)
                rt = 1 + static_cast<int>(rng_.below(12));
            uint32_t below = rng_.u32() & ((1u << rt) - 1) & 0x1FFF;
            unsigned n = static_cast<unsigned>(__builtin_popcount(below));
            if (!spend_stack(8 * (n + 1)))
                return arm_data_processing();
            uint32_t pops = 0;
            while (static_cast<unsigned>(__builtin_popcount(pops)) < n)
                pops |= 1u << arm_dest();
            arm_literal(kAl, rt, rng_.below(4), target);
            e_.arm(arm_ldm(kAl, true, false, false, true, false, kSp, below | 1u << rt));   // stmdb sp!
            e_.arm(arm_ldm(cond, false, true, false, true, true, kSp, pops | 1u << kPc));   // ldmia sp!
            break;
        }
        case 2:
            arm_literal(kAl, rt, 0, target);
            e_.arm(arm_dp(cond, 13, false, 0, kPc, shift_imm(rt, 0, 0)));   // mov pc, rt
            break;
        case 3:
            e_.arm(arm_dp(cond, 4, false, kPc, kPc, 1u << 25));             // add pc, pc, #k
            e_.fix(Emitter::Fix::ArmAddPc, target);
            break;
        default:
            arm_literal(kAl, rt, 0, target);
            e_.arm(cond << 28 | 0x012FFF10 | rt);                          // bx rt
        }
    }

    // STM^ and LDM^ without pc: the user bank from a privileged mode.
    // Excluded: write-back, user and system mode (UNPREDICTABLE).
    void arm_user_bank()
    {
        if (!has_spsr())
            return arm_block_transfer();
        bool load = rng_.chance(50);
        int rn = arm_dest();
        uint32_t list = this->list(load ? 0x5FFF : 0x7FFF);
        arm_literal(kAl, rn, data_address(4, 0x80));
        e_.arm(arm_ldm(rng_.cond(), rng_.chance(50), rng_.chance(50), true, false, load, rn, list));
        // The ARM7TDMI needs an instruction between LDM^ and one that uses a banked register.
        e_.arm(arm_nop());
    }

    // The exception returns: MOVS pc, SUBS pc and LDM ^ with pc load the
    // CPSR from the SPSR, which the generator writes just before, so that it
    // knows the mode and state of the code that follows. Excluded: user and
    // system mode, which have no SPSR (UNPREDICTABLE).
    void arm_exception_return()
    {
        static const uint32_t modes[] = {0x11, 0x12, 0x13, 0x17, 0x1B, 0x1F};
        if (!has_spsr())
            return arm_data_processing();
        if (!spend_stack(8))
            return arm_status();
        barrier();
        uint32_t mode = rng_.chance(8) ? kUser : modes[rng_.below(6)];
        bool thumb = rng_.chance(50);
        int rt = arm_dest(), rl = arm_dest();
        arm_literal(kAl, rt, (rng_.u32() & 0xF00000C0) | (thumb ? kT : 0) | mode);
        e_.arm(kAl << 28 | 0x0120F000 | 1u << 22 | 0xFu << 16 | rt);   // msr spsr_fsxc, rt
        int target = e_.label();
        switch (rng_.below(3)) {
        case 0:
            arm_literal(kAl, rl, 0, target);
            e_.arm(arm_dp(kAl, 13, true, 0, kPc, shift_imm(rl, 0, 0)));   // movs pc, rl
            break;
        case 1:
            arm_literal(kAl, rl, 4, target);
            e_.arm(arm_dp(kAl, 2, true, rl, kPc, imm_operand(4, 0)));     // subs pc, rl, #4
            break;
        default:
            arm_literal(kAl, rl, 0, target);
            e_.arm(arm_ldm(kAl, true, false, false, true, false, kSp, 1u << rl));   // stmdb sp!, {rl}
            e_.arm(arm_ldm(kAl, false, true, true, true, true, kSp, 1u << kPc));    // ldmia sp!, {pc}^
        }
        e_.bind(target);
        thumb_ = thumb;
        mode_ = mode;
    }

    // Code that rewrites an instruction ahead of it, which must then run as
    // rewritten (the decoded code is forgotten). A branch to the rewritten
    // instruction separates the two: the ARM7TDMI has fetched the next two
    // instructions before the store and runs them as they were, and the
    // oracle goes on running what it translated before the store up to the
    // next branch; after the branch both run the new bytes.
    void arm_code_patch()
    {
        int slot = e_.label();
        int rb = arm_dest(), rv, rd = arm_dest();
        do rv = arm_dest(); while (rv == rb);
        arm_literal(kAl, rb, 0, slot);
        arm_literal(kAl, rv, arm_dp(kAl, 13, false, 0, rd, imm_operand(rng_.below(256), rng_.below(16))));
        e_.arm(rng_.cond() << 28 | 0x05800000 | rng_.chance(30) << 22 | rb << 16 | rv << 12);   // str(b) rv, [rb]
        e_.arm(kAl << 28 | 0x0A000000);
        e_.fix(Emitter::Fix::ArmBranch, slot);
        e_.bind(slot);
        e_.arm(arm_dp(kAl, 13, false, 0, rd, imm_operand(rng_.below(256), rng_.below(16))));   // mov rd, #imm
    }
    void thumb_code_patch()
    {
        int slot = e_.label();
        int rb = low(), rv, rd = low();
        do rv = low(); while (rv == rb);
        thumb_literal(rb, 0, slot);
        thumb_literal(rv, 0x2000 | rd << 8 | rng_.below(256));
        e_.thumb(static_cast<uint16_t>((rng_.chance(30) ? 0x7000 : 0x8000) | rb << 3 | rv));   // strb/strh rv, [rb]
        e_.thumb(0xE000);
        e_.fix(Emitter::Fix::ThumbBranch, slot);
        e_.bind(slot);
        e_.thumb(static_cast<uint16_t>(0x2000 | rd << 8 | rng_.below(256)));   // movs rd, #imm
    }

    // Counted loops, the counter in a register or in a stack word, with a
    // short body: the shape the core's delay-loop fast-forward recognises
    // (and bodies it does not). The counter is set up unconditionally at the
    // group's start, where forward branches land, so the count is known.
    unsigned loop_count() { return 1 + rng_.below(rng_.chance(50) ? 8 : 300); }
    void arm_loop()
    {
        int rc = arm_dest();
        bool in_memory = rng_.chance(40), up = !in_memory && rng_.chance(30);
        uint32_t slot = 4 * rng_.below(64), n = loop_count();
        if (up)
            n = std::min(n, 255u);   // an immediate of cmp
        if (in_memory) {
            int rt = arm_dest();
            arm_literal(kAl, rt, n);
            e_.arm(0xE58D0000 | rt << 12 | slot);                          // str rt, [sp, #slot]
        } else {
            arm_literal(kAl, rc, up ? 0 : n);
        }
        int head = e_.label();
        e_.bind(head);
        for (unsigned i = rng_.below(3); i; --i) {
            int rx;
            do rx = arm_dest(); while (rx == rc);
            switch (rng_.below(3)) {
            case 0: e_.arm(arm_dp(kAl, 13, false, 0, rx, imm_operand(rng_.below(256), 0))); break;   // mov rx, #k
            case 1: e_.arm(arm_dp(kAl, 4, false, rc, rx, imm_operand(rng_.below(256), 0))); break;   // add rx, rc, #k
            default: e_.arm(arm_dp(kAl, 4, false, rx, rx, imm_operand(rng_.below(256), 0)));         // add rx, rx, #k
            }
        }
        if (in_memory)
            e_.arm(0xE59D0000 | rc << 12 | slot);                          // ldr rc, [sp, #slot]
        if (up) {
            e_.arm(arm_dp(kAl, 4, false, rc, rc, imm_operand(1, 0)));       // add rc, rc, #1
            e_.arm(arm_dp(kAl, 10, true, rc, 0, imm_operand(n, 0)));        // cmp rc, #n
        } else {
            e_.arm(arm_dp(kAl, 2, true, rc, rc, imm_operand(1, 0)));        // subs rc, rc, #1
        }
        if (in_memory)
            e_.arm(0xE58D0000 | rc << 12 | slot);                          // str rc, [sp, #slot]
        e_.arm(1u << 28 | 0x0A000000);                                     // bne head
        e_.fix(Emitter::Fix::ArmBranch, head);
    }
    void thumb_loop()
    {
        int rc = low();
        bool in_memory = rng_.chance(40);
        uint32_t slot = rng_.below(64), n = loop_count();
        if (in_memory) {
            int rt = low();
            thumb_literal(rt, n);
            e_.thumb(static_cast<uint16_t>(0x9000 | rt << 8 | slot));      // str rt, [sp, #4 * slot]
        } else {
            thumb_literal(rc, n);
        }
        int head = e_.label();
        e_.bind(head);
        for (unsigned i = rng_.below(3); i; --i) {
            int rx;
            do rx = low(); while (rx == rc);
            if (rng_.chance(50))
                e_.thumb(static_cast<uint16_t>(0x2000 | rx << 8 | rng_.below(256)));          // movs rx, #k
            else
                e_.thumb(static_cast<uint16_t>(0x1C00 | rng_.below(8) << 6 | rc << 3 | rx)); // adds rx, rc, #k
        }
        if (in_memory)
            e_.thumb(static_cast<uint16_t>(0x9800 | rc << 8 | slot));      // ldr rc, [sp, #4 * slot]
        e_.thumb(static_cast<uint16_t>(0x3801 | rc << 8));                 // subs rc, #1
        if (in_memory)
            e_.thumb(static_cast<uint16_t>(0x9000 | rc << 8 | slot));      // str rc, [sp, #4 * slot]
        e_.thumb(0xD100);                                                  // bne head
        e_.fix(Emitter::Fix::ThumbCondBranch, head);
    }

    void arm_to_thumb()
    {
        barrier();
        int rt = arm_dest();
        e_.arm(arm_dp(kAl, 4, false, kPc, rt, imm_operand(1, 0)));   // add rt, pc, #1: the code after the bx
        e_.arm(kAl << 28 | 0x012FFF10 | rt);
        thumb_ = true;
    }

    // ---- Thumb -------------------------------------------------------------

    void thumb_group()
    {
        unsigned pick = rng_.below(100);
        if (pick < 8) thumb_shift_immediate();
        else if (pick < 14) thumb_add_subtract();
        else if (pick < 20) e_.thumb(static_cast<uint16_t>(0x2000 | rng_.below(4) << 11 | low() << 8 | rng_.below(256)));
        else if (pick < 34) thumb_alu();
        else if (pick < 41) thumb_high_registers();
        else if (pick < 45) thumb_literal(low(), rng_.value());
        else if (pick < 58) thumb_load_store();
        else if (pick < 63) thumb_sp_relative();
        else if (pick < 66) e_.thumb(static_cast<uint16_t>(0xA000 | rng_.below(2) << 11 | low() << 8 | rng_.below(256)));
        else if (pick < 69) thumb_adjust_sp();
        else if (pick < 73) thumb_push_pop();
        else if (pick < 78) thumb_block_transfer();
        else if (pick < 87) thumb_branch();
        else if (pick < 93) thumb_pc_write();
        else if (pick < 94) thumb_shift_immediate();
        else if (pick < 95) thumb_loop();
        else if (pick < 97) thumb_code_patch();
        else thumb_to_arm();
    }

    void thumb_shift_immediate()
    {
        e_.thumb(static_cast<uint16_t>(rng_.below(3) << 11 | rng_.below(32) << 6 | low() << 3 | low()));
    }
    void thumb_add_subtract()
    {
        e_.thumb(static_cast<uint16_t>(0x1800 | rng_.below(4) << 9 | low() << 6 | low() << 3 | low()));
    }
    void thumb_alu()
    {
        uint32_t op = rng_.below(16);
        int rd = low(), rs = low();
        if ((op == 2 || op == 3 || op == 4 || op == 7) && rng_.chance(40))   // shifts by register
            e_.thumb(static_cast<uint16_t>(0x2000 | rs << 8 | shift_amount()));
        if (op == 13)
            while (rs == rd)   // Excluded: MUL with Rd == Rm (UNPREDICTABLE before ARMv6)
                rs = low();
        e_.thumb(static_cast<uint16_t>(0x4000 | op << 6 | rs << 3 | rd));
        if (op == 13)   // MUL's carry: see carry_after_multiply
            e_.thumb(static_cast<uint16_t>(0x4280 | low() << 3 | low()));   // cmp
    }
    // ADD, CMP and MOV with a high register. Excluded: two low registers
    // (UNPREDICTABLE on ARMv4T), sp or pc as destination (pc: deliberate
    // forms only).
    void thumb_high_registers()
    {
        uint32_t op = rng_.below(3);
        int rd, rs;
        do {
            rd = static_cast<int>(rng_.below(15));
            if (rd == kSp && op != 1)
                rd = kLr;
            rs = static_cast<int>(rng_.below(16));
        } while (rd < 8 && rs < 8);
        if (op == 1 && rs == kPc)
            rs = kLr;
        e_.thumb(static_cast<uint16_t>(0x4400 | op << 8 | (rd >= 8) << 7 | (rs >= 8) << 6 | (rs & 7) << 3 | (rd & 7)));
    }
    void thumb_load_store()
    {
        int rb = low(), rd = low();
        switch (rng_.below(4)) {
        case 0: {   // register offset, word and byte
            bool byte = rng_.chance(50);
            int ro;
            do ro = low(); while (ro == rb);
            uint32_t offset = rng_.u32() & (byte ? ~0u : ~3u);
            thumb_literal(ro, offset);
            thumb_literal(rb, data_address(byte ? 1 : 4) - offset);
            e_.thumb(static_cast<uint16_t>(0x5000 | rng_.below(2) << 11 | byte << 10 | ro << 6 | rb << 3 | rd));
            break;
        }
        case 1: {   // register offset, halfword and signed
            uint32_t op = rng_.below(4);   // STRH, LDSB, LDRH, LDSH
            unsigned size = op == 1 ? 1 : 2;
            int ro;
            do ro = low(); while (ro == rb);
            uint32_t offset = rng_.u32() & ~(size - 1);
            thumb_literal(ro, offset);
            thumb_literal(rb, data_address(size) - offset);
            e_.thumb(static_cast<uint16_t>(0x5200 | (op >> 1) << 11 | (op & 1) << 10 | ro << 6 | rb << 3 | rd));
            break;
        }
        case 2: {   // immediate offset, word and byte
            bool byte = rng_.chance(50);
            uint32_t imm = rng_.below(32);
            thumb_literal(rb, data_address(4, 0x80) - (byte ? imm : 4 * imm));
            e_.thumb(static_cast<uint16_t>(0x6000 | byte << 12 | rng_.below(2) << 11 | imm << 6 | rb << 3 | rd));
            break;
        }
        default: {  // immediate offset, halfword
            uint32_t imm = rng_.below(32);
            thumb_literal(rb, data_address(2, 0x80) - 2 * imm);
            e_.thumb(static_cast<uint16_t>(0x8000 | rng_.below(2) << 11 | imm << 6 | rb << 3 | rd));
        }
        }
    }
    void thumb_sp_relative()
    {
        e_.thumb(static_cast<uint16_t>(0x9000 | rng_.below(2) << 11 | low() << 8 | rng_.below(256)));
    }
    void thumb_adjust_sp()
    {
        uint32_t words = rng_.below(32);
        if (!spend_stack(4 * words))
            return thumb_alu();
        e_.thumb(static_cast<uint16_t>(0xB000 | rng_.below(2) << 7 | words));
    }
    void thumb_push_pop()
    {
        uint32_t regs = rng_.below(512);   // r0-r7 and lr (push) or pc (pop)
        if (!regs)
            regs = 1;
        bool pop = rng_.chance(50);
        if (pop)
            regs &= 0xFF;   // pc only in thumb_pc_write
        if (!regs)
            regs = 1;
        if (!spend_stack(4 * static_cast<uint32_t>(__builtin_popcount(regs))))
            return thumb_alu();
        e_.thumb(static_cast<uint16_t>(0xB400 | pop << 11 | regs));
    }
    void thumb_block_transfer()
    {
        bool load = rng_.chance(50);
        int rb = low();
        uint32_t regs = list(0xFF);
        // Excluded: LDMIA with the base in the list, STMIA with the base in
        // the list but not lowest (UNPREDICTABLE).
        if (load || (regs & ((1u << rb) - 1)))
            regs &= ~(1u << rb);
        if (!regs)
            regs = rb == 0 ? 2 : 1;
        thumb_literal(rb, data_address(4, 0x80));
        e_.thumb(static_cast<uint16_t>(0xC000 | load << 11 | rb << 8 | regs));
    }
    void thumb_branch()
    {
        int target = forward_label();
        switch (rng_.below(3)) {
        case 0:
            e_.thumb(static_cast<uint16_t>(0xD000 | rng_.below(14) << 8));
            e_.fix(Emitter::Fix::ThumbCondBranch, target);
            break;
        case 1:
            e_.thumb(0xE000);
            e_.fix(Emitter::Fix::ThumbBranch, target);
            break;
        default:
            e_.thumb_pair(0xF000, 0xF800);
            e_.fix(Emitter::Fix::ThumbBl, target);
        }
    }
    // POP {pc} (bit 0 of the value ignored on ARMv4T: no state change),
    // MOV pc, and BX to Thumb code.
    void thumb_pc_write()
    {
        int target = forward_label();
        int rt = low();
        switch (rng_.below(3)) {
        case 0: {
            if (rt == 0)
                rt = 1 + static_cast<int>(rng_.below(7));
            uint32_t below = rng_.u32() & ((1u << rt) - 1);
            unsigned n = static_cast<unsigned>(__builtin_popcount(below));
            if (!spend_stack(8 * (n + 1)))
                return thumb_alu();
            uint32_t pops = 0;
            while (static_cast<unsigned>(__builtin_popcount(pops)) < n)
                pops |= 1u << low();
            thumb_literal(rt, rng_.below(2), target);
            e_.thumb(static_cast<uint16_t>(0xB400 | below | 1u << rt));
            e_.thumb(static_cast<uint16_t>(0xBD00 | pops));
            break;
        }
        case 1:
            thumb_literal(rt, 0, target);
            e_.thumb(static_cast<uint16_t>(0x4687 | rt << 3));   // mov pc, rt
            break;
        default:
            thumb_literal(rt, 1, target);
            e_.thumb(static_cast<uint16_t>(0x4700 | rt << 3));   // bx rt
        }
    }
    void thumb_to_arm()
    {
        barrier();
        int rt = low();
        bool aligned = e_.here() % 4 == 0;
        e_.thumb(static_cast<uint16_t>(0xA000 | rt << 8 | (aligned ? 0 : 1)));   // add rt, pc, #0 or #4
        e_.thumb(static_cast<uint16_t>(0x4700 | rt << 3));
        if (!aligned)
            e_.thumb(0x46C0);   // never runs: pads to the ARM code
        thumb_ = false;
    }

    Rng rng_;
    Emitter e_;
    std::vector<Pending> pending_;
    bool thumb_ = false;
    uint32_t mode_ = 0;
    uint32_t stack_used_ = 0;
};

}  // namespace

Program generate(uint64_t seed)
{
    return Generator(seed).run(seed);
}

}  // namespace diff
