#include "sim/machine/snapshot_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/machine/duration.h"
#include "sim/machine/machine.h"
#include "sim/machine/replay_bundle.h"
#include "sim/tools/output_file.h"

namespace sim {

namespace {

constexpr char kSnapshotMagic[8] = {'B', 'S', 'I', 'M', 'S', 'N', 'A', 'P'};
constexpr size_t kHeaderSize = 52;

}  // namespace

bool hash_file(const std::string &path, uint64_t &hash, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        error = path + ": cannot be read";
        return false;
    }
    hash = fnv1a64(bytes.data(), bytes.size());
    return true;
}

SnapshotIdentity snapshot_identity(Machine &machine, uint64_t image_hash)
{
    std::string layout = machine.board().state_layout();
    return {image_hash, fnv1a64(reinterpret_cast<const uint8_t *>(layout.data()), layout.size())};
}

bool write_snapshot(Machine &machine, const SnapshotIdentity &identity, const std::string &path, std::string &error)
{
    std::vector<uint8_t> state;
    try {
        state = machine.save();
    } catch (const board::SnapshotError &e) {
        error = path + ": no snapshot at " + format_time(machine.now()) + ": " + e.what();
        return false;
    }
    board::StateWriter w;
    w.bytes(kSnapshotMagic, sizeof kSnapshotMagic);
    w.u32(kSnapshotVersion);
    w.u64(identity.image_hash);
    w.u64(identity.layout_hash);
    w.u64(machine.now());
    w.u64(state.size());
    w.u64(fnv1a64(state.data(), state.size()));
    w.bytes(state.data(), state.size());
    return simtools::write_output(path, w.data().data(), w.data().size(), error);
}

bool read_snapshot(Machine &machine, const SnapshotIdentity &identity, const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto refuse = [&](const std::string &why) {
        error = path + ": " + why;
        return false;
    };
    if (file.size() < sizeof kSnapshotMagic || std::memcmp(file.data(), kSnapshotMagic, sizeof kSnapshotMagic) != 0)
        return refuse("not a boardsim snapshot");
    if (file.size() < kHeaderSize)
        return refuse("cut short: " + std::to_string(file.size()) + " bytes, not even the header");
    board::StateReader header(file.data() + sizeof kSnapshotMagic, kHeaderSize - sizeof kSnapshotMagic, path);
    uint32_t version = header.u32();
    uint64_t image = header.u64(), layout = header.u64(), time = header.u64(), length = header.u64(),
             checksum = header.u64();
    if (version != kSnapshotVersion)
        return refuse("snapshot format version " + std::to_string(version) + "; this boardsim reads version " +
                      std::to_string(kSnapshotVersion));
    if (image != identity.image_hash)
        return refuse(image == 0 ? "taken without an image (the chip's flash as it was); this run has one"
                                 : "taken with another image (its hash " + board::hex64(image) + ", this run's " +
                                       board::hex64(identity.image_hash) + ")");
    if (layout != identity.layout_hash)
        return refuse("taken by a boardsim whose board is made of other parts (a serial line, a JTAG port, "
                      "another build): its layout " + board::hex64(layout) + ", this run's " + board::hex64(identity.layout_hash));
    if (file.size() - kHeaderSize < length)
        return refuse("cut short: " + std::to_string(file.size()) + " bytes of the " + std::to_string(kHeaderSize + length) +
                      " its header announces");
    if (file.size() - kHeaderSize > length)
        return refuse(std::to_string(file.size() - kHeaderSize - length) + " bytes after the state its header announces");
    if (fnv1a64(file.data() + kHeaderSize, length) != checksum)
        return refuse("corrupted: its state does not match its checksum");
    try {
        board::StateReader r(file.data() + kHeaderSize, length, path);
        machine.restore(r);
    } catch (const board::SnapshotError &e) {
        error = e.what();
        return false;
    }
    if (machine.now() != time)
        return refuse("corrupted: its state is at " + format_time(machine.now()) + ", its header says " + format_time(time));
    return true;
}

}  // namespace sim
