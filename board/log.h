// Diagnostics of the board: every model reports what the real part would
// silently get wrong (a write lost while busy, a bus access to nothing, a
// write-once register written again) here, stamped with virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/clock.h"
#include "board/rules.h"

namespace board {

struct LogEntry {
    Picos time;
    std::string source;
    std::string message;
};

class Log {
public:
    explicit Log(const Clock &clock) : rules(clock), clock_(clock) {}

    void warn(const std::string &source, const std::string &message);

    const std::vector<LogEntry> &entries() const { return entries_; }
    size_t count_from(const std::string &source) const;
    bool contains(const std::string &text) const;
    void clear() { entries_.clear(); }

    // Called for every new entry (the simulator prints them or shows them in its view).
    void set_listener(std::function<void(const LogEntry &)> listener) { listener_ = std::move(listener); }

    // Breaches of the parts' documented limits, kept apart from the warnings.
    Rules rules;

private:
    const Clock &clock_;
    std::vector<LogEntry> entries_;
    std::function<void(const LogEntry &)> listener_;
};

std::string hex8(uint8_t value);
std::string hex32(uint32_t value);
// Sixteen lowercase digits, no prefix: how image hashes and layouts are shown.
std::string hex64(uint64_t value);

}  // namespace board
