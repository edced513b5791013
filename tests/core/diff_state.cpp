#include "tests/core/diff_state.h"

#include <cstdio>

namespace diff {

namespace {

constexpr uint32_t kSystemMode = 0x1F, kMasked = 0xC0;

}  // namespace

uint32_t mode_bits(BankedMode m)
{
    static const uint32_t bits[kBankedModes] = {0x11, 0x12, 0x13, 0x17, 0x1B};
    return bits[m];
}

const char *bank_name(BankedMode m)
{
    static const char *names[kBankedModes] = {"fiq", "irq", "svc", "abt", "und"};
    return names[m];
}

std::vector<Field> fields(const CpuState &s)
{
    std::vector<Field> out;
    char name[32];
    for (int i = 0; i < 8; ++i) {
        snprintf(name, sizeof name, "r%d", i);
        out.push_back({name, s.low[i]});
    }
    for (int i = 0; i < 7; ++i) {
        snprintf(name, sizeof name, "r%d_usr", i + 8);
        out.push_back({name, s.user[i]});
    }
    for (int i = 0; i < 7; ++i) {
        snprintf(name, sizeof name, "r%d_fiq", i + 8);
        out.push_back({name, s.fiq[i]});
    }
    for (int m = kIrq; m < kBankedModes; ++m)
        for (int i = 0; i < 2; ++i) {
            snprintf(name, sizeof name, "r%d_%s", i + 13, bank_name(BankedMode(m)));
            out.push_back({name, s.sp_lr[m][i]});
        }
    out.push_back({"pc", s.pc});
    out.push_back({"cpsr", s.cpsr});
    for (int m = 0; m < kBankedModes; ++m) {
        snprintf(name, sizeof name, "spsr_%s", bank_name(BankedMode(m)));
        out.push_back({name, s.spsr[m]});
    }
    return out;
}

void load_registers(RegisterAccess &cpu, const CpuState &s)
{
    for (int m = 0; m < kBankedModes; ++m) {
        cpu.set_cpsr(mode_bits(BankedMode(m)) | kMasked);
        if (m == kFiq)
            for (int i = 0; i < 7; ++i)
                cpu.set_reg(8 + i, s.fiq[i]);
        else
            for (int i = 0; i < 2; ++i)
                cpu.set_reg(13 + i, s.sp_lr[m][i]);
        cpu.set_spsr(s.spsr[m]);
    }
    cpu.set_cpsr(kSystemMode | kMasked);
    for (int i = 0; i < 7; ++i)
        cpu.set_reg(8 + i, s.user[i]);
    for (int i = 0; i < 8; ++i)
        cpu.set_reg(i, s.low[i]);
    cpu.set_cpsr(s.cpsr);
    cpu.set_reg(15, s.pc);
}

CpuState read_registers(RegisterAccess &cpu)
{
    CpuState s;
    s.cpsr = cpu.cpsr();
    s.pc = cpu.reg(15);
    for (int i = 0; i < 8; ++i)
        s.low[i] = cpu.reg(i);
    for (int m = 0; m < kBankedModes; ++m) {
        cpu.set_cpsr(mode_bits(BankedMode(m)) | kMasked);
        if (m == kFiq)
            for (int i = 0; i < 7; ++i)
                s.fiq[i] = cpu.reg(8 + i);
        else
            for (int i = 0; i < 2; ++i)
                s.sp_lr[m][i] = cpu.reg(13 + i);
        s.spsr[m] = cpu.spsr();
    }
    cpu.set_cpsr(kSystemMode | kMasked);
    for (int i = 0; i < 7; ++i)
        s.user[i] = cpu.reg(8 + i);
    cpu.set_cpsr(s.cpsr);
    return s;
}

}  // namespace diff
