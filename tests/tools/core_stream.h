// Runs a small test image on the simulator's own core and tells an
// ExecutionObserver what ran: memory at 0x00100000 (flash), RAM at
// 0x00200000, no wait states, sp at the top of RAM, from the ELF's entry
// until a breakpoint at `stop`. The cycles are the core's own.
#pragma once

#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/arm7tdmi.h"
#include "tests/core/refusing_bus.h"

namespace testing_core {

struct Run {
    uint64_t instructions = 0, cycles = 0;
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

// Runs `path` until it reaches `stop`. False when it cannot be loaded or
// does not get there.
inline bool run_image(const std::string &path, sim::ExecutionObserver &observer, uint32_t stop, Run &run)
{
    constexpr uint32_t kFlash = 0x00100000, kFlashSize = 0x40000, kRam = 0x00200000, kRamSize = 0x10000;
    std::vector<uint8_t> flash(kFlashSize), ram(kRamSize);
    elf_version(EV_CURRENT);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    GElf_Ehdr eh;
    bool ok = elf && gelf_getehdr(elf, &eh);
    size_t n = 0;
    if (ok) elf_getphdrnum(elf, &n);
    for (size_t i = 0; ok && i < n; ++i) {
        GElf_Phdr ph;
        if (!gelf_getphdr(elf, static_cast<int>(i), &ph) || ph.p_type != PT_LOAD || !ph.p_filesz) continue;
        std::vector<uint8_t> &to = ph.p_paddr >= kRam ? ram : flash;
        uint64_t at = ph.p_paddr - (ph.p_paddr >= kRam ? kRam : kFlash);
        ok = at + ph.p_filesz <= to.size() &&
             pread(fd, to.data() + at, ph.p_filesz, static_cast<off_t>(ph.p_offset)) == static_cast<ssize_t>(ph.p_filesz);
    }
    if (elf) elf_end(elf);
    close(fd);
    if (!ok) return false;

    coretest::RefusingBus bus;
    sim::Arm7tdmi core(bus);
    sim::MemoryRegion f{kFlash, kFlashSize, flash.data(), true};   // its data follows its code
    sim::MemoryRegion r{kRam, kRamSize, ram.data(), true};
    core.reset();
    core.set_regions({f, r});
    uint32_t entry = static_cast<uint32_t>(eh.e_entry);
    core.set_cpsr((entry & 1) ? core.cpsr() | sim::kCpsrT : core.cpsr());
    core.set_reg(13, kRam + kRamSize);
    core.set_reg(15, entry & ~1u);
    core.set_observer(&observer);
    core.set_breakpoints({stop});
    core.run(1000000);
    run.instructions = core.instructions();
    run.cycles = core.cycles();
    return core.pc() == stop;
}

}  // namespace testing_core
