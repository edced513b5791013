#include "sim/tools/capped_stream.h"

#include <cstring>

namespace simtools {

void CappedBuffer::pass(const char *s, size_t n)
{
    while (n) {
        const char *nl = static_cast<const char *>(std::memchr(s, '\n', n));
        size_t piece = nl ? static_cast<size_t>(nl - s) + 1 : n;
        if (reached_) {
            dropped_ += piece;
        } else {
            line_.append(s, piece);
            if (nl) {
                if (limit_ && written_ + line_.size() > limit_) {
                    reached_ = true;
                    dropped_ += line_.size();
                } else {
                    to_->sputn(line_.data(), static_cast<std::streamsize>(line_.size()));
                    written_ += line_.size();
                }
                line_.clear();
            }
        }
        s += piece;
        n -= piece;
    }
}

int CappedBuffer::overflow(int c)
{
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    char ch = static_cast<char>(c);
    pass(&ch, 1);
    return c;
}

std::streamsize CappedBuffer::xsputn(const char *s, std::streamsize n)
{
    pass(s, static_cast<size_t>(n));
    return n;
}

int CappedBuffer::sync() { return to_->pubsync(); }

void CappedBuffer::end_line()
{
    if (!line_.empty()) pass("\n", 1);
}

bool parse_size(const std::string &text, uint64_t &bytes)
{
    size_t i = 0;
    uint64_t v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (v > (uint64_t(1) << 50)) return false;
        v = v * 10 + static_cast<uint64_t>(text[i++] - '0');
    }
    if (i == 0) return false;
    std::string unit = text.substr(i);
    unsigned shift = 0;
    if (unit == "k" || unit == "K") shift = 10;
    else if (unit == "M") shift = 20;
    else if (unit == "G") shift = 30;
    else if (!unit.empty()) return false;
    bytes = v << shift;
    return true;
}

}  // namespace simtools
