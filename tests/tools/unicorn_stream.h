// Runs a small test image on Unicorn (the test oracle's ARMv4T model) and
// tells an ExecutionObserver what ran, as the core does: each instruction
// with its state, encoding, whether its condition passed and where execution
// went next. Cycles: one per Thumb instruction, two per ARM one.
#pragma once

#include <fcntl.h>
#include <gelf.h>
#include <unicorn/unicorn.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/arm7tdmi.h"

namespace testing_unicorn {

inline bool condition_passed(uint32_t cond, uint32_t cpsr)
{
    bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
    switch (cond) {
    case 0x0: return z;
    case 0x1: return !z;
    case 0x2: return c;
    case 0x3: return !c;
    case 0x4: return n;
    case 0x5: return !n;
    case 0x6: return v;
    case 0x7: return !v;
    case 0x8: return c && !z;
    case 0x9: return !c || z;
    case 0xA: return n == v;
    case 0xB: return n != v;
    case 0xC: return !z && n == v;
    case 0xD: return z || n != v;
    default: return true;
    }
}

struct Run {
    uc_engine *uc = nullptr;
    sim::ExecutionObserver *observer = nullptr;
    uint32_t stop = 0;
    bool pending = false;
    uint32_t pc = 0, encoding = 0;
    bool thumb = false, passed = true;
    uint64_t instructions = 0, cycles = 0;

    static void hook(uc_engine *uc, uint64_t address, uint32_t size, void *user)
    {
        auto *r = static_cast<Run *>(user);
        uint32_t a = static_cast<uint32_t>(address);
        if (r->pending) {
            uint32_t cost = r->thumb ? 1 : 2;
            r->observer->executed(r->pc, r->thumb, r->encoding, r->passed, cost, a);
            ++r->instructions;
            r->cycles += cost;
        }
        if (a == r->stop) {
            r->pending = false;
            uc_emu_stop(uc);
            return;
        }
        uint32_t cpsr = 0;
        uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
        uint8_t b[4] = {};
        uc_mem_read(uc, address, b, size);
        r->pc = a;
        r->thumb = cpsr & sim::kCpsrT;
        r->encoding = size == 4 && r->thumb ? uint32_t(b[0] | b[1] << 8) << 16 | uint32_t(b[2] | b[3] << 8)
                                            : uint32_t(b[0] | b[1] << 8 | (size == 4 ? b[2] << 16 | b[3] << 24 : 0));
        if (r->thumb) r->passed = (r->encoding & 0xF000) != 0xD000 || condition_passed(r->encoding >> 8 & 0xF, cpsr);
        else r->passed = condition_passed(r->encoding >> 28, cpsr);
        r->pending = true;
    }
};

// The address of symbol `name` in the image at `path`; 0 when it has none.
inline uint32_t symbol_address(const std::string &path, const std::string &name)
{
    elf_version(EV_CURRENT);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    uint32_t found = 0;
    for (Elf_Scn *scn = nullptr; elf && (scn = elf_nextscn(elf, scn)) != nullptr;) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB || !sh.sh_entsize) continue;
        Elf_Data *data = elf_getdata(scn, nullptr);
        for (size_t k = 0; data && k < sh.sh_size / sh.sh_entsize; ++k) {
            GElf_Sym sym;
            const char *n = gelf_getsym(data, static_cast<int>(k), &sym) ? elf_strptr(elf, sh.sh_link, sym.st_name) : nullptr;
            if (n && name == n) found = static_cast<uint32_t>(sym.st_value) & ~1u;
        }
    }
    if (elf) elf_end(elf);
    close(fd);
    return found;
}

// Runs `path` from its entry (flash at 0x00100000, RAM at 0x00200000, sp at
// the top of RAM) until it reaches `stop`. Returns false when it cannot.
inline bool run_image(const std::string &path, sim::ExecutionObserver &observer, uint32_t stop, Run &run)
{
    elf_version(EV_CURRENT);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    GElf_Ehdr eh;
    if (!elf || !gelf_getehdr(elf, &eh)) return false;
    if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &run.uc) != UC_ERR_OK) return false;
    uc_ctl_set_cpu_model(run.uc, UC_CPU_ARM_TI925T);
    uc_mem_map(run.uc, 0x00100000, 0x40000, UC_PROT_ALL);
    uc_mem_map(run.uc, 0x00200000, 0x10000, UC_PROT_ALL);
    size_t n = 0;
    elf_getphdrnum(elf, &n);
    for (size_t i = 0; i < n; ++i) {
        GElf_Phdr ph;
        if (!gelf_getphdr(elf, static_cast<int>(i), &ph) || ph.p_type != PT_LOAD || !ph.p_filesz) continue;
        std::vector<uint8_t> bytes(ph.p_filesz);
        if (pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(ph.p_offset)) != static_cast<ssize_t>(bytes.size()))
            return false;
        uc_mem_write(run.uc, ph.p_paddr, bytes.data(), bytes.size());
    }
    elf_end(elf);
    close(fd);
    uint32_t sp = 0x00210000;
    uc_reg_write(run.uc, UC_ARM_REG_SP, &sp);
    run.observer = &observer;
    run.stop = stop;
    uc_hook h;
    uc_hook_add(run.uc, &h, UC_HOOK_CODE, reinterpret_cast<void *>(&Run::hook), &run, 1, 0);
    uc_err e = uc_emu_start(run.uc, eh.e_entry, 0, 0, 100000);
    uc_close(run.uc);
    return e == UC_ERR_OK;
}

}  // namespace testing_unicorn
