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

namespace stdio_test {

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

// The call returned the length of `text`, and the buffer holds `text`, its
// terminator and nothing else.
void ExpectText(int rc, const Buffer &b, const std::string &text)
{
    EXPECT_EQ(rc, static_cast<int>(text.size())) << text;
    EXPECT_TRUE(b.Holds(text + '\0'));
}

TEST(Vsnprintf, OrdinaryCharactersStopAtTheBound)
{
    Buffer b[5];
    ExpectText(Format(b[0], 20, "abc"), b[0], "abc");
    ExpectText(Format(b[1], 20, ""), b[1], "");
    ExpectText(Format(b[2], 3, "abcdef"), b[2], "ab");
    ExpectText(Format(b[3], 1, "xyz%d", 5), b[3], "");
    ExpectText(Format(b[4], 3, "a%%%%"), b[4], "a%");  // '%%' is one character under the bound
}

TEST(Vsnprintf, WidthClampAndUncutConversions)
{
    Buffer b[7];
    // A field that exactly fills the room loses its last character.
    ExpectText(Format(b[0], 10, "ab%08X", 0x1234u), b[0], "ab0000123");
    // Fill that takes all the room leaves only fill.
    ExpectText(Format(b[1], 6, "ab%8u", 7u), b[1], "ab   ");
    // Digits run past the bound; the terminator lands on the last of them.
    ExpectText(Format(b[2], 4, "%d", 12345), b[2], "1234");
    ExpectText(Format(b[3], 5, "abcd%c", 'Z'), b[3], "abcd");
    ExpectText(Format(b[4], 5, "abc%5d", 1), b[4], "abc ");
    // A string started at the last position is written whole.
    ExpectText(Format(b[5], 3, "ab%sXYZ", "hello"), b[5], "abhell");
    // Nothing starts once the bound is reached.
    ExpectText(Format(b[6], 4, "%d%d", 1234, 5), b[6], "123");
}

TEST(Vsnprintf, Conversions)
{
    Buffer b[13];
    ExpectText(Format(b[0], 100, "%%|%c|%s|", 0x41, "hi"), b[0], "%|A|hi|");
    ExpectText(Format(b[1], 100, "x=%5d|", -42), b[1], "x=  -42|");
    ExpectText(Format(b[2], 100, "x=%05d|", -42), b[2], "x=00-42|");
    ExpectText(Format(b[3], 100, "[%5s][%05c]", "ab", 'q'), b[3], "[ab][q]");
    ExpectText(Format(b[4], 100, "%00d", 5), b[4], "5");
    ExpectText(Format(b[5], 100, "%010x", 255u), b[5], "00000000ff");
    ExpectText(Format(b[6], 100, "%10d", 7), b[6], "         7");  // only a leading '0' is the flag
    ExpectText(Format(b[7], 100, "%256d", 1), b[7], "1");           // width modulo 256
    ExpectText(Format(b[8], 100, "%u|%i|%X", 4294967295u, INT_MIN, 255u), b[8],
               "4294967295|-2147483648|FF");
    ExpectText(Format(b[9], 100, "%%%d", 7), b[9], "%7");           // '%%' takes no argument
    ExpectText(Format(b[10], 100, "%c", 0x341), b[10], "A");         // low 8 bits
    ExpectText(Format(b[11], 100, "%0X", 0u), b[11], "0");
    ExpectText(Format(b[12], 300, "%300d", 1), b[12], std::string(43, ' ') + "1");
}

TEST(Vsnprintf, NonConversionsFailAndLeaveWhatWasStored)
{
    const std::string kEmpty(1, '\0');  // the empty text stored first
    struct {
        const char *format;
        std::string left;
    } cases[] = {
        {"ab%q", "ab"},          // no terminator after them
        {"ab%", "ab"},
        {"%-5d", kEmpty},
        {"%ld", kEmpty},
        {"%5.2d", kEmpty},
        {"%+d", kEmpty},
        {"%hd", kEmpty},
        {"%0", kEmpty},
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
    Buffer b[3];
    ExpectText(fw::snprintf(b[0].at(), 20, "%s=%04X", "id", 0xBEEFu), b[0], "id=BEEF");
    ExpectText(FormatUnbounded(b[1], std::string(150, 'k').c_str()), b[1], std::string(99, 'k'));
    ExpectText(FormatUnbounded(b[2], "%s|%d", "abc", -1), b[2], "abc|-1");
}

} // namespace

}  // namespace stdio_test
