// Compare-and-branch pairs (Thumb). A compare that only sets the flags, directly
// followed by a conditional branch in the same granule of the decoded-code
// cache (forgotten as a whole when code is written, and with it the last
// instructions of the granule before and a compare paired with the first
// of them: the two entries stay or go together), is paired with it when
// its straight run is found: the compare's entry then runs the branch
// too, as an instruction of its own, wherever the run loop would go
// straight on from the one to the other. Elsewhere (a single step, a tool,
// an interrupt, the cycle limit reached) the branch runs from its own
// entry afterwards. A paired compare ends its straight run, so the run
// loop never runs the branch's entry after it.
// The two halves of a BL in one granule pair the same way: the first
// half's entry then holds the whole offset and runs the second half where
// it would go on to it from its own entry anyway. It ends its run by
// itself, counting the second half's fetch among its accesses, and so is
// not marked `paired`. Until the second half is decoded, a run ending
// with the first half is found anew each time. Private to sim/core.
#pragma once

#include "sim/core/cpu.h"

namespace sim::core {

// Pairs `compare` with `next`, the entry after it in the same granule,
// where the one is a compare that only sets flags and the other a
// conditional branch, or they are the halves of a BL: true when it did.
bool pair_thumb(Decoded &compare, const Decoded &next);
// The first half of a BL, which pairs with the entry after it once that
// is decoded.
inline bool bl_first_half(uint32_t raw) { return (raw & 0xF800) == 0xF000; }
// Whether a handler is that of a compare paired with its branch, or of
// both halves of a BL (for host code that does the same).
bool paired_compare(Handler h);
bool paired_bl(Handler h);

// After a paired compare: whether the run loop would now run the next
// instruction without looking at anything else. It looks only where the
// cycles have reached run_until, which is 0 while anything wants attention,
// a tool watches or a single step is made: the other reason to look, a
// run ended early (Cpu::end_run), takes it back to the next instruction
// all the same, and nothing between the two instructions can change that.
[[gnu::always_inline]] inline bool pair_goes_on(const Cpu &c) { return c.cycles < c.run_until; }

}  // namespace sim::core
