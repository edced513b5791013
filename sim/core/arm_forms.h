// The common ARM forms beyond data processing and LDR/STR, and the Thumb
// block transfers (see arm_transfer_forms.cpp): each fills the fields of `d` and sets its
// handler when the encoding is one it takes. Private to sim/core.
#pragma once

#include "sim/core/cpu.h"

namespace sim::core {

bool halfword_form(Decoded &d);

// Which of the common forms of data processing and LDR/STR(B) a handler
// runs, for host code that does the same (arm_predecoded.cpp). Decoded::bits
// of data processing: ArmForm::kRotated.
struct ArmForm {
    enum Kind : uint8_t { kNone, kDataProcessing, kTransfer };
    enum Operand : uint8_t { kImmediate, kRegister, kShifted };
    static constexpr uint8_t kRotated = 1;
    Kind kind = kNone;
    uint8_t operand = kImmediate;
    uint8_t op = 0;   // data processing opcode
    bool s = false;
    bool load = false, byte = false, pre = false, up = false, write_back = false;
};
ArmForm arm_form_of(Handler h);
bool block_form(Decoded &d);
bool multiply_form(Decoded &d);
// PUSH, POP, LDMIA and STMIA in Thumb state.
bool thumb_block_form(Decoded &d);

}  // namespace sim::core
