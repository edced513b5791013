#include "sim/machine/serial_capture.h"

#include <algorithm>

namespace sim {

void SerialCapture::append(char c)
{
    text_.push_back(c);
    // Drop the oldest half at once, so that appending stays cheap.
    if (text_.size() >= 2 * kKept) {
        size_t dropped = text_.size() - kKept;
        text_.erase(0, dropped);
        base_ += dropped;
    }
}

std::optional<uint64_t> SerialCapture::Search::next(const SerialCapture &capture)
{
    uint64_t from = std::max(from_, capture.begin());
    size_t at = capture.text_.find(text_, from - capture.begin());
    if (at != std::string::npos)
        return capture.begin() + at + text_.size();
    // Next time, only what could still end in a match.
    uint64_t overlap = text_.empty() ? 0 : text_.size() - 1;
    from_ = std::max(from, capture.end() > overlap ? capture.end() - overlap : 0);
    return std::nullopt;
}

std::string SerialCapture::since(uint64_t from, size_t limit) const
{
    uint64_t length = end() - std::min(from, end());
    if (length <= limit && from >= base_)
        return "\"" + text_.substr(from - base_) + "\"";
    limit = std::min<size_t>(limit, text_.size());
    return std::to_string(length) + " characters, the last " + std::to_string(limit) + ": \"" +
           text_.substr(text_.size() - limit) + "\"";
}

}  // namespace sim
