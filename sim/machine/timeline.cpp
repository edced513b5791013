#include "sim/machine/timeline.h"

#include <algorithm>
#include <cstring>

#include "sim/machine/machine.h"

namespace sim {

struct Timeline::Piece {
    Piece(const uint8_t *from, size_t n, size_t &total) : data(new uint8_t[n]), size(n), total(total)
    {
        std::memcpy(data.get(), from, n);
        total += n;
    }
    ~Piece() { total -= size; }
    std::unique_ptr<uint8_t[]> data;
    size_t size;
    size_t &total;
};

Timeline::~Timeline() = default;

size_t Timeline::own_bytes(const Kept &k) const
{
    return sizeof(Kept) + k.rest.capacity() + k.blocks.capacity() * sizeof(board::StateWriter::Span) +
           k.pieces.capacity() * sizeof(PieceRef);
}

void Timeline::take(Machine &machine, const RunPoint &at)
{
    auto place = std::lower_bound(kept_.begin(), kept_.end(), at.cycle,
                                  [](const Kept &k, uint64_t c) { return k.at.cycle < c; });
    if (place != kept_.end() && place->at.cycle == at.cycle) return;

    board::StateWriter w;
    w.reserve(buffer_.capacity());
    machine.save(w);
    const std::vector<uint8_t> &stream = w.data();
    Kept k;
    k.at = at;
    k.size = stream.size();
    k.blocks = w.blocks();
    // The same memories as last time (a run set up alike always has): each
    // piece that did not change is the last snapshot's.
    bool alike = k.blocks.size() == last_blocks_.size();
    for (size_t b = 0; alike && b < k.blocks.size(); ++b)
        alike = k.blocks[b].size == last_blocks_[b].size;
    size_t from = 0, n = 0;
    for (const auto &block : k.blocks) {
        k.rest.insert(k.rest.end(), stream.begin() + static_cast<ptrdiff_t>(from),
                      stream.begin() + static_cast<ptrdiff_t>(block.at));
        for (size_t off = 0; off < block.size; off += kPiece, ++n) {
            size_t len = std::min(kPiece, block.size - off);
            const uint8_t *bytes = stream.data() + block.at + off;
            if (alike && n < last_pieces_.size() && std::memcmp(last_pieces_[n]->data.get(), bytes, len) == 0)
                k.pieces.push_back(last_pieces_[n]);
            else
                k.pieces.push_back(std::make_shared<const Piece>(bytes, len, bytes_));
        }
        from = block.at + block.size;
    }
    k.rest.insert(k.rest.end(), stream.begin() + static_cast<ptrdiff_t>(from), stream.end());
    k.rest.shrink_to_fit();
    last_blocks_ = k.blocks;
    last_pieces_ = k.pieces;
    if (buffer_.capacity() < stream.size()) buffer_.reserve(stream.size());
    bytes_ += own_bytes(k);
    kept_.insert(place, std::move(k));
}

const RunPoint *Timeline::latest(uint64_t cycle, bool strict) const
{
    auto after = std::upper_bound(kept_.begin(), kept_.end(), cycle, [strict](uint64_t c, const Kept &k) {
        return strict ? c <= k.at.cycle : c < k.at.cycle;
    });
    return after == kept_.begin() ? nullptr : &std::prev(after)->at;
}

void Timeline::restore(Machine &machine, const RunPoint &at)
{
    auto it = std::lower_bound(kept_.begin(), kept_.end(), at.cycle,
                               [](const Kept &k, uint64_t c) { return k.at.cycle < c; });
    if (it == kept_.end() || it->at.cycle != at.cycle) throw board::SnapshotError("no snapshot at that point");
    const Kept &k = *it;
    buffer_.resize(k.size);
    size_t from = 0, rest = 0, n = 0;
    for (const auto &block : k.blocks) {
        std::memcpy(buffer_.data() + from, k.rest.data() + rest, block.at - from);
        rest += block.at - from;
        for (size_t off = 0; off < block.size; off += kPiece, ++n)
            std::memcpy(buffer_.data() + block.at + off, k.pieces[n]->data.get(), k.pieces[n]->size);
        from = block.at + block.size;
    }
    std::memcpy(buffer_.data() + from, k.rest.data() + rest, k.size - from);
    machine.restore(buffer_);
}

void Timeline::forget_after(uint64_t cycle)
{
    while (!kept_.empty() && kept_.back().at.cycle > cycle && kept_.size() > 1) {
        bytes_ -= own_bytes(kept_.back());
        kept_.pop_back();
    }
}

void Timeline::fit(uint64_t focus, uint64_t end)
{
    auto distance = [&](uint64_t c) {
        uint64_t to_focus = c > focus ? c - focus : focus - c;
        uint64_t to_end = c > end ? c - end : end - c;
        return static_cast<double>(std::min(to_focus, to_end)) + 1.0;
    };
    while (bytes_ > limit_ && kept_.size() > 2) {
        // The one whose loss leaves the smallest gap for its distance; the
        // first and the last stay.
        size_t best = 1;
        double best_score = 0;
        for (size_t i = 1; i + 1 < kept_.size(); ++i) {
            double gap = static_cast<double>(kept_[i + 1].at.cycle - kept_[i - 1].at.cycle);
            double score = gap / distance(kept_[i].at.cycle);
            if (i == 1 || score < best_score) {
                best = i;
                best_score = score;
            }
        }
        bytes_ -= own_bytes(kept_[best]);
        kept_.erase(kept_.begin() + static_cast<ptrdiff_t>(best));
    }
}

}  // namespace sim
