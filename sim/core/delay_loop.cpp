// Delay-loop recognition (a symbolic walk of one iteration) and the
// analytic skip of the iterations before the last (see delay_loop.h).
#include "sim/core/delay_loop.h"

#include <algorithm>
#include <array>

#include "board/state.h"

namespace sim::core {

namespace {

constexpr unsigned kMaxPath = 32;

// One instruction as the loop walk understands it.
struct MicroOp {
    enum Kind : uint8_t { Fail, MovReg, AddImm, AddReg, Compare, Load, Store, Jump, CondJump } kind = Fail;
    uint8_t rd = 0, rn = 0, rm = 0;
    bool subtract = false, sets_flags = false, reg_operand = false;
    uint32_t imm = 0, cond = 0xE, target = 0;
};

MicroOp thumb_micro(uint32_t h, uint32_t pc)
{
    MicroOp m;
    auto lo = [&](unsigned shift) { return static_cast<uint8_t>((h >> shift) & 7); };
    if ((h >> 13) == 1) {   // MOV/CMP/ADD/SUB immediate
        unsigned op = (h >> 11) & 3;
        if (op == 0) return m;   // MOVS: N and Z only
        m.rd = m.rn = lo(8);
        m.imm = h & 0xFF;
        m.subtract = op != 2;
        m.sets_flags = true;
        m.kind = op == 1 ? MicroOp::Compare : MicroOp::AddImm;
    } else if ((h >> 11) == 3) {   // ADD/SUB register or 3-bit immediate
        m.rd = lo(0);
        m.rn = lo(3);
        m.rm = lo(6);
        m.imm = (h >> 6) & 7;
        m.subtract = h & (1u << 9);
        m.sets_flags = true;
        m.kind = h & (1u << 10) ? MicroOp::AddImm : MicroOp::AddReg;
    } else if ((h >> 10) == 0x10) {   // ALU: CMP and CMN only
        unsigned op = (h >> 6) & 15;
        if (op != 0xA && op != 0xB) return m;
        m.kind = MicroOp::Compare;
        m.rn = lo(0);
        m.rm = lo(3);
        m.reg_operand = true;
        m.subtract = op == 0xA;
    } else if ((h >> 10) == 0x11) {   // high registers
        unsigned op = (h >> 8) & 3;
        uint8_t rd = static_cast<uint8_t>((h & 7) | ((h >> 4) & 8)), rs = static_cast<uint8_t>((h >> 3) & 15);
        if (op == 3 || rd == 15 || rs == 15) return m;
        m.rd = m.rn = rd;
        m.rm = rs;
        m.reg_operand = true;
        m.kind = op == 0 ? MicroOp::AddReg : op == 1 ? MicroOp::Compare : MicroOp::MovReg;
        m.subtract = op == 1;
    } else if ((h >> 12) == 6 || (h >> 12) == 9) {   // word LDR/STR, register or SP base
        bool sp = (h >> 12) == 9;
        m.kind = h & (1u << 11) ? MicroOp::Load : MicroOp::Store;
        m.rd = sp ? lo(8) : lo(0);
        m.rn = sp ? 13 : lo(3);
        m.imm = sp ? (h & 0xFF) * 4 : ((h >> 6) & 31) * 4;
    } else if ((h >> 12) == 0xD && ((h >> 8) & 15) < 0xE) {
        m.kind = MicroOp::CondJump;
        m.cond = (h >> 8) & 15;
        m.target = pc + 4 + static_cast<uint32_t>(static_cast<int32_t>(h << 24) >> 23);
    } else if ((h >> 11) == 0x1C) {
        m.kind = MicroOp::Jump;
        m.target = pc + 4 + static_cast<uint32_t>(static_cast<int32_t>(h << 21) >> 20);
    }
    return m;
}

MicroOp arm_micro(uint32_t w, uint32_t pc)
{
    MicroOp m;
    uint32_t cond = w >> 28;
    if ((w & 0x0E000000) == 0x0A000000 && !(w & (1u << 24)) && cond != 0xF) {
        m.kind = cond == 0xE ? MicroOp::Jump : MicroOp::CondJump;
        m.cond = cond;
        m.target = pc + 8 + static_cast<uint32_t>(static_cast<int32_t>(w << 8) >> 6);
        return m;
    }
    if (cond != 0xE) return m;
    if ((w & 0x0C000000) == 0) {   // data processing, immediate or unshifted register
        bool imm = w & (1u << 25);
        if (!imm && (w & 0xFF0) != 0) return m;
        unsigned op = (w >> 21) & 15;
        bool s = w & (1u << 20);
        m.rd = (w >> 12) & 15;
        m.rn = (w >> 16) & 15;
        m.rm = w & 15;
        m.reg_operand = !imm;
        m.imm = imm ? rotr(w & 0xFF, (w >> 7) & 0x1E) : 0;
        m.sets_flags = s;
        if ((!imm && m.rm == 15) || m.rn == 15 || m.rd == 15) return m;
        switch (op) {
        case 0x2: m.subtract = true; [[fallthrough]];
        case 0x4: m.kind = imm ? MicroOp::AddImm : MicroOp::AddReg; break;
        case 0xA: m.subtract = true; [[fallthrough]];
        case 0xB: if (s) m.kind = MicroOp::Compare; break;
        case 0xD: if (!s && !imm) m.kind = MicroOp::MovReg; break;
        default: break;
        }
        return m;
    }
    // LDR/STR word, immediate offset, no write-back.
    if ((w & 0x0F200000) == 0x05000000 && !(w & (1u << 22))) {
        m.kind = w & (1u << 20) ? MicroOp::Load : MicroOp::Store;
        m.rd = (w >> 12) & 15;
        m.rn = (w >> 16) & 15;
        m.imm = w & (1u << 23) ? (w & 0xFFF) : 0u - (w & 0xFFF);
        if (m.rd == 15 || m.rn == 15) m.kind = MicroOp::Fail;
    }
    return m;
}

struct Walk {
    std::array<Sym, 15> reg;
    std::array<Sym, kMaxSlots> slot;
    std::array<bool, kMaxSlots> written{};
    std::array<uint32_t, kMaxSlots> offset{};
    unsigned slots = 0;
    int base = -1;
    FlagOp flags;
    bool have_exit = false;
    FlagOp exit_op;
    uint32_t exit_cond = 0;
    bool exit_when = true;
    unsigned length = 0;
    std::vector<std::pair<uint32_t, uint32_t>> segments;

    Walk()
    {
        for (unsigned i = 0; i < 15; ++i) reg[i] = Sym{static_cast<uint8_t>(i), 0};
    }
    void visit(uint32_t address, unsigned size)
    {
        if (!segments.empty() && segments.back().second + size == address)
            segments.back().second = address;
        else
            segments.emplace_back(address, address);
        ++length;
    }
};

class Analyser {
public:
    Analyser(const Cpu &c, LoopInfo &loop) : c_(c), loop_(loop) {}

    // Walks from `address` to the closing branch; false when the path is
    // not a delay loop's.
    bool walk(uint32_t address, Walk &w)
    {
        const unsigned size = loop_.thumb ? 2 : 4;
        while (w.length < kMaxPath) {
            const Region *g = c_.region_of(address);
            if (!g) return false;
            uint32_t raw = 0;
            std::memcpy(&raw, g->host + (address & g->mask), size);
            MicroOp m = loop_.thumb ? thumb_micro(raw, address) : arm_micro(raw, address);
            w.visit(address, size);
            if (address == loop_.branch_pc) {
                if (m.kind == MicroOp::Jump) return true;
                if (m.kind != MicroOp::CondJump || w.have_exit || !w.flags.valid) return false;
                w.have_exit = true;
                w.exit_op = w.flags;
                w.exit_cond = m.cond;
                w.exit_when = false;
                return true;
            }
            switch (m.kind) {
            case MicroOp::Fail: return false;
            case MicroOp::Jump: address = m.target; continue;
            case MicroOp::CondJump: return fork(address + size, m, w);
            default:
                if (!apply(m, w)) return false;
                address += size;
            }
        }
        return false;
    }

private:
    // A conditional branch inside the loop: exactly one way must come round.
    bool fork(uint32_t fall_through, const MicroOp &m, Walk &w)
    {
        if (w.have_exit || !w.flags.valid) return false;
        Walk taken = w, fall = w;
        taken.have_exit = fall.have_exit = true;
        taken.exit_op = fall.exit_op = w.flags;
        taken.exit_cond = fall.exit_cond = m.cond;
        taken.exit_when = false;   // continuing when taken: leaves when the condition fails
        fall.exit_when = true;
        bool by_taken = walk(m.target, taken), by_fall = walk(fall_through, fall);
        if (by_taken == by_fall) return false;
        w = by_taken ? taken : fall;
        return true;
    }

    bool apply(const MicroOp &m, Walk &w)
    {
        auto read = [&](uint8_t r, Sym &out) {
            if (r >= 15) return false;
            out = w.reg[r];
            return true;
        };
        Sym a, b;
        switch (m.kind) {
        case MicroOp::MovReg:
            if (!read(m.rm, a) || m.rd >= 15) return false;
            w.reg[m.rd] = a;
            return true;
        case MicroOp::AddImm:
            if (!read(m.rn, a) || m.rd >= 15) return false;
            if (m.sets_flags) w.flags = FlagOp{true, m.subtract, a, Sym{Sym::kConst, m.imm}};
            w.reg[m.rd] = Sym{a.base, m.subtract ? a.k - m.imm : a.k + m.imm};
            return true;
        case MicroOp::AddReg:
            if (!read(m.rn, a) || !read(m.rm, b) || m.rd >= 15) return false;
            if (m.sets_flags) w.flags = FlagOp{true, m.subtract, a, b};
            if (b.base == Sym::kConst)
                w.reg[m.rd] = Sym{a.base, m.subtract ? a.k - b.k : a.k + b.k};
            else if (!m.subtract && a.base == Sym::kConst)
                w.reg[m.rd] = Sym{b.base, b.k + a.k};
            else
                return false;
            return true;
        case MicroOp::Compare:
            if (!read(m.rn, a)) return false;
            if (m.reg_operand) {
                if (!read(m.rm, b)) return false;
            } else {
                b = Sym{Sym::kConst, m.imm};
            }
            w.flags = FlagOp{true, m.subtract, a, b};
            return true;
        case MicroOp::Load:
        case MicroOp::Store: {
            // The base must still hold its value from the iteration's start.
            if (m.rn >= 15 || m.rd >= 15 || !(w.reg[m.rn] == Sym{m.rn, 0})) return false;
            if (w.base < 0) w.base = m.rn;
            if (w.base != m.rn || (m.imm & 3)) return false;
            unsigned j = 0;
            while (j < w.slots && w.offset[j] != m.imm) ++j;
            if (j == w.slots) {
                if (w.slots == kMaxSlots) return false;
                w.offset[w.slots++] = m.imm;
            }
            if (m.kind == MicroOp::Load) {
                w.reg[m.rd] = w.written[j] ? w.slot[j] : Sym{static_cast<uint8_t>(kSlot + j), 0};
            } else {
                w.slot[j] = w.reg[m.rd];
                w.written[j] = true;
            }
            return true;
        }
        default: return false;
        }
    }

    const Cpu &c_;
    LoopInfo &loop_;
};

// Fills the loop's description from one walked iteration; false when the
// iteration is not a counter and what follows from it.
bool describe(LoopInfo &loop, const Walk &w)
{
    if (!w.have_exit) return false;
    struct End {
        uint8_t location;
        Sym value;
    };
    std::vector<End> modified;
    for (uint8_t i = 0; i < 15; ++i)
        if (!(w.reg[i] == Sym{i, 0})) modified.push_back({i, w.reg[i]});
    for (unsigned j = 0; j < w.slots; ++j) {
        uint8_t loc = static_cast<uint8_t>(kSlot + j);
        if (w.written[j] && !(w.slot[j] == Sym{loc, 0})) modified.push_back({loc, w.slot[j]});
    }
    auto is_modified = [&](uint8_t loc) {
        return std::any_of(modified.begin(), modified.end(), [&](const End &e) { return e.location == loc; });
    };
    // The inputs an iteration's outcome depends on; the counter is the one
    // of them the loop changes, and there must be exactly one.
    std::vector<uint8_t> inputs;
    auto use = [&](const Sym &s) {
        if (s.base != Sym::kConst) inputs.push_back(s.base);
    };
    for (const End &e : modified) use(e.value);
    use(w.exit_op.a);
    use(w.exit_op.b);
    if (w.flags.valid) {
        use(w.flags.a);
        use(w.flags.b);
    }
    int counter = -1;
    for (uint8_t loc : inputs) {
        if (!is_modified(loc)) continue;
        if (counter >= 0 && counter != loc) return false;
        counter = loc;
    }
    if (counter < 0) return false;
    if (w.base >= 0 && is_modified(static_cast<uint8_t>(w.base))) return false;
    loop.counter = static_cast<uint8_t>(counter);
    loop.updates.clear();
    for (const End &e : modified) {
        if (e.location == counter) {
            if (e.value.base != counter || e.value.k == 0) return false;
            loop.step = e.value.k;
        } else {
            loop.updates.push_back({e.location, e.value});
        }
    }
    auto on_counter = [&](const FlagOp &f) {
        return (f.a.base == counter) != (f.b.base == counter);
    };
    if (!on_counter(w.exit_op) || (w.flags.valid && !on_counter(w.flags))) return false;
    loop.slot_base = static_cast<uint8_t>(w.base < 0 ? 0 : w.base);
    loop.slots = w.slots;
    std::copy(w.offset.begin(), w.offset.end(), loop.slot_offset);
    loop.exit_op = w.exit_op;
    loop.exit_cond = w.exit_cond;
    loop.exit_when = w.exit_when;
    loop.last_op = w.flags;
    loop.path_length = w.length;
    loop.segments = w.segments;
    return true;
}

void analyse(const Cpu &c, LoopInfo &loop)
{
    loop.generation = c.code_generation;
    loop.marked = false;
    loop.cost = 0;
    for (LoopInfo::Answer &a : loop.answers) a = {};
    for (LoopInfo::Answer &a : loop.gone) a = {};
    loop.forget_replays();
    loop.replay_known = false;
    loop.where.valid = false;
    loop.forget_ready();
    Walk w;
    loop.usable = Analyser(c, loop).walk(loop.head, w) && describe(loop, w);
}

// ---- the skip ----

struct Frame {
    const Cpu &c;
    const LoopInfo &loop;
    uint32_t base;   // slot base register's value

    uint8_t *slot(unsigned j) const { return loop.where.host[j]; }
    uint32_t get(uint8_t loc) const
    {
        if (loc < 15) return c.r[loc];
        uint32_t v;
        std::memcpy(&v, slot(loc - kSlot), 4);
        return v;
    }
    // `counter`: the counter's value at the start of the iteration in question.
    uint32_t eval(const Sym &s, uint32_t counter) const
    {
        if (s.base == Sym::kConst) return s.k;
        return (s.base == loop.counter ? counter : get(s.base)) + s.k;
    }
    uint32_t flags(const FlagOp &f, uint32_t counter) const
    {
        return alu_flags(eval(f.a, counter), eval(f.b, counter), f.subtract);
    }
    bool leaves(uint32_t counter) const
    {
        return condition_passed(flags(loop.exit_op, counter), loop.exit_cond) == loop.exit_when;
    }
};

// Slots must be plain, aligned RAM words without decoded code on their
// page. Where they are is kept for as long as the base and the memories
// stay: a delay routine runs with the same stack pointer call after call.
bool slots_in_memory(const Cpu &c, LoopInfo &loop, uint32_t base)
{
    LoopInfo::SlotPlace &w = loop.where;
    if (!w.valid || w.base != base || w.generation != c.code_generation) {
        w.valid = false;
        for (unsigned j = 0; j < loop.slots; ++j) {
            uint32_t address = base + loop.slot_offset[j];
            const Region *g = c.region_of(address);
            if ((address & 3) || !g || !g->writable) return false;
            w.host[j] = g->host + (address & g->mask);
            w.has_code[j] = &g->cache->page_has_code[(g->cache_offset + (address & g->mask)) >> CodeCache::kPageShift];
            if (j == 0) w.region = g;
        }
        w.valid = true;
        w.base = base;
        w.generation = c.code_generation;
    }
    for (unsigned j = 0; j < loop.slots; ++j)
        if (*w.has_code[j]) return false;
    return true;
}

// The exit test's operand that is not the counter (loops counting by one).
uint32_t other_operand(const Frame &f, uint32_t counter)
{
    const FlagOp &op = f.loop.exit_op;
    return f.eval(op.a.base == f.loop.counter ? op.b : op.a, counter);
}

// A delay loop is called again and again with the same count: the leaving
// iteration depends on nothing but the counter and the other operand, and
// one found holds for any limit.
const LoopInfo::Answer *remembered(const Frame &f, uint32_t counter)
{
    if (f.loop.step != 1 && f.loop.step != 0xFFFFFFFF) return nullptr;
    const uint32_t o = other_operand(f, counter);
    for (const LoopInfo::Answer &a : f.loop.answers)
        if (a.valid && a.counter == counter && a.other == o) return &a;
    return nullptr;
}

// The first iteration (from the one starting with `counter`) that leaves,
// or `limit` when none before it does. The caller has looked for a
// remembered answer first.
uint64_t first_leaving(const Frame &f, uint32_t counter, uint64_t limit)
{
    const uint32_t step = f.loop.step;
    if (step == 1 || step == 0xFFFFFFFF) {
        // The outcome is constant between the values where some flag can
        // change (zero, sign and carry boundaries of the operands and of
        // the result); walk those in the counter's direction.
        const FlagOp &op = f.loop.exit_op;
        const Sym &mine = op.a.base == f.loop.counter ? op.a : op.b;
        const uint32_t o = other_operand(f, counter);
        auto remember = [&](uint32_t distance) {
            // A replay holds only while its answer does.
            f.loop.forget_replays_of(f.loop.next_answer);
            LoopInfo::Answer &a = f.loop.answers[f.loop.next_answer];
            if (a.valid) {
                f.loop.gone[f.loop.next_gone] = a;
                f.loop.next_gone = (f.loop.next_gone + 1) % LoopInfo::kAnswers;
            }
            a = LoopInfo::Answer{true, counter, o, distance};
            f.loop.next_answer = (f.loop.next_answer + 1) % LoopInfo::kAnswers;
            return distance;
        };
        // An answer let go is found again as the search below finds it:
        // the first leaving iteration, if it comes before `limit`.
        for (const LoopInfo::Answer &g : f.loop.gone)
            if (g.valid && g.counter == counter && g.other == o) return g.distance < limit ? remember(g.distance) : limit;
        if (f.leaves(counter)) return remember(0);
        uint32_t distances[16];
        unsigned n = 0;
        auto add = [&](uint32_t operand_value) {
            uint32_t value = operand_value - mine.k;
            if (step != 1) --value;
            uint32_t distance = step == 1 ? value - counter : counter - value;
            if (distance != 0 && distance < limit) distances[n++] = distance;
        };
        for (uint32_t x : {o, 0u - o})
            for (uint32_t d : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0x80000001u}) add(x + d);
        for (uint32_t x : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu}) add(x);
        // Nearest first: the first candidate that leaves is the answer, and
        // it is nearly always the nearest one.
        while (n > 0) {
            unsigned best = 0;
            for (unsigned i = 1; i < n; ++i)
                if (distances[i] < distances[best]) best = i;
            uint32_t distance = distances[best];
            if (f.leaves(counter + distance * step)) return remember(distance);
            distances[best] = distances[--n];
        }
        return limit;
    }
    constexpr uint64_t kMaxScan = 1u << 20;
    uint64_t end = std::min(limit, kMaxScan);
    for (uint64_t i = 0; i < end; ++i)
        if (f.leaves(counter + static_cast<uint32_t>(i) * step)) return i;
    return end;
}

void mark(Cpu &c, LoopInfo &loop, uint32_t counter, uint32_t base)
{
    loop.marked = true;
    loop.mark_cycles = c.cycles;
    loop.mark_instructions = c.instructions;
    loop.mark_exceptions = c.exceptions_total;
    loop.mark_counter = counter;
    loop.mark_base = base;
}

LoopInfo *loop_for(Cpu &c, Decoded &d, uint32_t pc)
{
    if (d.aux == 0) {
        uint32_t index = 0;
        while (index < c.loops.size() && !(c.loops[index].branch_pc == pc && c.loops[index].thumb == c.thumb())) ++index;
        if (index == c.loops.size()) {
            LoopInfo fresh;
            fresh.branch_pc = pc;
            fresh.thumb = c.thumb();
            fresh.generation = c.code_generation - 1;
            c.loops.push_back(std::move(fresh));
        }
        d.aux = index + 1;
    }
    LoopInfo &loop = c.loops[d.aux - 1];
    // Decoded code is shared by every view of the same memory: the same
    // entry may close the loop at another address.
    if (loop.generation != c.code_generation || loop.head != c.r[15] || loop.branch_pc != pc) {
        loop.head = c.r[15];
        loop.branch_pc = pc;
        analyse(c, loop);
    }
    if (!loop.usable) {
        d.aux = kNotALoop;
        return nullptr;
    }
    return &loop;
}

void put(Cpu &c, const Frame &f, uint8_t location, uint32_t value)
{
    if (location < 15)
        c.r[location] = value;
    else
        std::memcpy(f.slot(location - kSlot), &value, 4);
}

// The locations a skip's outcome reads, the counter first; false when
// there are too many to replay it (or it writes too many).
bool find_replay_inputs(const LoopInfo &loop)
{
    uint8_t &n = loop.replay_inputs;
    n = 0;
    auto use = [&](uint8_t location) {
        if (location == Sym::kConst) return true;
        for (unsigned i = 0; i < n; ++i)
            if (loop.replay_input[i] == location) return true;
        if (n == kMaxReplayInputs) return false;
        loop.replay_input[n++] = location;
        return true;
    };
    bool fits = use(loop.counter) && use(loop.exit_op.a.base) && use(loop.exit_op.b.base);
    if (loop.last_op.valid) fits = fits && use(loop.last_op.a.base) && use(loop.last_op.b.base);
    for (const LoopInfo::Update &u : loop.updates) fits = fits && use(u.value.base);
    return fits && loop.updates.size() + 1 <= kMaxReplayOutputs;
}

bool replayable(const LoopInfo &loop)
{
    if (!loop.replay_known) {
        loop.replay_known = true;
        if (!find_replay_inputs(loop)) loop.replay_inputs = LoopInfo::kNoReplay;
    }
    return loop.replay_inputs != LoopInfo::kNoReplay;
}

// At the start of an iteration of a measured loop: the iterations before
// the one that leaves, at once, never past the run's limit. From the
// loop's first instruction (`before_limit`), which runs right after the
// skip without the run loop looking at the limit again, the skip ends
// short of the limit: in a run without it that instruction would wait
// there for the event due at the limit.
void skip(Cpu &c, LoopInfo &loop, const Frame &f, uint32_t counter, bool before_limit)
{
    const uint64_t per_iteration = loop.cost;
    const uint64_t room = c.cycles >= c.limit ? 0 : c.limit - c.cycles - (before_limit ? 1 : 0);
    uint64_t n;
    // To a remembered answer: the same start skips the same again.
    const LoopInfo::Answer *whole = nullptr;
    if (const LoopInfo::Answer *known = remembered(f, counter)) {
        if (known->distance * per_iteration <= room) whole = known;
        n = whole ? known->distance : room / per_iteration;
    } else {
        const uint64_t budget = room / per_iteration;
        n = budget ? first_leaving(f, counter, budget) : 0;
        if (n < budget) whole = remembered(f, counter);
    }
    LoopInfo::Replay r;
    const bool record = whole && replayable(loop);
    if (record) r.answer = static_cast<uint8_t>(whole - loop.answers);
    for (unsigned i = 0; record && i < loop.replay_inputs; ++i)
        r.input[i / 2] |= uint64_t{f.get(loop.replay_input[i])} << (i % 2 * 32);
    if (n > 0) {
        const uint32_t last = counter + static_cast<uint32_t>(n - 1) * loop.step;
        uint32_t values[15 + kMaxSlots];
        for (size_t i = 0; i < loop.updates.size(); ++i) values[i] = f.eval(loop.updates[i].value, last);
        for (size_t i = 0; i < loop.updates.size(); ++i) put(c, f, loop.updates[i].location, values[i]);
        if (loop.last_op.valid) c.set_flags_of(f.flags(loop.last_op, last));
        put(c, f, loop.counter, counter + static_cast<uint32_t>(n) * loop.step);
        c.cycles += n * per_iteration;
        // A read ahead under way keeps its place relative to the code.
        c.read_buffer.ahead_ready += n * per_iteration;
        c.instructions += n * loop.path_length;
        // Told after the closing branch's own executed().
        if (c.observer) {
            c.repeat_loop = &loop;
            c.repeat_iterations = n;
            c.repeat_cycles = n * per_iteration;
        }
    }
    if (record) {
        // None of it when nothing was skipped: the start is then all it takes.
        if (n > 0) {
            unsigned outputs = 0;
            for (const LoopInfo::Update &u : loop.updates) r.output_value[outputs++] = f.get(u.location);
            std::fill(r.output_value + outputs, std::end(r.output_value), f.get(loop.counter));
            r.sets_flags = loop.last_op.valid;
            r.flags = c.flags;
        }
        r.cycles = n * per_iteration;
        r.instructions = n * loop.path_length;
        r.valid = true;
        // In place of one from the same start (made by the closing branch
        // while the start could not replay it), else the newest first.
        LoopInfo::Replay *set = loop.replays_for(r.input[0], r.input[1]);
        static_assert(LoopInfo::kReplayWays == 2);
        auto same = [&](const LoopInfo::Replay &o) { return o.valid && o.input[0] == r.input[0] && o.input[1] == r.input[1]; };
        LoopInfo::Replay *at = same(set[0]) ? &set[0] : same(set[1]) ? &set[1] : nullptr;
        if (!at) {
            if (set[0].valid) set[1] = set[0];
            at = &set[0];
        }
        *at = r;
    }
}

// The ready facts for the slot base `base` (0 without slots) while they
// hold; null where there are none. A loop without slots keeps its facts in
// the first place, with base 0.
[[gnu::always_inline]] inline LoopInfo::Ready *ready_at(const Cpu &c, const LoopInfo &loop, uint32_t base)
{
    LoopInfo::Ready *k = &loop.ready[0];
    if (k->base != base) [[unlikely]] {
        if (loop.ready[1].base != base) return nullptr;
        k = &loop.ready[1];
    }
    return k->generation == c.code_generation ? k : nullptr;
}

// Where a replay from the slot base `base` reads and writes (LoopInfo::
// Ready), found anew only when the memories or the base changed: in place
// of the facts for the same base, or else of those made less lately. Null
// while the loop cannot be replayed there.
[[gnu::noinline]] LoopInfo::Ready *make_ready(Cpu &c, const LoopInfo &loop, uint32_t base)
{
    unsigned at = 0;
    if (loop.slots) at = loop.ready[0].base == base ? 0 : loop.ready[1].base == base ? 1 : loop.ready_victim;
    LoopInfo::Ready &k = loop.ready[at];
    k.generation = LoopInfo::Ready::kNever;
    if (!loop.replay_known || loop.replay_inputs == LoopInfo::kNoReplay) return nullptr;
    // A skip's outcome follows from the values it read, wherever the slots
    // are; but its cost holds only in the memory it was measured in.
    const LoopInfo::SlotPlace &w = loop.where;
    if (loop.slots && !(w.valid && w.base == base && w.generation == c.code_generation && w.region == loop.cost_slot_region))
        return nullptr;
    auto place = [&](uint8_t location) {
        return location < 15 ? reinterpret_cast<uint8_t *>(&c.r[location]) : w.host[location - kSlot];
    };
    static constexpr uint32_t kZero = 0;
    for (unsigned i = 0; i < kMaxReplayInputs; ++i) {
        const uint8_t location = i < loop.replay_inputs ? loop.replay_input[i] : Sym::kConst;
        k.input[i] = location == Sym::kConst ? reinterpret_cast<const uint8_t *>(&kZero) : place(location);
    }
    k.wide = loop.replay_inputs > 2;
    for (size_t i = 0; i < loop.updates.size(); ++i) k.output[i] = place(loop.updates[i].location);
    std::fill(k.output + loop.updates.size(), std::end(k.output), place(loop.counter));
    k.slots = static_cast<uint8_t>(loop.slots);
    for (unsigned j = 0; j < loop.slots; ++j) k.has_code[j] = w.has_code[j];
    k.generation = c.code_generation;
    k.base = base;
    if (loop.slots) loop.ready_victim = static_cast<uint8_t>(at ^ 1);
    return &k;
}

inline LoopInfo::Ready *ready_for(Cpu &c, const LoopInfo &loop, uint32_t base)
{
    if (LoopInfo::Ready *k = ready_at(c, loop, base)) [[likely]]
        return k;
    return make_ready(c, loop, base);
}

uint32_t word_at(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Out of line, so that the short path keeps no registers.
[[gnu::noinline]] const LoopInfo::Replay *wide_replay_now(const LoopInfo &loop, const LoopInfo::Ready &k, uint64_t a)
{
    const uint64_t b = word_at(k.input[2]) | uint64_t{word_at(k.input[3])} << 32;
    const LoopInfo::Replay *set = loop.replays_for(a, b);
    auto holds = [&](const LoopInfo::Replay &r) { return r.valid && !((r.input[0] ^ a) | (r.input[1] ^ b)); };
    return holds(set[0]) ? &set[0] : holds(set[1]) ? &set[1] : nullptr;
}

// The replay kept for the values the inputs of the ready facts `k` have
// now, or null. With two inputs or fewer, the second key word is 0 in
// every replay.
[[gnu::always_inline]] inline const LoopInfo::Replay *replay_now(const LoopInfo &loop, const LoopInfo::Ready &k)
{
    const uint64_t a = word_at(k.input[0]) | uint64_t{word_at(k.input[1])} << 32;
    static_assert(LoopInfo::kReplayWays == 2);
    if (k.wide) [[unlikely]]
        return wide_replay_now(loop, k, a);
    const LoopInfo::Replay *set = loop.replays_for(a, 0);
    return set[0].valid && set[0].input[0] == a ? &set[0] : set[1].valid && set[1].input[0] == a ? &set[1] : nullptr;
}

// Whether a slot's page holds decoded code: a replay that skipped
// iterations must then not write (one that skipped none writes nothing).
[[gnu::always_inline]] inline bool code_at_slots(const LoopInfo::Ready &k)
{
    for (unsigned j = 0; j < k.slots; ++j)
        if (*k.has_code[j]) return true;
    return false;
}

// The outcome of `r` (which skipped iterations) written again.
[[gnu::always_inline]] inline void write_back(Cpu &c, const LoopInfo::Ready &k, const LoopInfo::Replay &r)
{
    for (unsigned i = 0; i < kMaxReplayOutputs; ++i) std::memcpy(k.output[i], &r.output_value[i], 4);
    if (r.sets_flags) c.flags = r.flags;
    c.cycles += r.cycles;
    c.read_buffer.ahead_ready += r.cycles;
    c.instructions += r.instructions;
}

// A start the loop's head has skipped from before, with the ready facts
// `k` valid for it: the skip written again. False when there is none (or
// it no longer fits before the limit).
[[gnu::always_inline]] inline bool replay(Cpu &c, const LoopInfo &loop, const LoopInfo::Ready &k)
{
    const LoopInfo::Replay *r = replay_now(loop, k);
    if (!r) return false;
    if (r->cycles == 0) return true;
    if (code_at_slots(k) || c.cycles + r->cycles >= c.limit) return false;
    write_back(c, k, *r);
    return true;
}

enum class Again : uint8_t { Not, GoesOn, RunEnds };

// A repeated start from the head with ready facts that hold, inside a
// straight run (`d`, the head's entry): the replay of the run's short path,
// where it is all a call of a delay routine takes. It must end before
// run_until (the limit itself while nothing wants the core's attention, 0
// otherwise), and the run goes on where the rest of it still cannot reach
// run_until (Cpu::run_fits_from, here with the one test of the cycles
// first). Not where anything else must be looked at, by the whole checks.
[[gnu::always_inline]] inline Again replay_again(Cpu &c, const LoopInfo &loop, const Decoded &d)
{
    if (loop.head != c.r[15] || !c.fast_forward || c.stepping) return Again::Not;
    const LoopInfo::Ready *k = ready_at(c, loop, loop.slots ? c.r[loop.slot_base] : 0);
    if (!k) return Again::Not;
    const LoopInfo::Replay *r = replay_now(loop, *k);
    if (!r) return Again::Not;
    if (r->cycles == 0) return c.run_end ? Again::GoesOn : Again::RunEnds;
    if (code_at_slots(*k)) return Again::Not;
    const uint64_t after = c.cycles + r->cycles;
    if (after + d.block_memory * c.run_cycles_per_memory_cycle() >= c.run_until) [[unlikely]] {
        if (after >= c.run_until) return Again::Not;
        write_back(c, *k, *r);
        c.end_run();
        return Again::RunEnds;
    }
    write_back(c, *k, *r);
    const unsigned length = d.block & ~Decoded::kConditional & 0xFFu;
    if (length && c.run_end == reinterpret_cast<uintptr_t>(&d + length)) [[likely]]
        return Again::GoesOn;
    c.end_run();
    return Again::RunEnds;
}

bool replayed(Cpu &c, const LoopInfo &loop, uint32_t base)
{
    LoopInfo::Ready *k = ready_for(c, loop, base);
    return k && replay(c, loop, *k);
}

void loop_head(Cpu &c, Decoded &d);

// Once a loop's iteration is measured, its first instruction skips too, so
// a call of a delay routine runs one iteration in full only the first time.
// Not over a branch: a branch keeps its own loop in `aux`.
void hook_head(Cpu &c, uint32_t index)
{
    const LoopInfo &loop = c.loops[index];
    const uint32_t offset = loop.head - c.code_base;
    if (loop.head != c.r[15] || offset >= c.code_size) return;
    Decoded &h = loop.thumb ? c.code_thumb[offset >> 1] : c.code_arm[offset >> 2];
    if (h.fn == loop_head || undecoded(h, loop.thumb)) return;
    const MicroOp m = loop.thumb ? thumb_micro(h.raw, loop.head) : arm_micro(h.raw, loop.head);
    if (m.kind == MicroOp::Fail || m.kind == MicroOp::Jump || m.kind == MicroOp::CondJump) return;
    c.loops[index].head_fn = h.fn;
    h.fn = loop_head;
    c.code_cache->forget_runs_through(h, loop.thumb);
    h.aux = index;
}

// A start the ready facts do not cover (yet): the whole checks, then a
// replay (unless `replay_tried`: ready facts that hold found none) or the
// skip worked out.
[[gnu::noinline]] void start_from_head(Cpu &c, LoopInfo &loop, uint32_t base, bool replay_tried)
{
    // Only where the loop was measured, as it was measured. Where the slots
    // are is found first, so that the ready facts for a new slot base are
    // made at once (a routine called from another depth of the stack).
    if (loop.generation != c.code_generation || !loop.usable || !loop.cost || !slots_in_memory(c, loop, base) ||
        (!replay_tried && replayed(c, loop, base)))
        return;
    if (loop.cost_slot_region == (loop.slots ? loop.where.region : nullptr)) {
        Frame f{c, loop, base};
        skip(c, loop, f, f.get(loop.counter), true);
    }
}

// A start from the head the short path leaves alone. Out of line, so that
// the short path keeps no registers.
[[gnu::noinline]] bool start_at_head(Cpu &c, Decoded &d)
{
    LoopInfo &loop = c.loops[d.aux];
    c.end_run();   // a skip moves the cycles past what the run loop allowed for
    // With no tool that follows iterations one by one. A repeated start
    // from the same place with the same facts looks only at its inputs.
    if (loop.head == c.r[15] && c.fast_forward && !c.stepping && !c.attention) {
        const uint32_t base = loop.slots ? c.r[loop.slot_base] : 0;
        LoopInfo::Ready *k = ready_at(c, loop, base);
        if (!(k && replay(c, loop, *k))) start_from_head(c, loop, base, k != nullptr);
    }
    loop.head_fn(c, d);
    return false;
}

// The head's own handler, where the run ends with the replay before it.
// Out of line, so that the short path keeps no registers.
[[gnu::noinline]] bool head_after_replay(Cpu &c, Decoded &d)
{
    c.loops[d.aux].head_fn(c, d);
    return false;
}

void loop_head(Cpu &c, Decoded &d)
{
    const LoopInfo &loop = c.loops[d.aux];
    if (replay_again(c, loop, d) == Again::Not) [[unlikely]] {
        start_at_head(c, d);
        return;
    }
    loop.head_fn(c, d);
}

}  // namespace

Handler head_handler(const Cpu &c, const Decoded &d)
{
    return d.fn == loop_head ? c.loops[d.aux].head_fn : nullptr;
}

bool replayed_at_head(Cpu &c, Decoded &d)
{
    const LoopInfo &loop = c.loops[d.aux];
    switch (replay_again(c, loop, d)) {
    case Again::GoesOn: return true;
    case Again::Not: return start_at_head(c, d);
    case Again::RunEnds: break;
    }
    return head_after_replay(c, d);
}

void tell_repeated(Cpu &c)
{
    const LoopInfo &loop = *c.repeat_loop;
    for (size_t i = 0; i < loop.segments.size(); ++i)
        c.observer->repeated(loop.segments[i].first, loop.segments[i].second, loop.thumb, c.repeat_iterations,
                             i + 1 == loop.segments.size() ? c.repeat_cycles : 0);
    c.repeat_loop = nullptr;
    c.repeat_iterations = c.repeat_cycles = 0;
}

void delay_loop_closed(Cpu &c, Decoded &d, uint32_t pc)
{
    if (!c.fast_forward || c.stepping) return;
    LoopInfo *found = loop_for(c, d, pc);
    if (!found) return;
    LoopInfo &loop = *found;
    const uint32_t base = loop.slots ? c.r[loop.slot_base] : 0;
    if (!c.breakpoints.empty() || !c.watches.empty() || c.stop_requested ||
        c.interrupt_due() || !slots_in_memory(c, loop, base)) {
        loop.marked = false;
        return;
    }
    Frame f{c, loop, base};
    const uint32_t counter = f.get(loop.counter);
    // An iteration costs the same every time round as long as its code and
    // its words stay in the same memories: measured once, it holds for
    // every later run of the loop.
    const Region *slot_region = loop.slots ? loop.where.region : nullptr;
    if (!loop.cost || loop.cost_slot_region != slot_region) {
        const bool came_round = loop.marked && c.instructions - loop.mark_instructions == loop.path_length &&
                                c.exceptions_total == loop.mark_exceptions &&
                                counter == loop.mark_counter + loop.step && base == loop.mark_base;
        if (!came_round) {
            mark(c, loop, counter, base);
            return;
        }
        loop.cost = c.cycles - loop.mark_cycles;
        loop.cost_slot_region = slot_region;
        loop.forget_ready();
        loop.forget_replays();
    }
    skip(c, loop, f, counter, false);
    if (!c.observer) hook_head(c, d.aux - 1);
    mark(c, loop, f.get(loop.counter), base);
}

// ---- snapshots ----

namespace {

// Never a region of the core's: a measured loop whose memories have gone.
const Region kGoneRegion{};

// The region a measured cost belongs to, by its place in the core's list
// (the list is rebuilt in the same order for the same memories).
uint32_t region_index(const Cpu &c, const Region *g)
{
    if (!g) return 0;
    for (size_t i = 0; i < c.regions.size(); ++i)
        if (g == &c.regions[i]) return static_cast<uint32_t>(i + 1);
    return 0xFFFFFFFF;
}

const Region *region_at(const Cpu &c, uint32_t index, board::StateReader &r)
{
    if (index == 0) return nullptr;
    if (index == 0xFFFFFFFF) return &kGoneRegion;
    if (index > c.regions.size()) r.fail("core: a loop measured in a memory the core does not have");
    return &c.regions[index - 1];
}

// Saving and restoring walk a loop's fields in one function, so the two
// cannot drift apart: Out writes each field, In reads into it.
struct Out {
    board::StateWriter &w;
    const Cpu &c;
    template <class T> void u8(const T &v) { w.u8(static_cast<uint8_t>(v)); }
    template <class T> void u32(const T &v) { w.u32(static_cast<uint32_t>(v)); }
    template <class T> void u64(const T &v) { w.u64(static_cast<uint64_t>(v)); }
    template <class V> void size(const V &v, size_t, const char *) { w.u32(static_cast<uint32_t>(v.size())); }
    void region(const Region *g) { w.u32(region_index(c, g)); }
};

struct In {
    board::StateReader &r;
    const Cpu &c;
    template <class T> void u8(T &v) { v = static_cast<T>(r.u8()); }
    template <class T> void u32(T &v) { v = static_cast<T>(r.u32()); }
    template <class T> void u64(T &v) { v = static_cast<T>(r.u64()); }
    template <class V> void size(V &v, size_t limit, const char *why)
    {
        uint32_t n = r.u32();
        if (n > limit) r.fail(why);
        v.resize(n);
    }
    void region(const Region *&g) { g = region_at(c, r.u32(), r); }
};

template <class IO, class S> void walk_sym(IO &io, S &s)
{
    io.u8(s.base);
    io.u32(s.k);
}

template <class IO, class F> void walk_op(IO &io, F &f)
{
    io.u8(f.valid);
    io.u8(f.subtract);
    walk_sym(io, f.a);
    walk_sym(io, f.b);
}

template <class IO, class L> void walk_loop(IO &io, L &l)
{
    io.u32(l.branch_pc);
    io.u32(l.head);
    io.u8(l.thumb);
    io.u64(l.generation);
    io.u8(l.usable);
    io.u8(l.counter);
    io.u32(l.step);
    io.u8(l.slot_base);
    io.u32(l.slots);
    for (auto &o : l.slot_offset) io.u32(o);
    io.size(l.updates, 15 + kMaxSlots, "core: a loop with too many updates");
    for (auto &u : l.updates) {
        io.u8(u.location);
        walk_sym(io, u.value);
    }
    walk_op(io, l.exit_op);
    io.u32(l.exit_cond);
    io.u8(l.exit_when);
    walk_op(io, l.last_op);
    io.u32(l.path_length);
    io.size(l.segments, kMaxPath, "core: a loop with too long a path");
    for (auto &[first, last] : l.segments) {
        io.u32(first);
        io.u32(last);
    }
    for (LoopInfo::Answer &a : l.answers) {
        io.u8(a.valid);
        io.u32(a.counter);
        io.u32(a.other);
        io.u32(a.distance);
    }
    io.u32(l.next_answer);
    io.u64(l.cost);
    io.region(l.cost_slot_region);
    io.u8(l.marked);
    io.u64(l.mark_cycles);
    io.u64(l.mark_instructions);
    io.u64(l.mark_exceptions);
    io.u32(l.mark_counter);
    io.u32(l.mark_base);
}

void save_loop(const Cpu &c, board::StateWriter &w, const LoopInfo &l)
{
    Out out{w, c};
    walk_loop(out, l);
}

LoopInfo restore_loop(const Cpu &c, board::StateReader &r)
{
    LoopInfo l;
    In in{r, c};
    walk_loop(in, l);
    l.next_answer %= LoopInfo::kAnswers;
    bool sound = l.slots <= kMaxSlots && l.counter < kSlot + kMaxSlots && l.slot_base < 15 && l.exit_cond < 16;
    for (const LoopInfo::Update &u : l.updates) sound = sound && u.location < kSlot + l.slots && u.location != 15;
    if (!sound) r.fail("core: a loop that cannot be");
    return l;
}

// A decoded entry that carries a loop: a closing branch's loop number (or
// "not a loop"), or a loop head hooked to skip.
struct Mark {
    uint32_t memory, index;
    bool thumb, head;
    uint32_t aux;
};

std::vector<Mark> marks_of(const Cpu &c)
{
    std::vector<Mark> marks;
    for (size_t m = 0; m < c.caches.size(); ++m) {
        const CodeCache &cc = *c.caches[m];
        if (cc.arm.empty()) continue;
        for (size_t p = 0; p < cc.page_has_code.size(); ++p) {
            if (!cc.page_has_code[p]) continue;
            const uint32_t start = static_cast<uint32_t>(p) << CodeCache::kPageShift;
            const uint32_t end = std::min(cc.size, start + (1u << CodeCache::kPageShift));
            for (bool thumb : {false, true}) {
                const ZeroedArray<Decoded> &v = thumb ? cc.thumb : cc.arm;
                const unsigned size = thumb ? 2 : 4;
                for (uint32_t i = start / size; i < end / size; ++i)
                    if (v[i].fn == loop_head || v[i].aux != 0)
                        marks.push_back({static_cast<uint32_t>(m), i, thumb, v[i].fn == loop_head, v[i].aux});
            }
        }
    }
    return marks;
}

}  // namespace

void save_loops(const Cpu &c, board::StateWriter &w)
{
    w.u32(static_cast<uint32_t>(c.loops.size()));
    for (const LoopInfo &l : c.loops) save_loop(c, w, l);
    std::vector<Mark> marks = marks_of(c);
    w.u32(static_cast<uint32_t>(marks.size()));
    for (const Mark &m : marks) {
        w.u32(m.memory);
        w.u32(m.index);
        w.u8(m.thumb);
        w.u8(m.head);
        w.u32(m.aux);
    }
}

void restore_loops(Cpu &c, board::StateReader &r)
{
    uint32_t n = r.u32();
    if (n > r.left()) r.fail("core: more loops than the snapshot holds");
    std::vector<LoopInfo> loops;
    for (uint32_t i = 0; i < n; ++i) loops.push_back(restore_loop(c, r));
    c.loops = std::move(loops);
    uint32_t marks = r.u32();
    for (uint32_t i = 0; i < marks; ++i) {
        Mark m{};
        m.memory = r.u32();
        m.index = r.u32();
        m.thumb = r.u8();
        m.head = r.u8();
        m.aux = r.u32();
        const unsigned size = m.thumb ? 2 : 4;
        if (m.memory >= c.caches.size() || m.index >= c.caches[m.memory]->size / size)
            r.fail("core: a loop mark outside every memory");
        if (m.head ? m.aux >= c.loops.size() : (m.aux != kNotALoop && m.aux > c.loops.size()))
            r.fail("core: a loop mark of no loop");
        CodeCache &cc = *c.caches[m.memory];
        cc.allocate_entries();
        uint32_t raw = 0;
        std::memcpy(&raw, cc.host + m.index * size, size);
        Decoded d{m.thumb ? decode_thumb(raw) : decode_arm(raw), raw, m.aux};
        if (m.head) {
            c.loops[m.aux].head_fn = d.fn;
            d.fn = loop_head;
        }
        (m.thumb ? cc.thumb : cc.arm)[m.index] = d;
    }
}

}  // namespace sim::core
