#include "sim/tools/output_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace simtools {

OutputFile::~OutputFile()
{
    if (out_.is_open()) {
        out_.close();
        std::error_code ec;
        std::filesystem::remove(temporary_, ec);
    }
}

bool OutputFile::open(const std::string &path, std::string &error)
{
    path_ = path;
    temporary_ = path + ".tmp" + std::to_string(::getpid());
    out_.open(temporary_, std::ios::binary | std::ios::trunc);
    if (!out_) {
        error = path + ": cannot write (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

bool OutputFile::commit(std::string &error)
{
    if (!out_.is_open()) return true;
    out_.flush();
    bool ok = static_cast<bool>(out_);
    out_.close();
    std::error_code ec;
    if (ok) std::filesystem::rename(temporary_, path_, ec);
    if (!ok || ec) {
        std::filesystem::remove(temporary_, ec);
        error = path_ + ": could not be written";
        return false;
    }
    return true;
}

}  // namespace simtools
