#include "sim/jtag/embedded_ice.h"

#include "sim/core/debug_channel.h"

namespace jtag {

namespace {
constexpr uint32_t kControlBits = 0x7;
constexpr uint32_t kWatchControlBits = 0x1FF;
constexpr uint32_t kWatchMaskBits = 0xFF;

uint32_t mas(unsigned size) { return size == 1 ? 0 : size == 2 ? 1 : 2; }
}  // namespace

uint32_t EmbeddedIce::read(uint32_t address, const CoreView &core)
{
    switch (address) {
    case kDebugControl: return control_;
    case kDebugStatus:
        return (core.debug_state || (control_ & kDbgack) ? kStatusDbgack : 0) | (control_ & kDbgrq ? kStatusDbgrq : 0) |
               (core.interrupts_enabled && !(control_ & kIntdis) && !core.debug_state ? kIfen : 0) |
               (core.debug_state && !core.system_speed ? kCgenL : 0) | (core.thumb ? kTbit : 0);
    case kCommsControl: return channel_.control();
    case kCommsData: return channel_.debugger_reads();
    default: break;
    }
    for (unsigned u = 0; u < 2; ++u) {
        uint32_t base = u ? kWatch1 : kWatch0;
        if (address < base || address > base + 5) continue;
        const Unit &w = unit_[u];
        const uint32_t regs[] = {w.address_value, w.address_mask, w.data_value, w.data_mask, w.control_value, w.control_mask};
        return regs[address - base];
    }
    return 0;
}

void EmbeddedIce::write(uint32_t address, uint32_t value)
{
    switch (address) {
    case kDebugControl: control_ = value & kControlBits; return;
    case kCommsData: channel_.debugger_writes(value); return;
    default: break;
    }
    for (unsigned u = 0; u < 2; ++u) {
        uint32_t base = u ? kWatch1 : kWatch0;
        if (address < base || address > base + 5) continue;
        Unit &w = unit_[u];
        uint32_t *regs[] = {&w.address_value, &w.address_mask, &w.data_value, &w.data_mask, &w.control_value, &w.control_mask};
        uint32_t keep = address - base == 4 ? kWatchControlBits : address - base == 5 ? kWatchMaskBits : ~0u;
        *regs[address - base] = value & keep;
    }
}

void EmbeddedIce::reset()
{
    control_ = 0;
    unit_[0] = unit_[1] = Unit{};
    chained_ = false;
}

bool EmbeddedIce::compares(const Unit &u, const BusAccess &a, bool chain_in, bool range_in)
{
    uint32_t seen = (a.write ? kNrw : 0) | (mas(a.size) << 1) | (a.fetch ? 0 : kNopc) | (a.privileged ? kNtrans : 0) |
                    (chain_in ? kChain : 0) | (range_in ? kRange : 0);
    return ((a.address ^ u.address_value) & ~u.address_mask) == 0 && ((a.data ^ u.data_value) & ~u.data_mask) == 0 &&
           ((seen ^ u.control_value) & ~u.control_mask & kWatchMaskBits) == 0;
}

bool EmbeddedIce::matches(const BusAccess &access)
{
    bool one = compares(unit_[1], access, false, false);
    bool zero = compares(unit_[0], access, chained_, one);
    if (one) chained_ = true;
    return (one && (unit_[1].control_value & kEnable)) || (zero && (unit_[0].control_value & kEnable));
}

}  // namespace jtag
