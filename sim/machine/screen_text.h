// The display's character codes as text, and text as character codes.
//
// Notation (UTF-8): the user glyphs, codes 0..7 and their mirrors 8..15, as
// the circled digits ⓪ ① ② ③ ④ ⑤ ⑥ ⑦ (one column each, so a row stays 20
// columns wide); the ROM's 0x5C as ¥, 0x7E as → and 0x7F as ←; the
// half-width katakana 0xA1..0xDF as their Unicode forms; codes the ROM has
// no pattern for (0x10..0x1F, 0x80..0xA0) as a space; other symbols of the
// ROM (0xE0..0xFF) as ▒.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

std::string code_text(uint8_t code);
std::string codes_text(const std::string &codes);

// Text written in the notation above (and plain control bytes 0..15 as the
// codes themselves) back to character codes; nullopt for a character the
// display cannot show.
std::optional<std::string> text_codes(const std::string &text);

}  // namespace sim
