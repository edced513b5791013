#include "sim/machine/input_log.h"

#include <iterator>

#include "board/keys.h"

namespace sim {

void InputEvent::save(board::StateWriter &w) const
{
    w.u8(static_cast<uint8_t>(kind));
    w.u64(cycle);
    w.u64(instructions);
    w.u64(time);
    w.u32(which);
    w.u64(value);
    w.text(bytes);
}

InputEvent InputEvent::load(board::StateReader &r)
{
    InputEvent e;
    uint8_t kind = r.u8();
    if (kind == 0 || kind > kLastKind)
        r.fail("an input of unknown kind " + std::to_string(kind));
    e.kind = static_cast<Kind>(kind);
    e.cycle = r.u64();
    e.instructions = r.u64();
    e.time = r.u64();
    e.which = r.u32();
    e.value = r.u64();
    e.bytes = r.text();
    bool key = e.kind == Kind::Press || e.kind == Kind::Release;
    if ((key && e.which >= std::size(board::Keys::kKeys)) || (e.kind == Kind::Register && e.which > 16))
        r.fail("an input for key or register " + std::to_string(e.which) + ", which the board does not have");
    return e;
}

}  // namespace sim
