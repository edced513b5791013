#include "sim/tools/display_picture.h"

#include <set>

#include "sim/tools/charset.h"

namespace simtools {

namespace {

using L = PictureLayout;

struct Rgb {
    uint8_t r, g, b;
};
constexpr Rgb kBezel{0x1c, 0x22, 0x1e};
constexpr Rgb kGlass{0x9e, 0xc2, 0x3a};
constexpr Rgb kDotOff{0x90, 0xb5, 0x33};
constexpr Rgb kDotOn{0x1f, 0x2e, 0x16};
constexpr Rgb kLedOn{0xff, 0x30, 0x1c};
constexpr Rgb kLedOff{0x4a, 0x14, 0x10};
constexpr Rgb kLedRim{0x70, 0x70, 0x70};

// Hollow box for codes whose ROM pattern is not drawn here.
constexpr GlyphRows kUnknown{0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F, 0x00};

void fill(Image &im, unsigned x0, unsigned y0, unsigned w, unsigned h, Rgb c)
{
    for (unsigned y = y0; y < y0 + h; ++y)
        for (unsigned x = x0; x < x0 + w; ++x) {
            uint8_t *p = &im.rgb[(y * im.width + x) * 3];
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
}

GlyphRows glyph_for(const DisplayState &s, uint8_t code)
{
    GlyphRows rows{};
    if (code < 0x10) {
        for (int r = 0; r < 8; ++r) rows[r] = s.cgram[(code & 7) * 8 + r] & 0x1F;
        return rows;
    }
    return rom_glyph(code, rows) ? rows : kUnknown;
}

}  // namespace

bool PictureLayout::cell_at(unsigned x, unsigned y, int &row, int &col)
{
    if (x < kCellsX || y < kCellsY) return false;
    unsigned cx = (x - kCellsX) / (kCellW + kCellGapX);
    unsigned cy = (y - kCellsY) / (kCellH + kCellGapY);
    if (cx >= 20 || cy >= 4) return false;
    row = static_cast<int>(cy);
    col = static_cast<int>(cx);
    return true;
}

bool PictureLayout::in_led(unsigned x, unsigned y)
{
    return x + kLedR + 2 >= kLedCX && x <= kLedCX + kLedR + 2 && y + kLedR + 2 >= kLedCY && y <= kLedCY + kLedR + 2;
}

Image render_display(const DisplayState &s)
{
    Image im;
    im.width = L::kWidth;
    im.height = L::kHeight;
    im.rgb.resize(size_t(im.width) * im.height * 3);
    fill(im, 0, 0, im.width, im.height, kBezel);
    fill(im, L::kGlassX, L::kGlassY, L::kGlassW, L::kGlassH, kGlass);
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 20; ++col) {
            GlyphRows rows = glyph_for(s, s.codes[row][col]);
            if (s.cursor_on && s.cursor_row == row && s.cursor_col == col) rows[7] = 0x1F;
            for (int r = 0; r < 8; ++r)
                for (int d = 0; d < 5; ++d) {
                    bool lit = s.display_on && ((rows[r] >> (4 - d)) & 1u);
                    fill(im, L::cell_x(col) + d * (L::kDot + L::kDotGap), L::cell_y(row) + r * (L::kDot + L::kDotGap),
                         L::kDot, L::kDot, lit ? kDotOn : kDotOff);
                }
        }
    // The LED: a disc with a grey rim.
    int r2 = int(L::kLedR) * int(L::kLedR);
    for (int dy = -int(L::kLedR) - 2; dy <= int(L::kLedR) + 2; ++dy)
        for (int dx = -int(L::kLedR) - 2; dx <= int(L::kLedR) + 2; ++dx) {
            int d2 = dx * dx + dy * dy;
            if (d2 > (int(L::kLedR) + 2) * (int(L::kLedR) + 2)) continue;
            fill(im, L::kLedCX + dx, L::kLedCY + dy, 1, 1, d2 > r2 ? kLedRim : s.led ? kLedOn : kLedOff);
        }
    return im;
}

std::string PictureDifference::describe() const
{
    if (size_differs) return "picture size differs from the reference";
    std::string out;
    for (auto [row, col] : cells) {
        if (!out.empty()) out += ", ";
        out += "row " + std::to_string(row) + " col " + std::to_string(col);
    }
    if (led) out += std::string(out.empty() ? "" : "; ") + "LED";
    if (elsewhere) out += std::string(out.empty() ? "" : "; ") + "outside the cells";
    return out.empty() ? "no difference" : out;
}

PictureDifference compare_pictures(const Image &picture, const Image &reference)
{
    PictureDifference diff;
    if (picture.width != reference.width || picture.height != reference.height ||
        picture.rgb.size() != reference.rgb.size()) {
        diff.size_differs = true;
        return diff;
    }
    std::set<std::pair<int, int>> cells;
    for (unsigned y = 0; y < picture.height; ++y)
        for (unsigned x = 0; x < picture.width; ++x) {
            size_t i = (size_t(y) * picture.width + x) * 3;
            if (picture.rgb[i] == reference.rgb[i] && picture.rgb[i + 1] == reference.rgb[i + 1] &&
                picture.rgb[i + 2] == reference.rgb[i + 2])
                continue;
            int row, col;
            if (L::cell_at(x, y, row, col))
                cells.insert({row, col});
            else if (L::in_led(x, y))
                diff.led = true;
            else
                diff.elsewhere = true;
        }
    diff.cells.assign(cells.begin(), cells.end());
    return diff;
}

}  // namespace simtools
