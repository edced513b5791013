// Fuzz target for the formatting routines, under AddressSanitizer.
//
// Build and run (about five minutes, two workers at most on this machine):
//   cmake --preset fuzz && cmake --build build-fuzz -j2 --target stdio_fuzz
//   mkdir -p build-fuzz/corpus/stdio
//   build-fuzz/bin/stdio_fuzz -max_total_time=300 -max_len=256 \
//       -dict=tests/fuzz/stdio.dict build-fuzz/corpus/stdio
//
// Each input is either a put-routine call or a vsnprintf call built from the
// bytes, always within what a caller guarantees: the argument list matches the
// directives, and the buffer is exactly as large as the room the caller must
// give (the bound, or more where the last conversion runs past it). A store
// outside that room is an AddressSanitizer report; the buffer's contents and
// the result are compared with an independent reference written with the
// standard library. Any difference aborts.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "firmware/stdio.h"

namespace {

constexpr unsigned char kUntouched = 0xA5;

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n ? (n--, *p++) : 0; }
    uint32_t bytes(int count)  // little-endian, first byte lowest
    {
        uint32_t v = 0;
        for (int i = 0; i < count; i++) v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
    uint32_t word() { return bytes(4); }
};

[[noreturn]] void Fail(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "stdio_fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

// ---- reference fields, from the C library's conversions ----

std::string Digits(const char *conv, unsigned long long v)
{
    char s[32];
    std::snprintf(s, sizeof s, conv, v);
    return s;
}

std::string Field(char fill, long long width, const std::string &body)
{
    long long pad = width - static_cast<long long>(body.size());
    return (pad > 0 ? std::string(static_cast<size_t>(pad), fill) : std::string()) + body;
}

std::string SignedBody(int v)
{
    long long w = v;
    return (w < 0 ? "-" : "") + Digits("%llu", static_cast<unsigned long long>(w < 0 ? -w : w));
}

// ---- put routines ----

void CheckField(const char *routine, const std::string &expected, int rc, const char *buf)
{
    if (rc != static_cast<int>(expected.size()) || std::memcmp(buf, expected.data(), expected.size()) != 0) {
        Fail(routine, "expected '" + expected + "' (" + std::to_string(expected.size()) + "), got " +
                          std::to_string(rc) + " '" + std::string(buf, expected.size()) + "'");
    }
}

void FuzzPutRoutines(Input in)
{
    uint8_t which = in.byte() % 6;
    char fill = static_cast<char>(in.byte());
    int width = static_cast<int16_t>(in.bytes(2)) % 300;
    if (in.byte() == 0xFF) {
        width = INT_MIN;
    }
    uint32_t value = in.word();

    std::string expected;
    switch (which) {
    case 0: expected = Field(fill, width, Digits("%llu", value)); break;
    case 1: expected = Field(fill, width, SignedBody(static_cast<int>(value))); break;
    case 2: expected = Field(fill, width, Digits("%llx", value)); break;
    case 3: expected = Field(fill, width, Digits("%llX", value)); break;
    case 4: expected = std::string(1, static_cast<char>(value)); break;
    case 5: expected = std::string(value % 64, static_cast<char>(value >> 8 | 1)); break;
    }
    // Exactly the field's room, so a store past it is caught.
    auto buf = std::make_unique<char[]>(expected.size());
    int rc = 0;
    switch (which) {
    case 0: rc = PutUnsignedInt(buf.get(), fill, width, value); break;
    case 1: rc = PutSignedInt(buf.get(), fill, width, static_cast<int>(value)); break;
    case 2: rc = PutHexa(buf.get(), fill, width, 0, value); break;
    case 3: rc = PutHexa(buf.get(), fill, width, static_cast<unsigned char>(value >> 24 | 1), value); break;
    case 4: rc = PutChar(buf.get(), static_cast<char>(value)); break;
    case 5: rc = PutString(buf.get(), expected.c_str()); break;
    }
    CheckField("put routine", expected, rc, buf.get());
}

// ---- vsnprintf ----

enum class Kind { Int, Unsigned, String };

struct Directive {
    Kind kind;
    int i;
    unsigned int u;
    std::string s;
};

constexpr size_t kMaxArgs = 5;

// Calls fw::snprintf with one argument of the right type per directive; the
// recursion builds the argument pack (3^kMaxArgs shapes at most).
template <typename... A>
int Call(char *buf, size_t length, const char *format, const std::vector<Directive> &d, A... args)
{
    constexpr size_t k = sizeof...(A);
    if constexpr (k == kMaxArgs) {
        return fw::snprintf(buf, length, format, args...);
    } else {
        if (k == d.size()) {
            return fw::snprintf(buf, length, format, args...);
        }
        switch (d[k].kind) {
        case Kind::Int: return Call(buf, length, format, d, args..., d[k].i);
        case Kind::Unsigned: return Call(buf, length, format, d, args..., d[k].u);
        case Kind::String: break;
        }
        return Call(buf, length, format, d, args..., d[k].s.c_str());
    }
}

bool IsConversion(char c) { return c && std::strchr("diuxXsc", c); }

// What the call must leave: byte values by position (-1 untouched) and the result.
struct Expected {
    std::vector<int> bytes;
    int rc;
};

Expected Reference(size_t length, const std::string &format, const std::vector<Directive> &d)
{
    Expected e{{}, 0};
    auto store = [&](size_t pos, char c) {
        if (e.bytes.size() <= pos) e.bytes.resize(pos + 1, -1);
        e.bytes[pos] = static_cast<unsigned char>(c);
    };
    store(0, 0);
    size_t size = 0, f = 0, arg = 0;
    while (f < format.size() && size < length) {
        if (format[f] != '%' || format.compare(f, 2, "%%") == 0) {
            store(size++, format[f]);
            f += format[f] == '%' ? 2 : 1;
            continue;
        }
        f++;
        char fill = ' ';
        if (f < format.size() && format[f] == '0') {
            fill = '0';
            f++;
        }
        unsigned width = 0;
        while (f < format.size() && format[f] >= '0' && format[f] <= '9') {
            width = (width * 10 + (format[f++] - '0')) % 256;
        }
        width = std::min<size_t>(width, length - size);
        char conv = f < format.size() ? format[f] : 0;
        if (!IsConversion(conv)) {
            e.rc = -1;
            return e;
        }
        f++;
        const Directive &a = d.at(arg++);
        std::string text;
        switch (conv) {
        case 'd': case 'i': text = Field(fill, width, SignedBody(a.i)); break;
        case 'u': text = Field(fill, width, Digits("%llu", a.u)); break;
        case 'x': text = Field(fill, width, Digits("%llx", a.u)); break;
        case 'X': text = Field(fill, width, Digits("%llX", a.u)); break;
        case 's': text = a.s; break;
        case 'c': text = std::string(1, static_cast<char>(a.i)); break;
        }
        for (char c : text) store(size++, c);
    }
    size_t end = size < length ? size : size - 1;
    store(end, 0);
    e.rc = static_cast<int>(end);
    return e;
}

void FuzzVsnprintf(Input in)
{
    size_t length = in.bytes(2) % 320 + 1;

    // The format runs to the first zero byte; the bytes after it feed the arguments.
    std::string format;
    while (in.n && *in.p) format += static_cast<char>(in.byte());
    in.byte();

    // One argument per directive, of the type its conversion takes. A format
    // with more directives than the call can carry is cut before the extra one.
    std::vector<Directive> d;
    for (size_t f = 0; f < format.size(); f++) {
        if (format[f] != '%') continue;
        if (f + 1 < format.size() && format[f + 1] == '%') { f++; continue; }
        size_t start = f++;
        if (f < format.size() && format[f] == '0') f++;
        while (f < format.size() && format[f] >= '0' && format[f] <= '9') f++;
        char conv = f < format.size() ? format[f] : 0;
        if (!IsConversion(conv)) break;  // the call fails here and takes no more
        if (d.size() == kMaxArgs) { format.resize(start); break; }
        Directive a{Kind::Int, 0, 0, {}};
        uint32_t w = in.word();
        if (conv == 's') {
            a.kind = Kind::String;
            for (unsigned k = w % 48; k; k--) a.s += static_cast<char>(in.byte() | 0x80);
        } else if (conv == 'u' || conv == 'x' || conv == 'X') {
            a.kind = Kind::Unsigned;
            a.u = w;
        } else {
            a.i = static_cast<int>(w);
        }
        d.push_back(a);
    }

    Expected e = Reference(length, format, d);
    // The room a caller gives: the bound, or up to the last byte the call may
    // store when a conversion runs past it.
    size_t room = std::max(length, e.bytes.size());
    auto buf = std::make_unique<unsigned char[]>(room);
    std::memset(buf.get(), kUntouched, room);
    int rc = Call(reinterpret_cast<char *>(buf.get()), length, format.c_str(), d);

    std::string where = "length " + std::to_string(length) + " format '" + format + "'";
    if (rc != e.rc) {
        Fail("result", where + ": expected " + std::to_string(e.rc) + ", got " + std::to_string(rc));
    }
    if (rc >= 0 && (static_cast<size_t>(rc) >= room || buf[rc] != 0)) {
        Fail("terminator", where + ": result " + std::to_string(rc) + " does not point at it");
    }
    for (size_t i = 0; i < room; i++) {
        int want = i < e.bytes.size() && e.bytes[i] >= 0 ? e.bytes[i] : kUntouched;
        if (buf[i] != want) {
            Fail("contents", where + ": byte " + std::to_string(i) + " is " + std::to_string(buf[i]) +
                                 ", expected " + std::to_string(want));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in{data, size};
    if (in.byte() & 1) {
        FuzzPutRoutines(in);
    } else {
        FuzzVsnprintf(in);
    }
    return 0;
}
