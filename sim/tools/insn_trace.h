// The instruction trace: each executed instruction disassembled (Capstone),
//   0.000001234 insn 00100148 e59f0010     ldr r0, [pc, #0x10]
//   0.000001300 insn 00100290 4b02         ldr r3, [pc, #8]
// A Thumb BL pair prints as one instruction of four bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "board/clock.h"

namespace simtools {

class InsnTrace {
public:
    explicit InsnTrace(std::ostream &out);
    ~InsnTrace();
    InsnTrace(const InsnTrace &) = delete;
    InsnTrace &operator=(const InsnTrace &) = delete;

    // `code` holds the bytes at pc (at least 4 where memory has them); returns
    // the length of the instruction, so a caller can walk a block with it.
    size_t instruction(board::Picos t, uint32_t pc, const uint8_t *code, size_t available, bool thumb);

    // Disassembly alone, for views and messages: "ldr r3, [pc, #8]", or
    // ".word 0x..." / ".hword 0x..." where Capstone knows no instruction.
    std::string disassemble(uint32_t pc, const uint8_t *code, size_t available, bool thumb, size_t *length = nullptr);

private:
    std::ostream &out_;
    size_t arm_ = 0, thumb_ = 0;   // Capstone handles
};

}  // namespace simtools
