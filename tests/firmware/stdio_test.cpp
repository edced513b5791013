// Number and string formatting, compiled for the host.
//
// Every call writes into the middle of a buffer filled with a guard byte, so
// that a store before the field, past the field or past the terminator shows
// up as a changed guard.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <string>
#include <vector>

#include "firmware/stdio.h"

namespace {

constexpr char kGuard = '\x5A';
constexpr size_t kLead = 8;  // guard bytes before the writing position

struct Buffer {
    std::vector<char> bytes = std::vector<char>(kLead + 512, kGuard);
    char *at() { return bytes.data() + kLead; }

    // The bytes from the writing position on must be `expected`, and every
    // other byte must still be the guard.
    ::testing::AssertionResult Holds(const std::string &expected) const
    {
        for (size_t i = 0; i < bytes.size(); i++) {
            bool inside = i >= kLead && i < kLead + expected.size();
            char want = inside ? expected[i - kLead] : kGuard;
            if (bytes[i] != want) {
                return ::testing::AssertionFailure()
                       << "byte " << static_cast<long>(i) - static_cast<long>(kLead) << " is 0x"
                       << std::hex << (bytes[i] & 0xFF) << ", expected 0x" << (want & 0xFF)
                       << " (text '" << std::string(bytes.data() + kLead, expected.size()) << "')";
            }
        }
        return ::testing::AssertionSuccess();
    }
};

// ---- put routines ----

struct FieldCase {
    char fill;
    int width;
    long long value;  // holds any int and any unsigned int
    const char *field;
};

TEST(PutRoutines, UnsignedFields)
{
    const FieldCase cases[] = {
        {' ', 0, 0, "0"},
        {' ', 3, 7, "  7"},
        {'0', 3, 12345, "12345"},              // width below the digits cuts nothing
        {'0', 5, 12345, "12345"},              // width at the digits
        {'0', 6, 12345, "012345"},             // one above
        {' ', 12, 4294967295LL, "  4294967295"},
        {' ', 0, 4294967295LL, "4294967295"},
        {'*', -7, 42, "42"},
        {'*', INT_MIN, 42, "42"},
        {'0', 10, 1000000000, "1000000000"},
    };
    for (const auto &c : cases) {
        Buffer b;
        int n = PutUnsignedInt(b.at(), c.fill, c.width, static_cast<unsigned int>(c.value));
        EXPECT_EQ(n, static_cast<int>(std::string(c.field).size())) << c.field;
        EXPECT_TRUE(b.Holds(c.field)) << "width " << c.width << " value " << c.value;
    }
}

TEST(PutRoutines, SignedFieldsPutFillBeforeSign)
{
    const FieldCase cases[] = {
        {' ', 0, 0, "0"},
        {' ', 5, -42, "  -42"},
        {'0', 5, -42, "00-42"},
        {'0', 3, -42, "-42"},                  // sign and digits exactly fill the width
        {'0', 2, -42, "-42"},                  // width never cuts the sign
        {' ', 0, -5, "-5"},
        {' ', 4, -10, " -10"},
        {'0', 4, 42, "0042"},
        {' ', 0, INT_MIN, "-2147483648"},
        {'0', 12, INT_MIN, "0-2147483648"},
        {' ', 0, INT_MAX, "2147483647"},
        {' ', -3, -7, "-7"},
        {' ', INT_MIN, -7, "-7"},
        {' ', INT_MIN, INT_MIN, "-2147483648"},
    };
    for (const auto &c : cases) {
        Buffer b;
        int n = PutSignedInt(b.at(), c.fill, c.width, static_cast<int>(c.value));
        EXPECT_EQ(n, static_cast<int>(std::string(c.field).size())) << c.field;
        EXPECT_TRUE(b.Holds(c.field)) << "width " << c.width << " value " << c.value;
    }
}

TEST(PutRoutines, HexadecimalFieldsInBothCases)
{
    struct HexCase {
        char fill;
        int width;
        unsigned char maj;
        unsigned int value;
        const char *field;
    };
    const HexCase cases[] = {
        {'0', 4, 0, 0xAF, "00af"},
        {'0', 4, 1, 0xAF, "00AF"},
        {'0', 2, 1, 0, "00"},
        {'0', 2, 1, 0x1F3, "1F3"},
        {'0', 8, 1, 0xFFFFFFFF, "FFFFFFFF"},
        {'0', 8, 0, 0xFFFFFFFF, "ffffffff"},
        {'0', 8, 1, 0x1234, "00001234"},
        {' ', -3, 1, 5, "5"},
        {' ', INT_MIN, 0, 0xABCDEF01, "abcdef01"},
        {'0', 2, 7, 0x9A, "9A"},               // any nonzero maj means upper case
    };
    for (const auto &c : cases) {
        Buffer b;
        int n = PutHexa(b.at(), c.fill, c.width, c.maj, c.value);
        EXPECT_EQ(n, static_cast<int>(std::string(c.field).size())) << c.field;
        EXPECT_TRUE(b.Holds(c.field)) << "width " << c.width << " value " << c.value;
    }
}

TEST(PutRoutines, CharAndStringWriteOnlyTheirCharacters)
{
    Buffer b;
    EXPECT_EQ(PutString(b.at(), ""), 0);
    EXPECT_TRUE(b.Holds(""));
    EXPECT_EQ(PutString(b.at(), "hello"), 5);
    EXPECT_TRUE(b.Holds("hello")) << "no terminator after the copy";
    Buffer c;
    EXPECT_EQ(PutChar(c.at(), '\0'), 1);
    EXPECT_TRUE(c.Holds(std::string(1, '\0')));
}

// ---- vsnprintf family ----

int Format(Buffer &b, size_t length, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int rc = fw::vsnprintf(b.at(), length, format, ap);
    va_end(ap);
    return rc;
}

int FormatUnbounded(Buffer &b, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    int rc = fw::vsprintf(b.at(), format, ap);
    va_end(ap);
    return rc;
}

std::string Text(const char *s) { return std::string(s) + '\0'; }

TEST(Vsnprintf, OrdinaryCharactersStopAtTheBound)
{
    Buffer a;
    EXPECT_EQ(Format(a, 20, "abc"), 3);
    EXPECT_TRUE(a.Holds(Text("abc")));
    Buffer e;
    EXPECT_EQ(Format(e, 20, ""), 0);
    EXPECT_TRUE(e.Holds(Text("")));
    Buffer s;
    EXPECT_EQ(Format(s, 3, "abcdef"), 2);
    EXPECT_TRUE(s.Holds(Text("ab")));
    Buffer one;
    EXPECT_EQ(Format(one, 1, "xyz%d", 5), 0);
    EXPECT_TRUE(one.Holds(Text("")));
    Buffer pct;
    EXPECT_EQ(Format(pct, 3, "a%%%%"), 2) << "'%%' is one character under the bound";
    EXPECT_TRUE(pct.Holds(Text("a%")));
}

TEST(Vsnprintf, WidthClampAndUncutConversions)
{
    // A field that exactly fills the room loses its last character.
    Buffer a;
    EXPECT_EQ(Format(a, 10, "ab%08X", 0x1234u), 9);
    EXPECT_TRUE(a.Holds(Text("ab0000123")));
    // Fill that takes all the room leaves only fill.
    Buffer b;
    EXPECT_EQ(Format(b, 6, "ab%8u", 7u), 5);
    EXPECT_TRUE(b.Holds(Text("ab   ")));
    // Digits run past the bound; the terminator lands on the last of them.
    Buffer c;
    EXPECT_EQ(Format(c, 4, "%d", 12345), 4);
    EXPECT_TRUE(c.Holds(Text("1234")));
    Buffer d;
    EXPECT_EQ(Format(d, 5, "abcd%c", 'Z'), 4);
    EXPECT_TRUE(d.Holds(Text("abcd")));
    Buffer e;
    EXPECT_EQ(Format(e, 5, "abc%5d", 1), 4);
    EXPECT_TRUE(e.Holds(Text("abc ")));
    // A string started at the last position is written whole.
    Buffer f;
    EXPECT_EQ(Format(f, 3, "ab%sXYZ", "hello"), 6);
    EXPECT_TRUE(f.Holds(Text("abhell")));
    // Nothing starts once the bound is reached.
    Buffer g;
    EXPECT_EQ(Format(g, 4, "%d%d", 1234, 5), 3);
    EXPECT_TRUE(g.Holds(Text("123")));
}

TEST(Vsnprintf, Conversions)
{
    auto check = [](int rc, const Buffer &b, const std::string &expected) {
        EXPECT_EQ(rc, static_cast<int>(expected.size())) << expected;
        EXPECT_TRUE(b.Holds(expected + '\0'));
    };
    Buffer b[13];
    check(Format(b[0], 100, "%%|%c|%s|", 0x41, "hi"), b[0], "%|A|hi|");
    check(Format(b[1], 100, "x=%5d|", -42), b[1], "x=  -42|");
    check(Format(b[2], 100, "x=%05d|", -42), b[2], "x=00-42|");
    check(Format(b[3], 100, "[%5s][%05c]", "ab", 'q'), b[3], "[ab][q]");
    check(Format(b[4], 100, "%00d", 5), b[4], "5");
    check(Format(b[5], 100, "%010x", 255u), b[5], "00000000ff");
    check(Format(b[6], 100, "%10d", 7), b[6], "         7");  // only a leading '0' is the flag
    check(Format(b[7], 100, "%256d", 1), b[7], "1");           // width modulo 256
    check(Format(b[8], 100, "%u|%i|%X", 4294967295u, INT_MIN, 255u), b[8],
          "4294967295|-2147483648|FF");
    check(Format(b[9], 100, "%%%d", 7), b[9], "%7");           // '%%' takes no argument
    check(Format(b[10], 100, "%c", 0x341), b[10], "A");         // low 8 bits
    check(Format(b[11], 100, "%0X", 0u), b[11], "0");
    check(Format(b[12], 300, "%300d", 1), b[12], std::string(43, ' ') + "1");
}

TEST(Vsnprintf, NonConversionsFailAndLeaveWhatWasStored)
{
    struct {
        const char *format;
        std::string left;
    } cases[] = {
        {"ab%q", "ab"},          // no terminator after them
        {"ab%", "ab"},
        {"%-5d", Text("")},      // the empty text stored first
        {"%ld", Text("")},
        {"%5.2d", Text("")},
        {"%+d", Text("")},
        {"%hd", Text("")},
        {"%0", Text("")},
        {"x%5", "x"},
        {"%d%q", "7"},           // after a served conversion
    };
    for (const auto &c : cases) {
        Buffer b;
        EXPECT_EQ(Format(b, 50, c.format, 7, 8), -1) << c.format;
        EXPECT_TRUE(b.Holds(c.left)) << c.format;
    }
    Buffer s;
    EXPECT_EQ(fw::snprintf(s.at(), 50, "ab%q"), -1) << "snprintf passes the failure on";
}

TEST(Vsnprintf, NoBufferOrNoRoomStoresNothing)
{
    Buffer b;
    EXPECT_EQ(Format(b, 0, "abc%d", 5), -1);
    EXPECT_EQ(Format(b, 0, nullptr), -1) << "the format is not read";
    EXPECT_TRUE(b.Holds(""));
    EXPECT_EQ(fw::snprintf(nullptr, 10, "abc"), -1);
    EXPECT_EQ(fw::snprintf(nullptr, 0, "abc"), -1);
}

TEST(Vsnprintf, SnprintfAndVsprintf)
{
    Buffer s;
    EXPECT_EQ(fw::snprintf(s.at(), 20, "%s=%04X", "id", 0xBEEFu), 7);
    EXPECT_TRUE(s.Holds(Text("id=BEEF")));

    std::string longFormat(150, 'k');
    Buffer v;
    EXPECT_EQ(FormatUnbounded(v, longFormat.c_str()), 99);
    EXPECT_TRUE(v.Holds(Text(std::string(99, 'k').c_str())));
    Buffer w;
    EXPECT_EQ(FormatUnbounded(w, "%s|%d", "abc", -1), 6);
    EXPECT_TRUE(w.Holds(Text("abc|-1")));
}

} // namespace
