// Durations in virtual time as people write them: "3s", "250ms", "40us",
// "500ns", "1.5s". A bare number is refused: the unit must be given. At most
// one day. On bad text, `why` (if given) says what is wrong, as a phrase
// that follows the text: "is not a duration (...)".
#pragma once

#include <optional>
#include <string>

#include "board/clock.h"

namespace sim {

std::optional<board::Picos> parse_duration(const std::string &text, std::string *why = nullptr);
// "1.250000 s" style, for reports.
std::string format_time(board::Picos t);

}  // namespace sim
