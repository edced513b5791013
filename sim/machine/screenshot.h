// Pictures of the simulated board's display and LED (sim/tools/display_picture.h):
// taken at the end of a run, by a scenario step, or from the terminal view,
// and compared with a reference picture.
#pragma once

#include <string>

#include "board/hd44780.h"
#include "sim/tools/display_picture.h"

namespace sim {

class Session;

// What the display shows now, and the LED.
simtools::DisplayState display_state(const board::Hd44780 &lcd, bool led);

bool save_screenshot(const Session &session, const std::string &path, std::string &error);

// True when the picture now matches the reference. Otherwise `report` says
// why: the differing cells ("row 1 col 14, ..."), or a reference that cannot
// be read.
bool matches_screenshot(const Session &session, const std::string &reference, std::string &report);

}  // namespace sim
