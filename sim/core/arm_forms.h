// The common ARM forms beyond data processing and LDR/STR, and the Thumb
// block transfers (see arm_transfer_forms.cpp): each fills the fields of `d` and sets its
// handler when the encoding is one it takes. Private to sim/core.
#pragma once

#include "sim/core/cpu.h"

namespace sim::core {

bool halfword_form(Decoded &d);
bool block_form(Decoded &d);
bool multiply_form(Decoded &d);
// PUSH, POP, LDMIA and STMIA in Thumb state.
bool thumb_block_form(Decoded &d);

}  // namespace sim::core
