// The board in a terminal (ncurses): the 20x4 display as the board shows it
// (user glyphs as circled digits in the text, and drawn as 5x8 dot matrices
// below), the LED, the keys with their bindings, virtual time and speed.
// It runs in real time (virtual time follows the wall clock) or, with
// `fast`, as fast as the host allows.
//
// Keys: i, d, c click KEY_INC, KEY_DEC, KEY_CLR (pressed for 100 ms of
// virtual time); I, D, C hold or let go; p saves a picture of the display
// and LED (boardsim-N.png, the first free N); f toggles fast; r resets the
// board; q quits. A terminal reports no key releases, hence clicks and holds.
#pragma once

#include <string>

namespace sim {

class Session;

struct ViewOptions {
    bool fast = false;
    std::string image;
};

int run_terminal_view(Session &session, const ViewOptions &options);

}  // namespace sim
