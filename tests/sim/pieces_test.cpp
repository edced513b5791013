// The simulator's own pieces: the screen notation, durations, the keys on
// the nets, and the flash file's keeping rules.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "board/board.h"
#include "sim/machine/duration.h"
#include "sim/machine/flash_file.h"
#include "sim/scenario/junit.h"
#include "sim/machine/screen_text.h"
#include "sim/machine/session.h"

namespace pieces_test {

namespace {

TEST(ScreenText, GlyphsAndRomSymbolsRoundTrip)
{
    std::string codes = std::string("A\x01\x02 ") + '\x5C' + '\x7E' + '\x00';
    codes += '\xB1';   // half-width katakana A
    std::string text = sim::codes_text(codes);
    EXPECT_EQ(text, "A①② ¥→⓪ｱ");
    EXPECT_EQ(sim::text_codes(text), codes);
    EXPECT_EQ(sim::codes_text("\x09"), "①") << "codes 8..15 mirror the glyphs";
    EXPECT_EQ(sim::text_codes(std::string("\x01", 1)), std::string("\x01", 1)) << "raw control codes are taken as glyph codes";
    EXPECT_FALSE(sim::text_codes("€")) << "no such character in the ROM";
    EXPECT_FALSE(sim::text_codes("\\")) << "0x5C is a yen sign on this display";
}

TEST(Duration, UnitsAreRequiredAndExact)
{
    EXPECT_EQ(sim::parse_duration("3s"), 3 * board::kPicosPerSecond);
    EXPECT_EQ(sim::parse_duration("250ms"), 250 * board::kPicosPerMs);
    EXPECT_EQ(sim::parse_duration("1.5us"), 1500 * board::kPicosPerNs);
    EXPECT_EQ(sim::parse_duration("0.000001s"), board::kPicosPerUs);
    for (const char *bad : {"", "3", "s", "3 s", "-1s", "3min", "1e3ms", "999999999s"})
        EXPECT_FALSE(sim::parse_duration(bad)) << bad;
}

TEST(Duration, TheOneDayLimitIsNamedAsSuch)
{
    std::string why;
    EXPECT_TRUE(sim::parse_duration("86400s", &why));
    EXPECT_FALSE(sim::parse_duration("86401s", &why));
    EXPECT_NE(why.find("longer than one day"), std::string::npos) << why;
    EXPECT_FALSE(sim::parse_duration("86400000000001us", &why));
    EXPECT_NE(why.find("longer than one day"), std::string::npos) << why;
    EXPECT_FALSE(sim::parse_duration("3 s", &why));
    EXPECT_NE(why.find("not a duration"), std::string::npos) << why;
}

// A name that is not UTF-8, or holds characters XML 1.0 cannot, must still
// give a well-formed report: each bad byte becomes U+FFFD, good UTF-8 stays.
TEST(Junit, NamesThatXmlCannotHoldAreReplaced)
{
    sim::JunitSuite suite;
    suite.name = std::string("caf\xC3\xA9 \xFF\xFE\x01 \xC0\xAF \xED\xA0\x80 <&>");
    suite.cases.push_back({"1: delay", 0.5, "", "", "interrupted by SIGINT"});
    std::string xml = sim::junit_xml(suite);
    std::string want = "caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD "
                       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD &lt;&amp;&gt;";
    EXPECT_NE(xml.find("name=\"" + want + "\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("errors=\"1\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<error message=\"interrupted by SIGINT\"/>"), std::string::npos) << xml;
}

struct FlashFileTest : ::testing::Test {
    // One folder per test and process: ctest runs the cases side by side.
    std::string dir = testing::TempDir() + "/flashfile-" +
                      testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + std::to_string(getpid());
    void SetUp() override { std::filesystem::remove_all(dir); std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    ino_t inode(const std::string &p)
    {
        struct stat st;
        return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
    }
};

TEST_F(FlashFileTest, MissingIsCreatedErasedAtSaveOtherSizesRefused)
{
    std::string error;
    auto f = sim::FlashFile::open(dir + "/new.bin", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->contents(), std::vector<uint8_t>(sim::FlashFile::kSize, 0xFF));
    EXPECT_FALSE(std::filesystem::exists(dir + "/new.bin")) << "not before the run has ended";
    ASSERT_TRUE(f->save_if_changed(f->contents(), error)) << error;
    EXPECT_EQ(std::filesystem::file_size(dir + "/new.bin"), sim::FlashFile::kSize);

    std::ofstream(dir + "/small.bin") << "abc";
    EXPECT_FALSE(sim::FlashFile::open(dir + "/small.bin", error));
    EXPECT_NE(error.find("is 3 bytes"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(dir + "/small.bin"), 3u) << "a refused file is left alone";
    EXPECT_FALSE(sim::FlashFile::open(dir, error)) << "a directory";
}

TEST_F(FlashFileTest, SavedOnlyWhenChangedAndByRename)
{
    std::string path = dir + "/f.bin", error;
    auto f = sim::FlashFile::open(path, error);
    ASSERT_TRUE(f);
    std::vector<uint8_t> now = f->contents();
    ASSERT_TRUE(f->save_if_changed(now, error));
    ino_t first = inode(path);
    ASSERT_TRUE(f->save_if_changed(now, error));
    EXPECT_EQ(inode(path), first) << "unchanged contents: not rewritten";
    now[12345] = 0x5A;
    ASSERT_TRUE(f->save_if_changed(now, error)) << error;
    EXPECT_NE(inode(path), first) << "a new file renamed over the old one";
    auto again = sim::FlashFile::open(path, error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->contents()[12345], 0x5A);
    int files = 0;
    for (auto &e : std::filesystem::directory_iterator(dir))
        files += e.is_regular_file();
    EXPECT_EQ(files, 1) << "no temporary file left";
}

TEST_F(FlashFileTest, MissingDirectoryIsRefusedWhenOpened)
{
    std::string error;
    EXPECT_FALSE(sim::FlashFile::open(dir + "/no/such/dir/f.bin", error));
    EXPECT_NE(error.find("f.bin: cannot write"), std::string::npos) << error;
}

}  // namespace

TEST(ChipFlashFile, LockGpnvmAndSecurityBitsSurviveBesideTheRawArray)
{
    const std::string path = testing::TempDir() + "/nvm_chip.bin";
    std::remove(path.c_str());
    std::remove(sim::nvm_bits_path(path).c_str());
    sim::SessionOptions o;
    o.chip_flash_file = path;
    std::string error;
    {
        auto s = sim::Session::open(o, error);
        ASSERT_TRUE(s) << error;
        EXPECT_EQ(s->board.chip_flash.lock_bits(), 0u) << "no bits file: nothing locked";
        s->board.chip_flash.set_lock_bits(0x8001);
        s->board.chip_flash.set_gpnvm(2);
        s->board.chip_flash.set_security(true);
        ASSERT_TRUE(s->save_flash(error)) << error;
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 256 * 1024) << "the flash file stays the raw array";
    auto s = sim::Session::open(o, error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->board.chip_flash.lock_bits(), 0x8001u);
    EXPECT_EQ(s->board.chip_flash.gpnvm(), 2u);
    EXPECT_TRUE(s->board.chip_flash.security());
}

}  // namespace pieces_test
