#include "sim/tools/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <filesystem>
#include <thread>

namespace simtools {

namespace {

// How long an output FIFO may go without a reader before the run refuses it.
constexpr std::chrono::milliseconds kReaderGrace{2000};

std::string directory_of(const std::string &path)
{
    std::string d = std::filesystem::path(path).parent_path().string();
    return d.empty() ? "." : d;
}

// The file a chain of symbolic links ends at (which need not exist yet).
std::optional<std::string> follow_links(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        char buf[PATH_MAX];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        if (n < 0) return path;
        std::string to(buf, static_cast<size_t>(n));
        path = to[0] == '/' ? to : directory_of(path) + "/" + to;
    }
    return std::nullopt;
}

mode_t new_file_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool write_all(int fd, const char *data, size_t size)
{
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool OutputPlan::same_file(const OutputPlan &other) const
{
    if (exists && other.exists) return device == other.device && inode == other.inode;
    if (exists || other.exists) return false;
    std::error_code a, b;
    return std::filesystem::weakly_canonical(target, a) == std::filesystem::weakly_canonical(other.target, b);
}

std::optional<OutputPlan> plan_output(const std::string &path, std::string &error)
{
    auto refuse = [&](const std::string &why) -> std::optional<OutputPlan> {
        error = path + ": " + why;
        return std::nullopt;
    };
    if (path.empty()) {
        error = "an output file name is empty";
        return std::nullopt;
    }
    OutputPlan plan;
    plan.path = path;
    auto target = follow_links(path);
    if (!target) return refuse("cannot write (too many levels of symbolic links)");
    plan.target = *target;
    std::string dir = directory_of(plan.target);
    struct stat st;
    if (stat(plan.target.c_str(), &st) != 0) {
        if (errno != ENOENT) return refuse(std::string("cannot write (") + std::strerror(errno) + ")");
        struct stat ds;
        if (stat(dir.c_str(), &ds) != 0) return refuse(std::string("cannot write (") + std::strerror(errno) + ")");
        if (!S_ISDIR(ds.st_mode)) return refuse("cannot write (" + dir + " is not a directory)");
        if (access(dir.c_str(), W_OK | X_OK) != 0) return refuse("cannot write (no permission to create files in " + dir + ")");
        return plan;
    }
    plan.exists = true;
    plan.mode = st.st_mode;
    plan.uid = st.st_uid;
    plan.gid = st.st_gid;
    plan.device = st.st_dev;
    plan.inode = st.st_ino;
    if (S_ISDIR(st.st_mode)) return refuse("is a directory");
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        if (access(plan.target.c_str(), W_OK) != 0) return refuse(std::string("cannot write (") + std::strerror(errno) + ")");
        plan.how = OutputPlan::How::Direct;
        return plan;
    }
    if (!S_ISREG(st.st_mode))
        return refuse(std::string("is a ") + (S_ISSOCK(st.st_mode) ? "socket" : S_ISBLK(st.st_mode) ? "block device" : "special file") +
                      "; outputs go to regular files, character devices or FIFOs");
    if ((st.st_mode & 0222) == 0 || access(plan.target.c_str(), W_OK) != 0) return refuse("is read-only");
    if (st.st_nlink > 1) {
        plan.how = OutputPlan::How::InPlace;
        return plan;
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return refuse("cannot be replaced (no permission to create files in " + dir + ")");
    return plan;
}

OutputFile::OutputFile() : out_(nullptr) {}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard()
{
    out_.rdbuf(nullptr);
    buffer_.reset();
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!named_temporary_.empty()) ::unlink(named_temporary_.c_str());
    named_temporary_.clear();
}

bool OutputFile::fail(const std::string &why, std::string &error)
{
    error = plan_.path + ": " + why;
    discard();
    return false;
}

bool OutputFile::open(const std::string &path, std::string &error)
{
    discard();
    auto plan = plan_output(path, error);
    if (!plan) return false;
    plan_ = *plan;
    if (plan_.how == OutputPlan::How::Direct) {
        bool fifo = S_ISFIFO(plan_.mode);
        // A FIFO nobody reads would hold the open (and the run) for ever.
        // A reader started together with the run (`cat fifo & boardsim
        // ...`) may not have opened it yet: it gets a moment.
        const auto give_up = std::chrono::steady_clock::now() + kReaderGrace;
        for (;;) {
            fd_ = ::open(plan_.target.c_str(), O_WRONLY | O_CLOEXEC | (fifo ? O_NONBLOCK : 0));
            if (fd_ >= 0 || errno != ENXIO || std::chrono::steady_clock::now() >= give_up) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (fd_ < 0)
            return fail(errno == ENXIO ? "is a FIFO that nobody reads" : std::string("cannot write (") + std::strerror(errno) + ")",
                        error);
        if (fifo) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    } else {
        std::string dir = directory_of(plan_.target);
        fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            // Some file systems have no unnamed files: a named one, removed if the run ends early.
            named_temporary_ = dir + "/." + std::filesystem::path(plan_.target).filename().string() + ".tmp-XXXXXX";
            fd_ = mkostemp(named_temporary_.data(), O_CLOEXEC);
            if (fd_ < 0) {
                named_temporary_.clear();
                return fail(std::string("cannot create a temporary file next to it (") + std::strerror(errno) + ")", error);
            }
            fchmod(fd_, new_file_mode());
        }
        if (plan_.exists) {
            fchmod(fd_, plan_.mode & 07777);
            // Only root may give a file away; anyone else's new file stays theirs.
            [[maybe_unused]] int kept = fchown(fd_, plan_.uid, plan_.gid);
        }
    }
    int own = ::dup(fd_);
    if (own < 0) return fail(std::string("cannot write (") + std::strerror(errno) + ")", error);
    buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(own, std::ios::out | std::ios::binary, 1 << 16);
    out_.rdbuf(buffer_.get());
    out_.clear();
    return true;
}

FILE *OutputFile::file()
{
    if (!file_ && fd_ >= 0) file_ = fdopen(::dup(fd_), "wb");
    return file_;
}

bool OutputFile::commit(std::string &error)
{
    if (fd_ < 0) return true;
    out_.flush();
    bool ok = !out_.fail();
    if (file_) {
        ok = std::fflush(file_) == 0 && ok;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
    }
    if (!ok) return fail(std::string("could not be written (") + std::strerror(errno) + ")", error);
    if (plan_.how == OutputPlan::How::Direct) {
        discard();
        return true;
    }
    if (fsync(fd_) != 0) return fail(std::string("could not be written (") + std::strerror(errno) + ")", error);
    if (plan_.how == OutputPlan::How::InPlace) {
        int to = ::open(plan_.target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (to < 0) return fail(std::string("cannot write (") + std::strerror(errno) + ")", error);
        char buf[1 << 16];
        ssize_t n = 0;
        bool copied = lseek(fd_, 0, SEEK_SET) == 0;
        while (copied && (n = ::read(fd_, buf, sizeof buf)) > 0) copied = write_all(to, buf, static_cast<size_t>(n));
        copied = n == 0 && copied;
        copied = fsync(to) == 0 && copied;
        copied = ::close(to) == 0 && copied;
        if (!copied) return fail(std::string("could not be written (") + std::strerror(errno) + ")", error);
        discard();
        return true;
    }
    std::string from = named_temporary_;
    if (from.empty()) {
        // Give the unnamed file a name beside the target, then rename it over.
        std::string proc = "/proc/self/fd/" + std::to_string(fd_);
        std::string base = directory_of(plan_.target) + "/." + std::filesystem::path(plan_.target).filename().string() +
                           ".tmp" + std::to_string(::getpid()) + "-";
        for (int k = 0; from.empty() && k < 100; ++k) {
            std::string name = base + std::to_string(k);
            if (linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
                from = name;
            else if (errno != EEXIST)
                break;
        }
        if (from.empty()) return fail(std::string("could not be written (") + std::strerror(errno) + ")", error);
        named_temporary_ = from;
    }
    if (std::rename(from.c_str(), plan_.target.c_str()) != 0)
        return fail(std::string("could not be written (") + std::strerror(errno) + ")", error);
    named_temporary_.clear();
    discard();
    return true;
}

bool write_output(const std::string &path, const void *data, size_t size, std::string &error)
{
    OutputFile f;
    if (!f.open(path, error)) return false;
    f.stream().write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    return f.commit(error);
}

}  // namespace simtools
