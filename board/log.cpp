#include "board/log.h"

#include <cstdio>

namespace board {

// A model that misbehaves in a loop must not exhaust memory: keep the first
// entries and count the rest.
static constexpr size_t kMaxEntries = 100000;

void Log::warn(const std::string &source, const std::string &message)
{
    LogEntry e{clock_.now(), source, message};
    if (listener_)
        listener_(e);
    if (entries_.size() < kMaxEntries)
        entries_.push_back(std::move(e));
}

size_t Log::count_from(const std::string &source) const
{
    size_t n = 0;
    for (const auto &e : entries_)
        n += e.source == source;
    return n;
}

bool Log::contains(const std::string &text) const
{
    for (const auto &e : entries_)
        if (e.message.find(text) != std::string::npos || e.source.find(text) != std::string::npos)
            return true;
    return false;
}

std::string hex8(uint8_t value)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", value);
    return buf;
}

std::string hex32(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", value);
    return buf;
}

std::string hex64(uint64_t value)
{
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(value));
    return buf;
}

}  // namespace board
