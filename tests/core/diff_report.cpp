#include "tests/core/diff_report.h"

#include <capstone/capstone.h>

#include <cstdio>

namespace diff {

namespace {

std::string hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "%08x", v);
    return b;
}

uint32_t word(const std::vector<uint8_t> &bytes, size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

class Disassembler {
public:
    Disassembler()
    {
        cs_open(CS_ARCH_ARM, CS_MODE_ARM, &arm_);
        cs_open(CS_ARCH_ARM, CS_MODE_THUMB, &thumb_);
    }
    ~Disassembler()
    {
        cs_close(&arm_);
        cs_close(&thumb_);
    }
    std::string text(const uint8_t *code, size_t size, uint32_t address, bool thumb)
    {
        cs_insn *insn = nullptr;
        size_t n = cs_disasm(thumb ? thumb_ : arm_, code, size, address, 1, &insn);
        std::string out = n ? std::string(insn->mnemonic) + " " + insn->op_str : "(not an instruction)";
        if (n)
            cs_free(insn, n);
        return out;
    }

private:
    csh arm_ = 0, thumb_ = 0;
};

// Which parts of two PSR values differ: "N C mode".
std::string psr_difference(uint32_t a, uint32_t b)
{
    static const struct {
        uint32_t mask;
        const char *name;
    } parts[] = {{1u << 31, "N"}, {1u << 30, "Z"}, {1u << 29, "C"}, {1u << 28, "V"}, {0x0FFFFF00, "reserved"},
                 {1u << 7, "I"}, {1u << 6, "F"}, {1u << 5, "T"}, {0x1F, "mode"}};
    std::string out;
    for (const auto &p : parts)
        if ((a ^ b) & p.mask)
            out += std::string(out.empty() ? "" : " ") + p.name;
    return out;
}

}  // namespace

std::string compare(const Outcome &ours, const Outcome &oracle)
{
    std::string first;
    unsigned more = 0;
    auto note = [&](const std::string &name, uint32_t a, uint32_t b) {
        if (first.empty())
            first = name + ": ours " + hex(a) + ", oracle " + hex(b) +
                    (name.find("psr") != std::string::npos ? " (" + psr_difference(a, b) + ")" : "");
        else
            ++more;
    };
    if (ours.error != oracle.error)
        first = "run: ours \"" + (ours.error.empty() ? "reached the end" : ours.error) + "\", oracle \"" +
                (oracle.error.empty() ? "reached the end" : oracle.error) + "\"";
    std::vector<Field> a = fields(ours.cpu), b = fields(oracle.cpu);
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].value != b[i].value)
            note(a[i].name, a[i].value, b[i].value);
    auto memory = [&](const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, uint32_t base) {
        for (size_t o = 0; o + 4 <= a.size() && o + 4 <= b.size(); o += 4)
            if (word(a, o) != word(b, o))
                note("mem[" + hex(base + static_cast<uint32_t>(o)) + "]", word(a, o), word(b, o));
    };
    memory(ours.data, oracle.data, kDataBase);
    memory(ours.code, oracle.code, kCodeBase);
    if (first.empty())
        return "";
    return first + (more ? " (and " + std::to_string(more) + " more)" : "");
}

std::string describe(const Program &program)
{
    static Disassembler dis;
    std::string out;
    const std::vector<uint8_t> &code = program.initial.code;
    for (const Piece &p : program.listing) {
        size_t o = p.address - kCodeBase;
        uint32_t encoding = p.size == 4 ? word(code, o) : static_cast<uint32_t>(code[o] | code[o + 1] << 8);
        if (p.thumb && p.size == 4)   // a BL pair: the halves in execution order
            encoding = encoding << 16 | encoding >> 16;
        char line[64];
        snprintf(line, sizeof line, "  %08x%s  %0*x  ", p.address, p.address == program.end ? ">" : ":", p.size == 2 ? 4 : 8, encoding);
        out += line;
        out += p.literal ? ".word" : dis.text(&code[o], p.size, p.address, p.thumb);
        out += p.thumb ? "   (Thumb)\n" : "\n";
    }
    out += "  end " + hex(program.end) + "\n  start:";
    std::vector<Field> f = fields(program.initial.cpu);
    for (size_t i = 0; i < f.size(); ++i)
        out += (i % 6 ? "  " : "\n    ") + f[i].name + "=" + hex(f[i].value);
    return out + "\n";
}

}  // namespace diff
