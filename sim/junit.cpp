#include "sim/junit.h"

#include <cstdio>

#include "sim/flash_file.h"

namespace sim {

namespace {

std::string escape(const std::string &s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            // XML 1.0 has no place for most control characters.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
                out += "?";
            else
                out += c;
        }
    }
    return out;
}

}  // namespace

std::string junit_xml(const JunitSuite &suite)
{
    int failures = 0, skipped = 0;
    double total = 0;
    for (const auto &c : suite.cases) {
        failures += !c.failure.empty();
        skipped += !c.skipped.empty();
        total += c.seconds;
    }
    char head[160];
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    snprintf(head, sizeof head, "\" tests=\"%zu\" failures=\"%d\" errors=\"0\" skipped=\"%d\" time=\"%.6f\">\n",
             suite.cases.size(), failures, skipped, total);
    out += "<testsuite name=\"" + escape(suite.name) + head;
    for (const auto &c : suite.cases) {
        char t[32];
        snprintf(t, sizeof t, "%.6f", c.seconds);
        out += "  <testcase classname=\"" + escape(suite.name) + "\" name=\"" + escape(c.name) + "\" time=\"" + t + "\"";
        if (c.failure.empty() && c.skipped.empty()) {
            out += "/>\n";
            continue;
        }
        out += ">\n";
        if (!c.failure.empty())
            out += "    <failure message=\"" + escape(c.failure) + "\"/>\n";
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
    return write_atomically(path, std::vector<uint8_t>(xml.begin(), xml.end()), error);
}

}  // namespace sim
