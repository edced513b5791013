// Display pictures: dots drawn from the character patterns and CGRAM, the
// PNG files, and the comparison that names the differing cells.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "sim/tools/charset.h"
#include "sim/tools/display_picture.h"

namespace picture_test {

namespace {

using namespace simtools;
using L = PictureLayout;

// The board's two heart glyphs as the firmware stores them (bit 7 set in every row).
constexpr uint8_t kLargeHeart[8] = {0x8A, 0x9F, 0x9F, 0x9F, 0x9F, 0x8E, 0x84, 0x80};
constexpr uint8_t kSmallHeart[8] = {0x80, 0x8A, 0x9F, 0x9F, 0x8E, 0x84, 0x80, 0x80};

bool dot_lit(const Image &im, int row, int col, int r, int d)
{
    unsigned x = L::cell_x(col) + d * (L::kDot + L::kDotGap) + L::kDot / 2;
    unsigned y = L::cell_y(row) + r * (L::kDot + L::kDotGap) + L::kDot / 2;
    const uint8_t *p = &im.rgb[(size_t(y) * im.width + x) * 3];
    return p[0] + p[1] + p[2] < 3 * 0x60;   // dark on the light glass
}

GlyphRows cell_rows(const Image &im, int row, int col)
{
    GlyphRows rows{};
    for (int r = 0; r < 8; ++r)
        for (int d = 0; d < 5; ++d) rows[r] = static_cast<uint8_t>(rows[r] | dot_lit(im, row, col, r, d) << (4 - d));
    return rows;
}

void put(DisplayState &s, int row, int col, const char *text)
{
    for (size_t i = 0; text[i]; ++i) s.codes[row][col + i] = static_cast<uint8_t>(text[i]);
}

// The board's status screen after a few passes.
DisplayState status_screen()
{
    DisplayState s;
    std::memset(s.codes, ' ', sizeof s.codes);
    std::memcpy(&s.cgram[8], kLargeHeart, 8);
    std::memcpy(&s.cgram[16], kSmallHeart, 8);
    put(s, 0, 0, "ARM direct SPI");
    s.codes[0][15] = 1;
    put(s, 1, 0, "STATUS:0000002A");
    put(s, 2, 0, "ADR:05=A5");
    put(s, 3, 0, "INFO:00FFF8E0.");
    s.led = true;
    return s;
}

TEST(CharacterPatterns, RomStyleShapes)
{
    std::set<GlyphRows> seen;
    for (int code = 0x20; code < 0x80; ++code) {
        GlyphRows rows;
        ASSERT_TRUE(rom_glyph(static_cast<uint8_t>(code), rows));
        EXPECT_EQ(rows[7], 0) << "the eighth row belongs to the cursor, code " << code;
        EXPECT_TRUE(seen.insert(rows).second) << "two codes share a pattern, code " << code;
    }
    GlyphRows yen, right, left, blank;
    rom_glyph(0x5C, yen);
    rom_glyph(0x7E, right);
    rom_glyph(0x7F, left);
    // The yen sign is symmetric (a backslash is not); the arrows mirror each other.
    for (int r = 0; r < 7; ++r) {
        uint8_t mirrored = 0;
        for (int b = 0; b < 5; ++b) mirrored = static_cast<uint8_t>(mirrored | ((yen[r] >> b) & 1) << (4 - b));
        EXPECT_EQ(mirrored, yen[r]);
        mirrored = 0;
        for (int b = 0; b < 5; ++b) mirrored = static_cast<uint8_t>(mirrored | ((right[r] >> b) & 1) << (4 - b));
        EXPECT_EQ(mirrored, left[r]);
    }
    EXPECT_EQ(right[3], 0x1F) << "an arrow's shaft is a full row";
    EXPECT_TRUE(rom_glyph(0x10, blank) && rom_glyph(0x9F, blank) && blank == GlyphRows{});
    EXPECT_FALSE(rom_glyph(0x07, blank)) << "codes below 0x10 come from CGRAM";
    EXPECT_FALSE(rom_glyph(0xB1, blank));
}

TEST(DisplayPicture, CellsShowPatternsAndTheHeartGlyphs)
{
    DisplayState s = status_screen();
    s.codes[0][16] = 2;
    s.codes[0][17] = 0x0A;   // mirror of glyph 2
    Image im = render_display(s);
    ASSERT_EQ(im.width, L::kWidth);
    ASSERT_EQ(im.rgb.size(), size_t(im.width) * im.height * 3);

    for (int r = 0; r < 8; ++r) {
        EXPECT_EQ(cell_rows(im, 0, 15)[r], kLargeHeart[r] & 0x1F) << "large heart, row " << r;
        EXPECT_EQ(cell_rows(im, 0, 16)[r], kSmallHeart[r] & 0x1F) << "small heart, row " << r;
    }
    EXPECT_EQ(cell_rows(im, 0, 17), cell_rows(im, 0, 16));
    GlyphRows a;
    rom_glyph('A', a);
    EXPECT_EQ(cell_rows(im, 0, 0), a);
    EXPECT_EQ(cell_rows(im, 3, 19), GlyphRows{}) << "a space is blank";

    // Display off: nothing lit, though the memory still holds the text.
    s.display_on = false;
    Image off = render_display(s);
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 20; ++col) EXPECT_EQ(cell_rows(off, row, col), GlyphRows{});

    s.display_on = true;
    s.cursor_on = true;
    s.cursor_row = 3;
    s.cursor_col = 19;
    EXPECT_EQ(cell_rows(render_display(s), 3, 19)[7], 0x1F) << "the cursor underlines its cell";
}

TEST(DisplayPicture, KnownScreenMatchesTheReferencePicture)
{
    std::string reference = std::string(SOURCE_DIR) + "/tests/tools/data/status_screen.png";
    Image ref, im = render_display(status_screen());
    std::string error;
    ASSERT_TRUE(read_png(reference, ref, error)) << error;
    PictureDifference d = compare_pictures(im, ref);
    EXPECT_FALSE(d.any()) << d.describe();
}

TEST(DisplayPicture, ComparisonNamesTheCellsThatDiffer)
{
    DisplayState s = status_screen();
    Image ref = render_display(s);
    put(s, 1, 13, "2B");
    s.codes[0][15] = 2;
    EXPECT_EQ(compare_pictures(render_display(s), ref).describe(), "row 0 col 15, row 1 col 14");
    s.led = false;
    EXPECT_EQ(compare_pictures(render_display(s), ref).describe(), "row 0 col 15, row 1 col 14; LED");
    Image small = ref;
    small.height -= 1;
    small.rgb.erase(small.rgb.end() - small.width * 3, small.rgb.end());
    EXPECT_TRUE(compare_pictures(small, ref).size_differs);
    EXPECT_FALSE(compare_pictures(ref, ref).any());
}

TEST(PngFiles, RoundTripAndRefusals)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("picture_test_" + std::to_string(getpid()));
    fs::create_directories(dir);
    Image im = render_display(status_screen()), back;
    std::string error;
    ASSERT_TRUE(write_png((dir / "a.png").string(), im, error)) << error;
    ASSERT_TRUE(read_png((dir / "a.png").string(), back, error)) << error;
    EXPECT_TRUE(back == im);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1) << "no temporary left behind";

    std::ofstream(dir / "text.png") << "not a picture";
    EXPECT_FALSE(read_png((dir / "text.png").string(), back, error));
    EXPECT_NE(error.find("not a PNG file"), std::string::npos) << error;
    // A PNG cut short is refused, not half read.
    std::string bytes;
    {
        std::ifstream in(dir / "a.png", std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream(dir / "cut.png", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    EXPECT_FALSE(read_png((dir / "cut.png").string(), back, error));
    EXPECT_FALSE(read_png((dir / "missing.png").string(), back, error));
    EXPECT_FALSE(write_png((dir / "no/such/dir.png").string(), im, error));
    EXPECT_FALSE(write_png((dir / "empty.png").string(), Image{}, error));
    EXPECT_FALSE(fs::exists(dir / "empty.png"));
    fs::remove_all(dir);
}

}  // namespace

}  // namespace picture_test
