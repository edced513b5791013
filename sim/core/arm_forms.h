// The common ARM forms beyond data processing and LDR/STR, and the Thumb
// block transfers (see arm_transfer_forms.cpp): each fills the fields of `d` and sets its
// handler when the encoding is one it takes. Private to sim/core.
#pragma once

#include "sim/core/cpu.h"

namespace sim::core {

bool halfword_form(Decoded &d);

// Which of the common forms a handler runs, for host code that does the
// same (arm_predecoded.cpp, arm_transfer_forms.cpp, and the branches of
// arm.cpp). Decoded::bits of data processing: ArmForm::kRotated.
struct ArmForm {
    enum Kind : uint8_t { kNone, kDataProcessing, kTransfer, kHalfword, kBlock, kMultiply, kBranch };
    enum Operand : uint8_t { kImmediate, kRegister, kShifted };
    static constexpr uint8_t kRotated = 1;
    Kind kind = kNone;
    uint8_t operand = kImmediate;
    uint8_t op = 0;   // data processing opcode
    bool s = false;   // data processing, multiplies: the flags set
    // Transfers; for block transfers `pre` is "before".
    bool load = false, byte = false, pre = false, up = false, write_back = false;
    bool sign = false;         // halfword forms: LDRSB (with `byte`), LDRSH
    bool accumulate = false;   // MLA
    bool link = false;         // BL
    uint8_t cond = 0xE;        // a branch's, which it tests itself
};
ArmForm arm_form_of(Handler h);
// The same for the forms of arm_transfer_forms.cpp and for the branches.
ArmForm transfer_form_of(Handler h);
ArmForm branch_form_of(Handler h);
bool block_form(Decoded &d);
bool multiply_form(Decoded &d);
// PUSH, POP, LDMIA and STMIA in Thumb state.
bool thumb_block_form(Decoded &d);
// Whether `h` is the handler thumb_block_form gives them.
bool thumb_block_handler(Handler h);

}  // namespace sim::core
