// Snapshot files: the whole machine at one instruction boundary, to start
// later runs from. One header, then the machine's state stream, whose parts
// are the sections (their layout is in the README, "Snapshots"):
//
//   offset  bytes
//    0       8   "BSIMSNAP"
//    8       4   format version (kSnapshotVersion), little-endian like every number
//   12       8   the image's hash: FNV-1a (64 bits) of the ELF file; 0 without an image
//   20       8   the build's layout: FNV-1a of the parts' and values' names and sizes
//   28       8   virtual time of the snapshot, in picoseconds
//   36       8   length of the state stream
//   44       8   FNV-1a of the state stream
//   52       ... the state stream (Machine::save): each part as its name, its
//                number of values, then each value as its name, its size
//                (0: variable) and its bytes
//
// A file is refused whole, with a message that says why and before anything
// is restored, when it is not a snapshot, of another format version, of
// another image or build, cut short or longer, or corrupted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/clock.h"

namespace sim {

class Machine;

constexpr uint32_t kSnapshotVersion = 1;

// FNV-1a of a file's bytes; false with `error` when it cannot be read.
bool hash_file(const std::string &path, uint64_t &hash, std::string &error);

struct SnapshotIdentity {
    uint64_t image_hash = 0;
    uint64_t layout_hash = 0;
};
// What a snapshot of this machine must carry: its image's and its layout's hashes.
SnapshotIdentity snapshot_identity(Machine &machine, uint64_t image_hash);

// The machine now, as a file written whole or not at all.
bool write_snapshot(Machine &machine, const SnapshotIdentity &identity, const std::string &path, std::string &error);
// The machine as the file says; false with `error` (naming the file) when
// the file is refused or does not fit this machine. The machine is then to
// be thrown away.
bool read_snapshot(Machine &machine, const SnapshotIdentity &identity, const std::string &path, std::string &error);

}  // namespace sim
