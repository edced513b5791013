#include "sim/tools/source_map.h"

#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <tuple>

namespace simtools {

namespace {

std::string demangle(const std::string &name)
{
    int status = 0;
    char *out = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !out) return name;
    std::string s = out;
    std::free(out);
    return s;
}

const char *string_attribute(Dwarf_Die *die, int name)
{
    Dwarf_Attribute a;
    return dwarf_attr_integrate(die, name, &a) ? dwarf_formstring(&a) : nullptr;
}

std::string normal(const char *path)
{
    return std::filesystem::path(path).lexically_normal().string();
}

}  // namespace

// Fills a SourceMap from one image's DWARF and symbol table.
struct SourceMapBuilder {
    struct Symbol {
        uint32_t address, size;
        std::string name;
        bool function;
    };

    SourceMap &map;
    std::map<std::string, uint32_t> file_ids;
    std::map<std::tuple<std::string, std::optional<uint32_t>, uint32_t>, uint32_t> function_ids;
    uint32_t scopes = 0;

    uint32_t file_id(const std::string &path)
    {
        auto [it, fresh] = file_ids.emplace(path, static_cast<uint32_t>(map.files_.size()));
        if (fresh) map.files_.push_back(path);
        return it->second;
    }

    // One function per name and declaration: its out-of-line copies and
    // inlined instances, from every unit that has them, together.
    uint32_t function_id(const std::string &name, const std::string &display, std::optional<uint32_t> file, uint32_t line)
    {
        auto [it, fresh] = function_ids.emplace(std::make_tuple(name, file, line), static_cast<uint32_t>(map.functions_.size()));
        if (fresh) map.functions_.push_back({name, display, file, line, {}, {}});
        return it->second;
    }

    void walk(Dwarf_Die *parent, unsigned depth)
    {
        Dwarf_Die die;
        if (dwarf_child(parent, &die) != 0) return;
        do {
            int tag = dwarf_tag(&die);
            unsigned inner = depth;
            if (tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine) {
                if (instance(&die, tag == DW_TAG_inlined_subroutine, depth)) inner = depth + 1;
            }
            walk(&die, inner);
        } while (dwarf_siblingof(&die, &die) == 0);
    }

    bool instance(Dwarf_Die *die, bool inlined, unsigned depth)
    {
        std::vector<std::pair<uint32_t, uint32_t>> ranges;
        Dwarf_Addr base, start, end;
        for (ptrdiff_t off = 0; (off = dwarf_ranges(die, off, &base, &start, &end)) > 0;)
            if (end > start) ranges.emplace_back(static_cast<uint32_t>(start) & ~1u, static_cast<uint32_t>(end));
        if (ranges.empty()) return false;
        const char *linkage = string_attribute(die, DW_AT_linkage_name);
        if (!linkage) linkage = string_attribute(die, DW_AT_MIPS_linkage_name);
        const char *plain = string_attribute(die, DW_AT_name);
        if (!linkage && !plain) return false;
        std::string name = linkage ? linkage : plain;
        std::string display = linkage ? demangle(linkage) : plain;
        std::optional<uint32_t> file;
        if (const char *f = dwarf_decl_file(die)) file = file_id(normal(f));
        int line = 0;
        dwarf_decl_line(die, &line);
        uint32_t fid = function_id(name, display, file, static_cast<uint32_t>(line));
        Dwarf_Addr entry = ranges.front().first;
        if (dwarf_entrypc(die, &entry) != 0) entry = ranges.front().first;
        auto &f = map.functions_[fid];
        (inlined ? f.inlined_entries : f.entries).push_back(static_cast<uint32_t>(entry) & ~1u);
        uint32_t scope = scopes++;
        for (auto [s, e] : ranges) {
            if (!inlined) map.bodies_.push_back({s, e, fid, depth});
            map.scopes_.push_back({s, e, scope, depth});
        }
        return true;
    }

    void code(Elf *elf)
    {
        Elf_Scn *scn = nullptr;
        while ((scn = elf_nextscn(elf, scn)) != nullptr) {
            GElf_Shdr sh;
            if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_PROGBITS || !(sh.sh_flags & SHF_EXECINSTR) ||
                !(sh.sh_flags & SHF_ALLOC))
                continue;
            Elf_Data *data = elf_getdata(scn, nullptr);
            if (!data || !data->d_buf) continue;
            const auto *bytes = static_cast<const uint8_t *>(data->d_buf);
            map.code_.push_back({static_cast<uint32_t>(sh.sh_addr), std::vector<uint8_t>(bytes, bytes + data->d_size)});
        }
    }

    void lines(Dwarf_Die *cu)
    {
        Dwarf_Lines *lines = nullptr;
        size_t n = 0;
        if (dwarf_getsrclines(cu, &lines, &n) != 0) return;
        for (size_t i = 0; i < n; ++i) {
            Dwarf_Line *l = dwarf_onesrcline(lines, i);
            Dwarf_Addr address = 0;
            int number = 0;
            bool end = false;
            if (!l || dwarf_lineaddr(l, &address) != 0 || dwarf_lineno(l, &number) != 0) continue;
            dwarf_lineendsequence(l, &end);
            const char *src = dwarf_linesrc(l, nullptr, nullptr);
            if (end || !src || number <= 0) {
                map.rows_.push_back({static_cast<uint32_t>(address), 0, 0});
                continue;
            }
            map.rows_.push_back({static_cast<uint32_t>(address) & ~1u, file_id(normal(src)), static_cast<uint32_t>(number)});
        }
    }

    // Code no function information covers: its symbols, so that a profile
    // can name it. Bare labels name code only where no sized function does.
    void symbols(Elf *elf)
    {
        std::vector<Symbol> found;
        Elf_Scn *scn = nullptr;
        while ((scn = elf_nextscn(elf, scn)) != nullptr) {
            GElf_Shdr sh;
            if (!gelf_getshdr(scn, &sh) || sh.sh_type != SHT_SYMTAB || sh.sh_entsize == 0) continue;
            Elf_Data *data = elf_getdata(scn, nullptr);
            if (!data) continue;
            for (size_t k = 0; k < sh.sh_size / sh.sh_entsize; ++k) {
                GElf_Sym sym;
                if (!gelf_getsym(data, static_cast<int>(k), &sym)) continue;
                int type = GELF_ST_TYPE(sym.st_info);
                if ((type != STT_FUNC && type != STT_NOTYPE) || sym.st_shndx == SHN_UNDEF || sym.st_shndx >= SHN_LORESERVE)
                    continue;
                GElf_Shdr target;
                Elf_Scn *in = elf_getscn(elf, sym.st_shndx);
                if (!in || !gelf_getshdr(in, &target) || !(target.sh_flags & SHF_EXECINSTR) ||
                    sym.st_value >= target.sh_addr + target.sh_size)
                    continue;
                const char *name = elf_strptr(elf, sh.sh_link, sym.st_name);
                if (!name || !*name) continue;
                if (name[0] == '$' && (name[1] == 'a' || name[1] == 't' || name[1] == 'd') &&
                    (name[2] == 0 || name[2] == '.')) {
                    map.mapping_.emplace_back(static_cast<uint32_t>(sym.st_value), name[1]);
                    continue;
                }
                if (name[0] == '$' || name[0] == '.') continue;
                found.push_back({static_cast<uint32_t>(sym.st_value) & ~1u, static_cast<uint32_t>(sym.st_size), name,
                                 type == STT_FUNC});
            }
        }
        std::sort(map.mapping_.begin(), map.mapping_.end());
        std::sort(found.begin(), found.end(), [](const Symbol &a, const Symbol &b) {
            return a.address != b.address ? a.address < b.address : a.function > b.function;
        });
        auto covered = [&](uint32_t a) {
            for (const auto &s : found)
                if (s.function && s.size && a >= s.address && a < s.address + s.size) return true;
            return false;
        };
        for (size_t i = 0; i < found.size(); ++i) {
            const Symbol &s = found[i];
            if (i > 0 && found[i - 1].address == s.address) continue;   // one name per address
            if (!s.function && covered(s.address)) continue;
            if (map.function_at(s.address)) continue;                  // DWARF knows it
            uint32_t end = s.size ? s.address + s.size : s.address + 4;
            if (!s.size)
                for (size_t j = i + 1; j < found.size(); ++j)
                    if (found[j].address > s.address) {
                        end = found[j].address;
                        break;
                    }
            auto line = map.line_at(s.address);
            uint32_t fid = function_id(s.name, demangle(s.name), line ? std::optional(line->file) : std::nullopt,
                                           line ? line->line : 0);
            if (s.function) map.functions_[fid].entries.push_back(s.address);
            map.symbol_bodies_.push_back({s.address, end, fid, 0});
        }
    }
};

std::optional<SourceMap> SourceMap::load(const std::string &path, std::string &error)
{
    auto fail = [&](const std::string &why) -> std::optional<SourceMap> {
        error = path + ": " + why;
        return std::nullopt;
    };
    if (elf_version(EV_CURRENT) == EV_NONE) return fail("libelf cannot be initialised");
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return fail(std::string("cannot open: ") + std::strerror(errno));
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    Dwarf *dwarf = elf ? dwarf_begin_elf(elf, DWARF_C_READ, nullptr) : nullptr;
    struct Closer {
        int fd;
        Elf *elf;
        Dwarf *dwarf;
        ~Closer()
        {
            if (dwarf) dwarf_end(dwarf);
            if (elf) elf_end(elf);
            close(fd);
        }
    } closer{fd, elf, dwarf};
    if (!elf || elf_kind(elf) != ELF_K_ELF) return fail("not an ELF file");
    if (!dwarf) return fail("no debugging information (build the image with -g)");

    SourceMap map;
    SourceMapBuilder b{map, {}, {}, 0};
    Dwarf_Off off = 0, next = 0;
    size_t header = 0;
    while (dwarf_nextcu(dwarf, off, &next, &header, nullptr, nullptr, nullptr) == 0) {
        Dwarf_Die cu;
        if (dwarf_offdie(dwarf, off + header, &cu)) {
            b.lines(&cu);
            b.walk(&cu, 0);
        }
        off = next;
    }
    if (map.rows_.empty()) return fail("no line information (build the image with -g)");
    // One row per address: the last one written for it, and a line over the
    // end of a sequence that starts where another ends.
    std::stable_sort(map.rows_.begin(), map.rows_.end(), [](const Row &a, const Row &b) { return a.address < b.address; });
    std::vector<Row> rows;
    for (const Row &r : map.rows_) {
        if (!rows.empty() && rows.back().address == r.address) {
            if (r.line != 0 || rows.back().line == 0) rows.back() = r;
            continue;
        }
        rows.push_back(r);
    }
    map.rows_ = std::move(rows);
    auto by_start = [](const Range &a, const Range &b) { return a.start < b.start; };
    std::sort(map.bodies_.begin(), map.bodies_.end(), by_start);
    std::sort(map.scopes_.begin(), map.scopes_.end(), by_start);
    b.symbols(elf);
    b.code(elf);
    std::sort(map.symbol_bodies_.begin(), map.symbol_bodies_.end(), by_start);
    return map;
}

std::optional<SourceMap::Line> SourceMap::line_at(uint32_t address) const
{
    auto it = std::upper_bound(rows_.begin(), rows_.end(), address, [](uint32_t a, const Row &r) { return a < r.address; });
    if (it == rows_.begin()) return std::nullopt;
    --it;
    if (it->line == 0) return std::nullopt;
    return Line{it->file, it->line};
}

namespace {

template <typename R>
const R *containing(const std::vector<R> &ranges, uint32_t address)
{
    // Ranges do not overlap (function bodies): the last one starting at or
    // before the address is the only candidate.
    auto it = std::upper_bound(ranges.begin(), ranges.end(), address, [](uint32_t a, const R &r) { return a < r.start; });
    if (it == ranges.begin()) return nullptr;
    --it;
    return address < it->end ? &*it : nullptr;
}

}  // namespace

std::optional<uint32_t> SourceMap::function_at(uint32_t address) const
{
    if (const Range *r = containing(bodies_, address)) return r->id;
    if (const Range *r = containing(symbol_bodies_, address)) return r->id;
    return std::nullopt;
}

uint32_t SourceMap::scope_at(uint32_t address) const
{
    const Range *best = nullptr;
    for (const Range &r : scopes_) {
        if (r.start > address) break;
        if (address < r.end && (!best || r.depth >= best->depth)) best = &r;
    }
    return best ? best->id : kNoScope;
}

}  // namespace simtools

namespace simtools {

std::vector<SourceMap::Instruction> SourceMap::instructions() const
{
    std::vector<Instruction> out;
    for (const Code &c : code_) {
        uint32_t end = c.address + static_cast<uint32_t>(c.bytes.size());
        auto kind_at = [&](uint32_t a) {
            auto it = std::upper_bound(mapping_.begin(), mapping_.end(), std::make_pair(a, '\x7f'));
            return it == mapping_.begin() ? 'a' : std::prev(it)->second;
        };
        for (uint32_t a = c.address; a + 2 <= end;) {
            char kind = kind_at(a);
            auto byte = [&](uint32_t at) { return uint32_t{c.bytes[at - c.address]}; };
            if (kind == 'd') {
                a += 2;
                continue;
            }
            bool thumb = kind == 't';
            if (!thumb && (a & 3)) {
                a += 2;
                continue;
            }
            uint32_t size = thumb ? 2 : 4;
            if (a + size > end) break;
            Instruction i;
            i.address = a;
            i.thumb = thumb;
            i.encoding = byte(a) | byte(a + 1) << 8;
            if (!thumb) i.encoding |= byte(a + 2) << 16 | byte(a + 3) << 24;
            if (auto l = line_at(a)) {
                i.line = *l;
                out.push_back(i);
            }
            a += size;
        }
    }
    return out;
}

}  // namespace simtools
