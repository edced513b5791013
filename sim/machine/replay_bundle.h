// A recorded run, in one file: what `boardsim --replay` needs to run it again
// exactly, with no outside input.
//
// Format (version 1), every number little-endian:
//   16 bytes   "BOARDSIM-REPLAY\n"
//   u32        version (1)
//   u64        length L of the body
//   L bytes    the body:
//     text     the image's path as given ("" when the chip booted its flash)
//     u64      FNV-1a 64 hash of the image file (0 without an image)
//     u32 crystal Hz, u32 bounce transitions, u64 bounce window (ps),
//     u64 bounce seed, u8 exact, u8 serial line (0 none, 1 pty, 2 stdio),
//     u8 boot program (--samba), u8 0 or 1 and u64 --for (ps): with the boot
//     program, --for counts from the chip's reset, and the replay runs the
//     same loop
//     text     how the run was driven (headless, view, scenario, gdb, samba)
//     text     the command line
//     3 x blob the serial flash, the chip's flash and its non-volatile bits as
//              the run started (u8 0: none; u8 1, u64 size, the bytes)
//     u64      number of inputs, then each input (InputEvent::save)
//     u64 cycle, u64 instructions, u64 time (ps) where the run ended
//   u64        FNV-1a 64 hash of everything before it
// A text is a u32 length and its bytes. Anything else (another magic, another
// version, a cut or an edit, bytes after the end) is refused with a message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/clock.h"
#include "sim/machine/input_log.h"

namespace sim {

struct ReplayBundle {
    static constexpr uint32_t kVersion = 1;

    std::string image;
    uint64_t image_hash = 0;
    uint32_t crystal_hz = 18432000;
    uint32_t bounce = 0;
    board::Picos bounce_window = 0;
    uint64_t seed = 1;
    bool exact = false;
    uint8_t serial = 0;   // 0 none, 1 pty, 2 stdio
    bool boot_program = false;
    std::optional<board::Picos> duration;
    std::string mode;
    std::string command;
    std::optional<std::vector<uint8_t>> flash, chip_flash, chip_nvm;
    std::vector<InputEvent> inputs;
    struct End {
        uint64_t cycle = 0, instructions = 0;
        board::Picos time = 0;
        bool operator==(const End &) const = default;
    } end;

    std::vector<uint8_t> encode() const;
    // nullopt with `error` (naming `what`) for anything but a whole bundle of this version.
    static std::optional<ReplayBundle> decode(const std::vector<uint8_t> &bytes, const std::string &what, std::string &error);

    bool write(const std::string &path, std::string &error) const;
    static std::optional<ReplayBundle> read(const std::string &path, std::string &error);
};

uint64_t fnv1a64(const uint8_t *data, size_t size, uint64_t hash = 0xcbf29ce484222325ull);
// The hash of a file's contents; nullopt with `error` when it cannot be read.
std::optional<uint64_t> hash_file(const std::string &path, std::string &error);
// Reads a whole file; nullopt with `error`.
std::optional<std::vector<uint8_t>> read_file(const std::string &path, std::string &error);

}  // namespace sim
