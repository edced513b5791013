// What the chip has sent on its serial line, for the scenario steps that
// wait for a text. Positions count from the start of the run; only the last
// kKept characters or more are kept, so a chatty guest over a long run
// costs bounded memory. A search that goes on as text arrives looks only at
// what is new (Search), so waiting costs time in proportion to the text, not
// to its square.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

class SerialCapture {
public:
    static constexpr size_t kKept = 256 * 1024;

    void append(char c);
    // Characters sent so far, and the first position still kept.
    uint64_t end() const { return base_ + text_.size(); }
    uint64_t begin() const { return base_; }

    // A search for `text` at or after a position, resumed where it stopped.
    class Search {
    public:
        Search(std::string text, uint64_t from) : text_(std::move(text)), from_(from) {}
        // The position just after the first match, or nullopt when none yet.
        std::optional<uint64_t> next(const SerialCapture &capture);

    private:
        std::string text_;
        uint64_t from_;
    };

    // The text from `from` on, at most its last `limit` characters; with
    // how many there are in all before it, when it had to be cut.
    std::string since(uint64_t from, size_t limit) const;

private:
    std::string text_;
    uint64_t base_ = 0;   // position of text_[0]
};

}  // namespace sim
