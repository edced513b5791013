#include "sim/flash_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

std::optional<FlashFile> FlashFile::open(const std::string &path, std::string &error, size_t size)
{
    FlashFile f;
    f.path_ = path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            error = path + ": " + strerror(errno);
            return std::nullopt;
        }
        f.contents_.assign(size, 0xFF);
        if (!write_atomically(path, f.contents_, error))
            return std::nullopt;
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
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        error = path + ": " + strerror(errno);
        return std::nullopt;
    }
    f.contents_.resize(size);
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, f.contents_.data() + got, size - got);
        if (n <= 0) {
            error = path + ": " + (n < 0 ? strerror(errno) : "shorter than it was a moment ago");
            close(fd);
            return std::nullopt;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    return f;
}

bool FlashFile::save_if_changed(const std::vector<uint8_t> &now, std::string &error)
{
    if (now == contents_)
        return true;
    if (!write_atomically(path_, now, error))
        return false;
    contents_ = now;
    return true;
}

bool write_atomically(const std::string &path, const std::vector<uint8_t> &bytes, std::string &error)
{
    std::string temp = path + ".tmp-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = path + ": cannot create a temporary file next to it: " + strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            error = path + ": " + strerror(errno);
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    fchmod(fd, 0644);
    if (fsync(fd) != 0 || close(fd) != 0) {
        error = path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace sim
