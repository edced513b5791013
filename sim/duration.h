// Durations in virtual time as people write them: "3s", "250ms", "40us",
// "500ns", "1.5s". A bare number is refused: the unit must be given.
#pragma once

#include <optional>
#include <string>

#include "board/clock.h"

namespace sim {

std::optional<board::Picos> parse_duration(const std::string &text);
// "1.250000 s" style, for reports.
std::string format_time(board::Picos t);

}  // namespace sim
