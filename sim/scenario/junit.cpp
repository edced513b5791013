#include "sim/scenario/junit.h"

#include <cstdint>
#include <cstdio>

#include "sim/tools/output_file.h"

namespace sim {

namespace {

// The length of the well-formed UTF-8 sequence at s[i] that XML 1.0 can
// hold, or 0.
size_t xml_char_length(const std::string &s, size_t i)
{
    auto byte = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    unsigned c = byte(i);
    if (c < 0x80) return c >= 0x20 || c == '\n' || c == '\t' || c == '\r' ? 1 : 0;
    size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4) return 0;
    uint32_t cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        unsigned b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    bool shortest = (n == 2 && cp >= 0x80) || (n == 3 && cp >= 0x800) || (n == 4 && cp >= 0x10000);
    bool allowed = cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF;
    return shortest && allowed ? n : 0;
}

// Markup escaped; bytes that are not UTF-8, and characters XML 1.0 has no
// place for, become U+FFFD so that the report stays well-formed.
std::string escape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        switch (s[i]) {
        case '&': out += "&amp;"; ++i; continue;
        case '<': out += "&lt;"; ++i; continue;
        case '>': out += "&gt;"; ++i; continue;
        case '"': out += "&quot;"; ++i; continue;
        default: break;
        }
        size_t n = xml_char_length(s, i);
        if (n) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

}  // namespace

std::string junit_xml(const JunitSuite &suite)
{
    int failures = 0, skipped = 0, errors = 0;
    double total = 0;
    for (const auto &c : suite.cases) {
        failures += !c.failure.empty();
        skipped += !c.skipped.empty();
        errors += !c.error.empty();
        total += c.seconds;
    }
    char head[160];
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    snprintf(head, sizeof head, "\" tests=\"%zu\" failures=\"%d\" errors=\"%d\" skipped=\"%d\" time=\"%.6f\">\n",
             suite.cases.size(), failures, errors, skipped, total);
    out += "<testsuite name=\"" + escape(suite.name) + head;
    for (const auto &c : suite.cases) {
        char t[32];
        snprintf(t, sizeof t, "%.6f", c.seconds);
        out += "  <testcase classname=\"" + escape(suite.name) + "\" name=\"" + escape(c.name) + "\" time=\"" + t + "\"";
        if (c.failure.empty() && c.skipped.empty() && c.error.empty()) {
            out += "/>\n";
            continue;
        }
        out += ">\n";
        if (!c.failure.empty())
            out += "    <failure message=\"" + escape(c.failure) + "\"/>\n";
        if (!c.error.empty())
            out += "    <error message=\"" + escape(c.error) + "\"/>\n";
        if (!c.skipped.empty())
            out += "    <skipped message=\"" + escape(c.skipped) + "\"/>\n";
        out += "  </testcase>\n";
    }
    out += "</testsuite>\n";
    return out;
}

bool write_junit(const std::string &path, const JunitSuite &suite, std::string &error)
{
    std::string xml = junit_xml(suite);
    return simtools::write_output(path, xml.data(), xml.size(), error);
}

}  // namespace sim
