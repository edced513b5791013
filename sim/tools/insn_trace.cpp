#include "sim/tools/insn_trace.h"

#include <capstone/capstone.h>

#include <cstdio>
#include <stdexcept>

#include "sim/tools/trace.h"

namespace simtools {

InsnTrace::InsnTrace(std::ostream &out) : out_(out)
{
    csh a, t;
    if (cs_open(CS_ARCH_ARM, CS_MODE_ARM, &a) != CS_ERR_OK) throw std::runtime_error("Capstone: no ARM disassembler");
    if (cs_open(CS_ARCH_ARM, CS_MODE_THUMB, &t) != CS_ERR_OK) {
        cs_close(&a);
        throw std::runtime_error("Capstone: no Thumb disassembler");
    }
    arm_ = a;
    thumb_ = t;
}

InsnTrace::~InsnTrace()
{
    csh a = arm_, t = thumb_;
    cs_close(&a);
    cs_close(&t);
}

std::string InsnTrace::disassemble(uint32_t pc, const uint8_t *code, size_t available, bool thumb, size_t *length)
{
    size_t unit = thumb ? 2 : 4;
    cs_insn *insn = nullptr;
    size_t n = available >= unit ? cs_disasm(thumb ? thumb_ : arm_, code, available, pc, 1, &insn) : 0;
    std::string text;
    size_t size = unit;
    if (n == 1) {
        size = insn->size;
        text = insn->mnemonic;
        if (insn->op_str[0]) text += std::string(" ") + insn->op_str;
    } else {
        char buf[32];
        uint32_t v = 0;
        for (size_t i = 0; i < unit && i < available; ++i) v |= uint32_t(code[i]) << (8 * i);
        std::snprintf(buf, sizeof buf, thumb ? ".hword 0x%04x" : ".word 0x%08x", v);
        text = buf;
    }
    if (insn) cs_free(insn, n);
    if (length) *length = size;
    return text;
}

size_t InsnTrace::instruction(board::Picos t, uint32_t pc, const uint8_t *code, size_t available, bool thumb)
{
    size_t size;
    std::string text = disassemble(pc, code, available, thumb, &size);
    char encoding[24];
    auto word = [&](size_t from, size_t n) {
        uint32_t v = 0;
        for (size_t i = 0; i < n && from + i < available; ++i) v |= uint32_t(code[from + i]) << (8 * i);
        return v;
    };
    if (!thumb) {
        std::snprintf(encoding, sizeof encoding, "%08x", word(0, 4));
    } else if (size == 4) {
        std::snprintf(encoding, sizeof encoding, "%04x %04x", word(0, 2), word(2, 2));
    } else {
        std::snprintf(encoding, sizeof encoding, "%04x", word(0, 2));
    }
    char buf[200];
    std::snprintf(buf, sizeof buf, "%s insn %08x %-12s %s\n", format_time(t).c_str(), pc, encoding, text.c_str());
    out_ << buf;
    return size;
}

}  // namespace simtools
