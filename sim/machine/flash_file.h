// A flash's contents kept in a file between runs: the serial flash's
// (512 KiB) or the chip's own (256 KiB). The file holds the whole array; a
// missing file starts erased (all 0xFF) and is created at the end of the
// run, and a file of any other size is refused rather than guessed at. At
// the end of a run the file is written only if the contents changed, and
// then as an output file (output_file.h): a crash or a kill leaves either
// the old file or the new one, never a mix.
//
// One run at a time: a run holds an exclusive lock (flock) on the file it
// opened until it ends, and a second run on the same file is refused at
// start. A file that was missing is created only if it is still missing at
// the end; if another run created it meanwhile, this run's contents are not
// written over it, and that is an error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class FlashFile {
public:
    static constexpr size_t kSize = 512 * 1024;

    // `start`: the contents to begin with instead of the file's (a replay);
    // the file then only receives the contents at the end, whatever it held.
    static std::optional<FlashFile> open(const std::string &path, std::string &error, size_t size = kSize,
                                         const std::optional<std::vector<uint8_t>> &start = std::nullopt);

    const std::string &path() const { return path_; }
    const std::vector<uint8_t> &contents() const { return contents_; }

    // Writes `now` if it differs from the contents last loaded or saved.
    // Returns false with `error` set when the file cannot be written.
    bool save_if_changed(const std::vector<uint8_t> &now, std::string &error);

private:
    std::string path_;
    std::vector<uint8_t> contents_;
    bool on_disk_ = true;
    bool overwrite_ = false;
    std::shared_ptr<int> lock_;   // the locked descriptor, closed with the last copy
};

}  // namespace sim
