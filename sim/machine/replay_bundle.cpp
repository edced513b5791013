#include "sim/machine/replay_bundle.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim/tools/output_file.h"

namespace sim {

namespace {

constexpr char kReplayMagic[] = "BOARDSIM-REPLAY\n";
constexpr size_t kReplayMagicSize = sizeof kReplayMagic - 1;
constexpr size_t kHeadSize = kReplayMagicSize + 4 + 8;

void put_blob(board::StateWriter &w, const std::optional<std::vector<uint8_t>> &blob)
{
    w.u8(blob ? 1 : 0);
    if (!blob) return;
    w.u64(blob->size());
    w.bytes(blob->data(), blob->size());
}

std::optional<std::vector<uint8_t>> get_blob(board::StateReader &r, size_t size, const char *what)
{
    uint8_t present = r.u8();
    if (present > 1) r.fail(std::string(what) + ": not a flag");
    if (!present) return std::nullopt;
    if (r.u64() != size) r.fail(std::string(what) + " is not " + std::to_string(size) + " bytes");
    const uint8_t *p = r.take(size);
    return std::vector<uint8_t>(p, p + size);
}

bool get_flag(board::StateReader &r, const char *what)
{
    uint8_t v = r.u8();
    if (v > 1) r.fail(std::string(what) + ": not a flag");
    return v;
}

uint64_t get_u64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

}  // namespace

uint64_t fnv1a64(const uint8_t *data, size_t size, uint64_t hash)
{
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::optional<std::vector<uint8_t>> read_file(const std::string &path, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + strerror(errno);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    return bytes;
}

std::optional<uint64_t> hash_file(const std::string &path, std::string &error)
{
    auto bytes = read_file(path, error);
    if (!bytes) return std::nullopt;
    return fnv1a64(bytes->data(), bytes->size());
}

std::vector<uint8_t> ReplayBundle::encode() const
{
    board::StateWriter body;
    body.text(image);
    body.u64(image_hash);
    body.u32(crystal_hz);
    body.u32(bounce);
    body.u64(bounce_window);
    body.u64(seed);
    body.u8(exact);
    body.u8(serial);
    body.u8(boot_program);
    body.u8(duration.has_value());
    body.u64(duration.value_or(0));
    body.text(mode);
    body.text(command);
    put_blob(body, flash);
    put_blob(body, chip_flash);
    put_blob(body, chip_nvm);
    body.u64(inputs.size());
    for (const auto &e : inputs) e.save(body);
    body.u64(end.cycle);
    body.u64(end.instructions);
    body.u64(end.time);

    board::StateWriter w;
    w.bytes(kReplayMagic, kReplayMagicSize);
    w.u32(kVersion);
    w.u64(body.data().size());
    w.bytes(body.data().data(), body.data().size());
    w.u64(fnv1a64(w.data().data(), w.data().size()));
    return w.take();
}

std::optional<ReplayBundle> ReplayBundle::decode(const std::vector<uint8_t> &bytes, const std::string &what,
                                                 std::string &error)
{
    if (bytes.size() < kReplayMagicSize || std::memcmp(bytes.data(), kReplayMagic, kReplayMagicSize) != 0) {
        error = what + ": not a boardsim replay bundle";
        return std::nullopt;
    }
    if (bytes.size() < kHeadSize + 8) {
        error = what + ": cut short (" + std::to_string(bytes.size()) + " bytes)";
        return std::nullopt;
    }
    board::StateReader head(bytes.data() + kReplayMagicSize, 12, what);
    uint32_t version = head.u32();
    uint64_t length = head.u64();
    if (version != kVersion) {
        error = what + ": a replay bundle of version " + std::to_string(version) + "; this boardsim reads version " +
                std::to_string(kVersion);
        return std::nullopt;
    }
    if (length > bytes.size() - kHeadSize - 8) {
        error = what + ": cut short (" + std::to_string(bytes.size()) + " bytes of " +
                std::to_string(kHeadSize + length + 8) + ")";
        return std::nullopt;
    }
    if (length != bytes.size() - kHeadSize - 8) {
        error = what + ": " + std::to_string(bytes.size() - kHeadSize - 8 - length) + " bytes after the bundle's end";
        return std::nullopt;
    }
    size_t summed = kHeadSize + length;
    if (fnv1a64(bytes.data(), summed) != get_u64(bytes.data() + summed)) {
        error = what + ": damaged or edited (its checksum does not match its contents)";
        return std::nullopt;
    }
    try {
        board::StateReader r(bytes.data() + kHeadSize, length, what);
        ReplayBundle b;
        b.image = r.text();
        b.image_hash = r.u64();
        b.crystal_hz = r.u32();
        b.bounce = r.u32();
        b.bounce_window = r.u64();
        b.seed = r.u64();
        b.exact = get_flag(r, "exact");
        b.serial = r.u8();
        if (b.serial > 2) r.fail("an unknown serial line " + std::to_string(b.serial));
        b.boot_program = get_flag(r, "boot program");
        bool has_duration = get_flag(r, "duration");
        b.duration = r.u64();
        if (!has_duration) b.duration.reset();
        b.mode = r.text();
        b.command = r.text();
        b.flash = get_blob(r, 512 * 1024, "the serial flash");
        b.chip_flash = get_blob(r, 256 * 1024, "the chip's flash");
        b.chip_nvm = get_blob(r, 4, "the chip's flash bits");
        uint64_t n = r.u64();
        // Each input takes at least 41 bytes: a count beyond that is a lie.
        if (n > r.left() / 41) r.fail("more inputs announced than it holds");
        b.inputs.reserve(n);
        for (uint64_t i = 0; i < n; ++i) b.inputs.push_back(InputEvent::load(r));
        b.end.cycle = r.u64();
        b.end.instructions = r.u64();
        b.end.time = r.u64();
        if (!r.at_end()) r.fail(std::to_string(r.left()) + " unread bytes at the end of its body");
        return b;
    } catch (const board::SnapshotError &e) {
        error = e.what();
        return std::nullopt;
    }
}

bool ReplayBundle::write(const std::string &path, std::string &error) const
{
    auto bytes = encode();
    return simtools::write_output(path, bytes.data(), bytes.size(), error);
}

std::optional<ReplayBundle> ReplayBundle::read(const std::string &path, std::string &error)
{
    auto bytes = read_file(path, error);
    if (!bytes) return std::nullopt;
    return decode(*bytes, path, error);
}

}  // namespace sim
