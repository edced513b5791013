#include "sim/machine/elf_image.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "sim/machine/memory_map.h"

namespace sim {

namespace {

struct ElfHandle {
    int fd = -1;
    Elf *elf = nullptr;
    ~ElfHandle()
    {
        if (elf)
            elf_end(elf);
        if (fd >= 0)
            close(fd);
    }
};

bool fits(uint32_t address, uint64_t length)
{
    auto in = [&](uint64_t base, uint64_t size) { return address >= base && address + length <= base + size; };
    return in(MemoryMap::kFlashBase, MemoryMap::kFlashSize) || in(MemoryMap::kRamBase, MemoryMap::kRamSize);
}

std::string hex(uint64_t v)
{
    char b[24];
    snprintf(b, sizeof b, "0x%08llx", static_cast<unsigned long long>(v));
    return b;
}

}  // namespace

std::optional<ElfImage> ElfImage::load(const std::string &path, std::string &error)
{
    auto fail = [&](const std::string &why) -> std::optional<ElfImage> {
        error = path + ": " + why;
        return std::nullopt;
    };
    if (elf_version(EV_CURRENT) == EV_NONE)
        return fail("libelf cannot be initialised");
    ElfHandle h;
    // Non-blocking, so that a FIFO is refused rather than waited on.
    h.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (h.fd < 0)
        return fail(std::string("cannot open: ") + strerror(errno));
    struct stat st;
    if (fstat(h.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail("not a regular file");
    uint64_t file_size = static_cast<uint64_t>(st.st_size);
    char magic[4] = {};
    bool elf_magic = pread(h.fd, magic, 4, 0) == 4 && memcmp(magic, ELFMAG, SELFMAG) == 0;
    h.elf = elf_begin(h.fd, ELF_C_READ, nullptr);
    if (elf_magic && file_size < sizeof(Elf32_Ehdr))
        return fail("truncated: " + std::to_string(file_size) + " bytes, shorter than an ELF header");
    if (!h.elf || elf_kind(h.elf) != ELF_K_ELF)
        return fail("not an ELF file");
    GElf_Ehdr eh;
    if (!gelf_getehdr(h.elf, &eh))
        return fail("unreadable ELF header");
    if (uint64_t(eh.e_phoff) + uint64_t(eh.e_phnum) * eh.e_phentsize > file_size)
        return fail("truncated: the program headers end at byte " +
                    std::to_string(uint64_t(eh.e_phoff) + uint64_t(eh.e_phnum) * eh.e_phentsize) + ", the file has " +
                    std::to_string(file_size));
    if (eh.e_ident[EI_CLASS] != ELFCLASS32 || eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return fail("not a 32-bit little-endian ELF file");
    if (eh.e_machine != EM_ARM)
        return fail("not an ARM ELF file (machine " + std::to_string(eh.e_machine) + ")");
    if (eh.e_type != ET_EXEC)
        return fail("not an executable (an object file or shared library?)");

    ElfImage img;
    img.entry_ = static_cast<uint32_t>(eh.e_entry);
    size_t count = 0;
    if (elf_getphdrnum(h.elf, &count) != 0)
        return fail("unreadable program headers");
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr ph;
        if (!gelf_getphdr(h.elf, static_cast<int>(i), &ph))
            return fail("unreadable program header " + std::to_string(i));
        if (ph.p_type != PT_LOAD || ph.p_memsz == 0)
            continue;
        if (ph.p_filesz > ph.p_memsz || ph.p_paddr > 0xFFFFFFFFull)
            return fail("malformed segment " + std::to_string(i));
        uint32_t at = static_cast<uint32_t>(ph.p_paddr);
        if (ph.p_filesz && !fits(at, ph.p_filesz))
            return fail("segment " + std::to_string(i) + " (" + hex(at) + ", " + std::to_string(ph.p_filesz) +
                        " bytes) lies outside flash (0x00100000, 256 KiB) and RAM (0x00200000, 64 KiB)");
        uint32_t zero_at = static_cast<uint32_t>(ph.p_filesz ? ph.p_paddr + ph.p_filesz : ph.p_vaddr);
        uint64_t zeros = ph.p_memsz - ph.p_filesz;
        if (zeros && !fits(zero_at, zeros))
            return fail("segment " + std::to_string(i) + " (" + hex(ph.p_vaddr) + ", " + std::to_string(ph.p_memsz) +
                        " bytes in memory) lies outside flash and RAM");
        ElfSegment s;
        s.address = at;
        s.zero_fill = static_cast<uint32_t>(zeros);
        s.bytes.resize(ph.p_filesz);
        if (ph.p_filesz) {
            if (pread(h.fd, s.bytes.data(), ph.p_filesz, static_cast<off_t>(ph.p_offset)) != static_cast<ssize_t>(ph.p_filesz))
                return fail("truncated: segment " + std::to_string(i) + " runs past the end of the file (" +
                            std::to_string(file_size) + " bytes)");
        }
        if (!ph.p_filesz)
            s.address = zero_at;
        img.segments_.push_back(std::move(s));
    }
    if (img.segments_.empty())
        return fail("no loadable segment");
    if (!fits(img.entry_ & ~1u, 2))
        return fail("entry point " + hex(img.entry_) + " is outside flash and RAM");

    Elf_Scn *scn = nullptr;
    while ((scn = elf_nextscn(h.elf, scn)) != nullptr) {
        GElf_Shdr sh;
        if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB || sh.sh_entsize == 0)
            continue;
        Elf_Data *data = elf_getdata(scn, nullptr);
        if (!data)
            continue;
        size_t n = sh.sh_size / sh.sh_entsize;
        for (size_t k = 0; k < n; ++k) {
            GElf_Sym sym;
            if (!gelf_getsym(data, static_cast<int>(k), &sym))
                continue;
            int type = GELF_ST_TYPE(sym.st_info);
            if (type != STT_FUNC && type != STT_NOTYPE && type != STT_OBJECT)
                continue;
            const char *name = elf_strptr(h.elf, sh.sh_link, sym.st_name);
            if (!name || !*name || name[0] == '$' || sym.st_shndx == SHN_UNDEF || sym.st_shndx == SHN_ABS)
                continue;
            uint32_t address = static_cast<uint32_t>(sym.st_value);
            bool thumb = type == STT_FUNC && (address & 1u);
            address &= type == STT_FUNC ? ~1u : ~0u;
            img.addresses_.emplace(name, address);
            auto [it, inserted] = img.symbols_.emplace(address, ElfSymbol{name, static_cast<uint32_t>(sym.st_size), thumb});
            // Prefer a sized symbol (a function) over a bare label at the same address.
            if (!inserted && it->second.size == 0 && sym.st_size != 0)
                it->second = ElfSymbol{name, static_cast<uint32_t>(sym.st_size), thumb};
        }
    }
    return img;
}

namespace {
void copy_segment(MemoryMap &memory, const ElfSegment &s)
{
    if (!s.bytes.empty())
        memory.write(s.address, s.bytes.data(), static_cast<uint32_t>(s.bytes.size()));
    if (s.zero_fill)
        memory.fill(s.address + static_cast<uint32_t>(s.bytes.size()), 0, s.zero_fill);
}
}  // namespace

void ElfImage::place(MemoryMap &memory) const
{
    // As a flashing tool writes pages: each flash page the image touches is
    // erased and written, the rest of the flash keeps what it held.
    constexpr uint32_t kPage = board::ChipFlash::kPageSize;
    for (const auto &s : segments_) {
        uint32_t length = static_cast<uint32_t>(s.bytes.size()) + s.zero_fill;
        if (length == 0 || !memory.in_flash(s.address))
            continue;
        for (uint32_t page = s.address & ~(kPage - 1); page < s.address + length; page += kPage)
            memory.fill(page, 0xFF, kPage);
    }
    for (const auto &s : segments_)
        copy_segment(memory, s);
}

bool ElfImage::place_ram(MemoryMap &memory) const
{
    bool any = false;
    for (const auto &s : segments_)
        if (!memory.in_flash(s.address)) {
            copy_segment(memory, s);
            any = true;
        }
    return any;
}

bool ElfImage::has_reset_vector() const
{
    constexpr uint32_t kVector = board::ChipFlash::kBase;
    for (const auto &s : segments_)
        if (s.address <= kVector && kVector + 4 <= uint64_t(s.address) + s.bytes.size() + s.zero_fill)
            return true;
    return false;
}

std::string ElfImage::describe(uint32_t address) const
{
    auto it = symbols_.upper_bound(address);
    if (it == symbols_.begin())
        return "";
    --it;
    uint32_t offset = address - it->first;
    bool inside = it->second.size ? offset < it->second.size : offset < 64;
    if (!inside)
        return "";
    if (offset == 0)
        return it->second.name;
    char b[16];
    snprintf(b, sizeof b, "+0x%x", offset);
    return it->second.name + b;
}

std::optional<bool> ElfImage::thumb_at(uint32_t address) const
{
    auto it = symbols_.upper_bound(address);
    if (it == symbols_.begin())
        return std::nullopt;
    --it;
    if (it->second.size == 0 || address - it->first >= it->second.size)
        return std::nullopt;
    return it->second.thumb;
}

std::optional<uint32_t> ElfImage::address_of(const std::string &name) const
{
    auto it = addresses_.find(name);
    if (it == addresses_.end())
        return std::nullopt;
    return it->second;
}

}  // namespace sim
