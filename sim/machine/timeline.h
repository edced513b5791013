// Snapshots of one run, kept in memory by the point of the run they were
// taken at, so that any earlier point can be reached again: restore the
// nearest one before it and run forward.
//
// A snapshot is mostly memories (RAM, the chip's flash, the serial flash),
// and most of their bytes do not change from one snapshot to the next: each
// memory is kept in pieces, and a piece that did not change since the last
// snapshot taken is shared with it rather than held again. What the
// snapshots hold together is kept within a limit by thinning them out:
// where the debugger is and at the end of the run they stay dense, further
// away they are spaced ever wider (the gap a snapshot's removal would leave,
// weighed by its distance from those two points, decides which goes first).
// The first snapshot (the start of the run's history) is never removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "board/clock.h"
#include "board/state.h"

namespace sim {

class Machine;

// A point of a run: an instruction boundary and how many of the run's
// inputs (input_log.h) had been taken there.
struct RunPoint {
    uint64_t cycle = 0;
    uint64_t instructions = 0;
    size_t inputs = 0;
    board::Picos time = 0;
};

class Timeline {
public:
    explicit Timeline(size_t memory_limit) : limit_(memory_limit) {}
    Timeline(const Timeline &) = delete;
    Timeline &operator=(const Timeline &) = delete;
    ~Timeline();

    // The machine as it is, at `at` (one snapshot a cycle: a second at the
    // same cycle is not kept).
    void take(Machine &machine, const RunPoint &at);
    // The point of the latest snapshot at or before `cycle` (strictly before
    // with `strict`); nullptr when there is none.
    const RunPoint *latest(uint64_t cycle, bool strict = false) const;
    // Puts the machine back to the snapshot at `at` (a point latest() gave).
    void restore(Machine &machine, const RunPoint &at);
    // Forgets every snapshot after `cycle`: the run took another way there.
    void forget_after(uint64_t cycle);
    // Thins out until within the limit, densest where the debugger is
    // (`focus`) and at `end`.
    void fit(uint64_t focus, uint64_t end);

    size_t count() const { return kept_.size(); }
    size_t bytes() const { return bytes_; }
    size_t limit() const { return limit_; }

private:
    struct Piece;
    using PieceRef = std::shared_ptr<const Piece>;
    struct Kept {
        RunPoint at;
        std::vector<uint8_t> rest;   // the stream without its memories
        std::vector<board::StateWriter::Span> blocks;   // where the memories go
        std::vector<PieceRef> pieces;   // the memories, kPiece bytes at a time
        size_t size = 0;   // of the whole stream
    };
    static constexpr size_t kPiece = 4096;
    size_t own_bytes(const Kept &k) const;

    size_t limit_;
    size_t bytes_ = 0;   // every piece once, and every snapshot's own bytes
    std::vector<Kept> kept_;   // by cycle
    // The memories of the snapshot taken last, to share pieces with.
    std::vector<board::StateWriter::Span> last_blocks_;
    std::vector<PieceRef> last_pieces_;
    std::vector<uint8_t> buffer_;   // a restore's stream
};

}  // namespace sim
