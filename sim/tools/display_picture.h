// A picture of the board's display and LED as a person sees them: the 20x4
// character display as a dot matrix of 5x8 cells with the gaps between them,
// in a yellow-green display's colours, and the LED to its right.
//
// Codes 0x00..0x0F draw the CGRAM glyphs (0x08..0x0F mirror 0x00..0x07),
// 0x20..0x7F the ROM patterns (charset.h), codes without a pattern stay
// blank, and 0xA0..0xFF, whose katakana are not drawn, show a hollow box.
// The cursor, when on, lights the eighth row of its cell; blinking is not
// drawn (a picture has no time).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simtools {

struct DisplayState {
    uint8_t codes[4][20] = {};   // what each position shows, rows top to bottom
    uint8_t cgram[64] = {};      // eight glyphs of eight rows, low five bits used
    bool display_on = true;
    bool cursor_on = false;
    int cursor_row = 0, cursor_col = 0;
    bool led = false;
};

struct Image {
    unsigned width = 0, height = 0;
    std::vector<uint8_t> rgb;   // width * height * 3, rows top to bottom
    bool operator==(const Image &) const = default;
};

// Where things are in the picture, for drawing and for naming differences.
struct PictureLayout {
    static constexpr unsigned kDot = 4, kDotGap = 1;                   // pixels
    static constexpr unsigned kCellW = 5 * kDot + 4 * kDotGap;         // 24
    static constexpr unsigned kCellH = 8 * kDot + 7 * kDotGap;         // 39
    static constexpr unsigned kCellGapX = 5, kCellGapY = 7;
    static constexpr unsigned kBezel = 12, kGlassPad = 10;
    static constexpr unsigned kGlassX = kBezel, kGlassY = kBezel;
    static constexpr unsigned kCellsX = kGlassX + kGlassPad, kCellsY = kGlassY + kGlassPad;
    static constexpr unsigned kGlassW = 2 * kGlassPad + 20 * kCellW + 19 * kCellGapX;
    static constexpr unsigned kGlassH = 2 * kGlassPad + 4 * kCellH + 3 * kCellGapY;
    static constexpr unsigned kLedR = 11;
    static constexpr unsigned kLedCX = kGlassX + kGlassW + kBezel + 4 + kLedR, kLedCY = kGlassY + kGlassH / 2;
    static constexpr unsigned kWidth = kLedCX + kLedR + kBezel + 4;
    static constexpr unsigned kHeight = kGlassY + kGlassH + kBezel;

    static unsigned cell_x(int col) { return kCellsX + col * (kCellW + kCellGapX); }
    static unsigned cell_y(int row) { return kCellsY + row * (kCellH + kCellGapY); }
    // The cell whose area (with the gap to its right and below) holds the
    // pixel; false outside the matrix.
    static bool cell_at(unsigned x, unsigned y, int &row, int &col);
    static bool in_led(unsigned x, unsigned y);
};

Image render_display(const DisplayState &state);

// Writes a PNG through a temporary file renamed over `path`, so that a failed
// or interrupted write never leaves a half-written picture.
bool write_png(const std::string &path, const Image &image, std::string &error);
bool read_png(const std::string &path, Image &image, std::string &error);

// What differs between a picture and a reference: the cells, the LED,
// anything else, or the size. describe() gives "row 1 col 7, row 1 col 8; LED".
struct PictureDifference {
    bool size_differs = false;
    std::vector<std::pair<int, int>> cells;   // (row, col), in reading order
    bool led = false;
    bool elsewhere = false;
    bool any() const { return size_differs || !cells.empty() || led || elsewhere; }
    std::string describe() const;
};

PictureDifference compare_pictures(const Image &picture, const Image &reference);

}  // namespace simtools
