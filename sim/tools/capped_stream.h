// A stream buffer that passes whole lines on to another until they would
// take it past a size limit, and then drops (and counts) the rest: a trace
// of a long run stops at a size the disk can hold, ending on a whole line.
#pragma once

#include <cstdint>
#include <streambuf>
#include <string>

namespace simtools {

class CappedBuffer : public std::streambuf {
public:
    // limit 0: no limit.
    CappedBuffer(std::streambuf *to, uint64_t limit) : to_(to), limit_(limit) {}

    bool reached() const { return reached_; }
    uint64_t written() const { return written_; }
    uint64_t dropped() const { return dropped_; }
    // Passes on (or drops) an unfinished last line, ended.
    void end_line();

protected:
    int overflow(int c) override;
    std::streamsize xsputn(const char *s, std::streamsize n) override;
    int sync() override;

private:
    void pass(const char *s, size_t n);

    std::streambuf *to_;
    uint64_t limit_;
    std::string line_;   // the unfinished line
    bool reached_ = false;
    uint64_t written_ = 0, dropped_ = 0;
};

// "64M", "2G", "500k", "1000" (bytes); 0 means no limit. False on anything else.
bool parse_size(const std::string &text, uint64_t &bytes);

}  // namespace simtools
