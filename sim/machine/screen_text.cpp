#include "sim/machine/screen_text.h"

namespace sim {

namespace {

std::string utf8(uint32_t cp)
{
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
}

uint32_t code_point(uint8_t c)
{
    if (c < 0x10)   // ⓪, then ① .. ⑦
        return (c & 7) == 0 ? 0x24EA : 0x2460 + (c & 7) - 1;
    if (c < 0x20 || (c >= 0x80 && c <= 0xA0))
        return ' ';
    if (c == 0x5C)
        return 0xA5;
    if (c == 0x7E)
        return 0x2192;
    if (c == 0x7F)
        return 0x2190;
    if (c < 0x80)
        return c;
    if (c <= 0xDF)
        return 0xFF61 + (c - 0xA1);
    return 0x2592;
}

}  // namespace

std::string code_text(uint8_t code)
{
    return utf8(code_point(code));
}

std::string codes_text(const std::string &codes)
{
    std::string out;
    for (char c : codes)
        out += code_text(static_cast<uint8_t>(c));
    return out;
}

std::optional<std::string> text_codes(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            len = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            len = 3;
        } else {
            return std::nullopt;
        }
        i += len;
        if (cp < 0x10) {
            out += static_cast<char>(cp);
            continue;
        }
        bool found = false;
        for (unsigned code = 0; code < 256 && !found; ++code) {
            if (code >= 8 && code < 0x20)
                continue;   // mirrors and blanks: written as ⓪..⑦ or spaces
            if (code >= 0x80 && code <= 0xA0)
                continue;
            if (code_point(static_cast<uint8_t>(code)) == cp && cp != 0x2592) {
                out += static_cast<char>(code);
                found = true;
            }
        }
        if (!found)
            return std::nullopt;
    }
    return out;
}

}  // namespace sim
