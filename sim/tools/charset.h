// The display controller's built-in 5x8 character patterns for codes
// 0x20..0x7F, in the style of its standard (Japanese) ROM: ASCII shapes, a
// yen sign at 0x5C, right and left arrows at 0x7E and 0x7F. Codes 0x10..0x1F
// and 0x80..0x9F have no pattern in that ROM and show blank; the katakana and
// symbols from 0xA0 are not drawn here (glyph_for reports them as unknown).
#pragma once

#include <array>
#include <cstdint>

namespace simtools {

// Eight rows, top first; bit 4 is the leftmost dot. The eighth row is the
// cursor's and is always empty in the ROM patterns.
using GlyphRows = std::array<uint8_t, 8>;

// The ROM pattern of `code`; false for codes 0x00..0x0F (those show CGRAM)
// and for 0xA0..0xFF.
bool rom_glyph(uint8_t code, GlyphRows &rows);

}  // namespace simtools
