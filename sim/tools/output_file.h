// The files a run writes (traces, waveforms, reports, pictures, the serial
// flash), each written in full or not at all, and each checked before the
// run starts so that a bad path costs no run.
//
// What a path is decides how it is written:
// - a regular file, or none yet: the contents go to an unnamed temporary file
//   in the same directory, which is given a name and renamed over the target
//   only when complete. It keeps the old file's mode and owner (a new one
//   gets 0666 less the umask). A run that is killed leaves nothing behind.
// - a symbolic link is followed; its target is replaced, in its own directory.
// - a regular file with other hard links is rewritten in place at the end,
//   so that every name sees the new contents.
// - a character device (/dev/null, a terminal) or a FIFO that has a reader
//   is written directly, as it comes.
// - a directory, socket, block device, a read-only file, a directory without
//   write permission, or a FIFO without a reader is refused.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

namespace simtools {

struct OutputPlan {
    enum class How { Replace, InPlace, Direct };
    std::string path;     // as given, for messages
    std::string target;   // symbolic links followed
    How how = How::Replace;
    bool exists = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    dev_t device = 0;
    ino_t inode = 0;

    // The same file as `other` (or the same name, for files not there yet).
    bool same_file(const OutputPlan &other) const;
};

// Looks at `path` without changing anything; nullopt with a message naming
// the path when it cannot be written.
std::optional<OutputPlan> plan_output(const std::string &path, std::string &error);

class OutputFile {
public:
    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool open(const std::string &path, std::string &error);
    bool is_open() const { return fd_ >= 0; }
    std::ostream &stream() { return out_; }
    // The same file for C stdio writers; use one of stream() and file().
    FILE *file();
    // Completes the file; false with a message when it could not be written.
    bool commit(std::string &error);

private:
    bool fail(const std::string &why, std::string &error);
    void discard();

    OutputPlan plan_;
    int fd_ = -1;
    std::string named_temporary_;   // where no unnamed temporary file can be made
    std::unique_ptr<std::streambuf> buffer_;
    FILE *file_ = nullptr;
    std::ostream out_;
};

// Writes `size` bytes as one output file.
bool write_output(const std::string &path, const void *data, size_t size, std::string &error);

}  // namespace simtools
