#include "sim/machine/duration.h"

#include <cctype>
#include <cstdio>

namespace sim {

std::optional<board::Picos> parse_duration(const std::string &text, std::string *why)
{
    auto bad = [&]() -> std::optional<board::Picos> {
        if (why) *why = "is not a duration (write it like 3s, 250ms, 40us, 500ns)";
        return std::nullopt;
    };
    auto too_long = [&]() -> std::optional<board::Picos> {
        if (why) *why = "is longer than one day of virtual time, the longest run";
        return std::nullopt;
    };
    size_t i = 0;
    unsigned long long whole = 0;
    unsigned long long fraction = 0, scale = 1;
    bool digits = false;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        if (whole > 1000000000000ull)
            return too_long();
        whole = whole * 10 + static_cast<unsigned>(text[i++] - '0');
        digits = true;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            if (scale < 1000000000000ull) {
                fraction = fraction * 10 + static_cast<unsigned>(text[i] - '0');
                scale *= 10;
            }
            ++i;
            digits = true;
        }
    }
    if (!digits)
        return bad();
    std::string unit = text.substr(i);
    board::Picos per;
    if (unit == "s")
        per = board::kPicosPerSecond;
    else if (unit == "ms")
        per = board::kPicosPerMs;
    else if (unit == "us")
        per = board::kPicosPerUs;
    else if (unit == "ns")
        per = board::kPicosPerNs;
    else
        return bad();
    // At most a day: far beyond any run, and no overflow.
    board::Picos t = whole * per + static_cast<board::Picos>(static_cast<unsigned __int128>(fraction) * per / scale);
    if (whole > 86400ull * board::kPicosPerSecond / per || t > 86400ull * board::kPicosPerSecond)
        return too_long();
    return t;
}

std::string format_time(board::Picos t)
{
    char b[48];
    snprintf(b, sizeof b, "%llu.%06llu s", static_cast<unsigned long long>(t / board::kPicosPerSecond),
             static_cast<unsigned long long>((t % board::kPicosPerSecond) / board::kPicosPerUs));
    return b;
}

}  // namespace sim
