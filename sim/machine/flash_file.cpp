#include "sim/machine/flash_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/tools/output_file.h"

namespace sim {

std::optional<FlashFile> FlashFile::open(const std::string &path, std::string &error, size_t size,
                                         const std::optional<std::vector<uint8_t>> &start)
{
    FlashFile f;
    f.path_ = path;
    // Written back at the end: found unwritable now, not after the run.
    if (!simtools::plan_output(path, error))
        return std::nullopt;
    if (start) {
        f.contents_ = *start;
        f.contents_.resize(size, 0xFF);
        f.on_disk_ = false;
        f.overwrite_ = true;
        return f;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            error = path + ": " + strerror(errno);
            return std::nullopt;
        }
        // Created at the end of the run, so that a refused run leaves no file.
        f.contents_.assign(size, 0xFF);
        f.on_disk_ = false;
        return f;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": not a regular file";
        return std::nullopt;
    }
    if (static_cast<uint64_t>(st.st_size) != size) {
        error = path + ": is " + std::to_string(st.st_size) + " bytes; a flash file must be exactly " +
                std::to_string(size) + " bytes (" + std::to_string(size / 1024) + " KiB)";
        return std::nullopt;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return std::nullopt;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + ": " + (errno == EWOULDBLOCK ? "another run is using it (its flash would overwrite this one's at exit)"
                                                    : std::string("cannot lock it: ") + strerror(errno));
        close(fd);
        return std::nullopt;
    }
    f.lock_ = std::shared_ptr<int>(new int(fd), [](int *p) {
        close(*p);
        delete p;
    });
    f.contents_.resize(size);
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, f.contents_.data() + got, size - got);
        if (n <= 0) {
            error = path + ": " + (n < 0 ? strerror(errno) : "shorter than it was a moment ago");
            return std::nullopt;
        }
        got += static_cast<size_t>(n);
    }
    return f;
}

bool FlashFile::save_if_changed(const std::vector<uint8_t> &now, std::string &error)
{
    if (now == contents_ && on_disk_)
        return true;
    struct stat st;
    if (!on_disk_ && !overwrite_ && stat(path_.c_str(), &st) == 0) {
        error = path_ + ": another run created it while this one ran; this run's flash was not written over it";
        return false;
    }
    if (!simtools::write_output(path_, now.data(), now.size(), error))
        return false;
    contents_ = now;
    on_disk_ = true;
    return true;
}

}  // namespace sim
