#include "board/board.h"

namespace board {

Board::Board()
{
    bus.map(kPioaBase, 0x200, pioa, "PIOA");
}

void Board::reset()
{
    clock.reset();
    bus.reset_devices();
}

}  // namespace board
