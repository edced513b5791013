// Block transfers (LDM/STM and their Thumb forms) with the ARM7TDMI's rules
// for the base register, empty lists and aborts (see transfer.h).
#include "sim/core/transfer.h"

#include <bit>

namespace sim::core {

namespace {

struct Span {
    uint32_t start;      // lowest address transferred
    uint32_t new_base;   // base after write-back
    uint32_t list;
};

Span span_of(const Cpu &c, const BlockTransfer &t)
{
    uint32_t list = t.list ? t.list : 1u << 15;
    uint32_t bytes = t.list ? 4 * static_cast<uint32_t>(std::popcount(t.list)) : 0x40;
    uint32_t base = c.r[t.rn];
    uint32_t start;
    if (t.up)
        start = t.before ? base + 4 : base;
    else
        start = t.before ? base - bytes : base - bytes + 4;
    return Span{start, t.up ? base + bytes : base - bytes, list};
}

// False when the memory system aborts a misaligned start (reported).
bool align(Cpu &c, uint32_t &address, bool write)
{
    if (!(address & 3)) return true;
    if (!c.misaligned_allowed(address, 4, write)) return false;
    address &= ~3u;
    return true;
}

}  // namespace

void block_load(Cpu &c, const BlockTransfer &t)
{
    Span s = span_of(c, t);
    c.fetch_s();
    uint32_t values[16];
    int abort_at = -1;
    uint32_t address = s.start;
    if (!align(c, address, false)) abort_at = std::countr_zero(s.list);
    bool seq = false;
    for (uint32_t rest = s.list; rest; rest &= rest - 1) {
        int i = std::countr_zero(rest);
        if (abort_at >= 0) {
            if (i != abort_at) c.dead_transfer();
        } else if (!c.read<4>(address, seq, values[i])) {
            abort_at = i;
        }
        seq = true;
        address += 4;
    }
    c.idle();
    bool user_bank = t.s_bit && !(s.list & (1u << 15));
    uint32_t original = c.r[t.rn];
    auto put = [&](int i) {
        if (user_bank)
            c.set_user_reg(i, values[i]);
        else
            c.r[i] = values[i];
    };
    if (abort_at >= 0) {
        for (uint32_t rest = s.list; rest; rest &= rest - 1) {
            int i = std::countr_zero(rest);
            if (i >= abort_at || i == 15) break;
            put(i);
        }
        if (t.rn != 15) c.r[t.rn] = t.writeback ? s.new_base : original;
        c.data_abort();
        return;
    }
    if (t.writeback && t.rn != 15) c.r[t.rn] = s.new_base;
    for (uint32_t rest = s.list & 0x7FFF; rest; rest &= rest - 1) put(std::countr_zero(rest));
    if (!(s.list & (1u << 15))) {
        c.r[15] = t.next;
        return;
    }
    if (t.s_bit && c.has_spsr()) c.write_cpsr(c.spsr());
    c.branch(values[15] & (c.thumb() ? ~1u : ~3u));
}

void block_store(Cpu &c, const BlockTransfer &t)
{
    Span s = span_of(c, t);
    c.fetch_n();
    uint32_t address = s.start;
    bool refused = !align(c, address, true);
    bool seq = false;
    int lowest = std::countr_zero(s.list);
    for (uint32_t rest = s.list; rest; rest &= rest - 1) {
        int i = std::countr_zero(rest);
        if (refused) {
            if (i != lowest) c.dead_transfer();
        } else {
            uint32_t v;
            if (i == 15)
                v = t.stored_pc;
            else if (i == static_cast<int>(t.rn) && i != lowest && t.writeback)
                v = s.new_base;
            else
                v = t.s_bit ? c.user_reg(i) : c.r[i];
            if (!c.write<4>(address, seq, v)) refused = true;
        }
        seq = true;
        address += 4;
    }
    if (t.writeback && t.rn != 15) c.r[t.rn] = s.new_base;
    if (refused)
        c.data_abort();
    else
        c.r[15] = t.next;
}

}  // namespace sim::core
