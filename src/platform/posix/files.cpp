#include "platform/files.h"

#include "platform/errors.h"

#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <ctime>
#include <unistd.h>

namespace fernhollow::platform {

namespace {

// The system reads a name only up to its first NUL byte, so a path holding one
// would reach a different, shorter name: such a path names nothing.
bool holdsNul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

// A path as the system takes it; one holding a NUL byte is refused.
const char* systemPath(const std::string& path) {
    if (holdsNul(path))
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "path with a NUL byte");
    return path.c_str();
}

} // namespace

EntryKind entryKind(const std::string& path) {
    struct stat info{};
    if (holdsNul(path) || ::stat(path.c_str(), &info) != 0) return EntryKind::Missing;
    return S_ISDIR(info.st_mode) ? EntryKind::Directory : EntryKind::File;
}

std::int64_t fileSize(const std::string& path) {
    struct stat info{};
    if (::stat(systemPath(path), &info) != 0) raiseErrno("stat " + path);
    return static_cast<std::int64_t>(info.st_size);
}

namespace {

// The stamp the system keeps for a file: its inode, size, modification and
// status-change times (to the nanosecond where the file system keeps them).
FileStamp stampOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_ino), static_cast<std::int64_t>(info.st_size),
            std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec,
            std::int64_t{info.st_ctim.tv_sec} * 1'000'000'000 + info.st_ctim.tv_nsec};
}

} // namespace

FileStamp fileStamp(int fd) {
    struct stat info{};
    if (::fstat(fd, &info) != 0) raiseErrno("fstat");
    return stampOf(info);
}

FileStamp fileStampAt(const std::string& path) {
    struct stat info{};
    if (::stat(systemPath(path), &info) != 0) raiseErrno("stat " + path);
    return stampOf(info);
}

void makeFolders(const std::string& path) {
    // Each folder from the top down; one that stands already is fine.
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        std::string folder = path.substr(0, at);
        if (!folder.empty() && ::mkdir(systemPath(folder), 0777) != 0 && errno != EEXIST) raiseErrno("mkdir " + folder);
        if (at == std::string::npos) return;
    }
}

UniqueFd openForReading(const std::string& path) {
    int fd = ::open(systemPath(path), O_RDONLY | O_CLOEXEC);
    if (fd < 0) raiseErrno("open " + path);
    return UniqueFd(fd);
}

UniqueFd openNullDevice() {
    return openForReading("/dev/null");
}

UniqueFd createExclusive(const std::string& path) {
    int fd = ::open(systemPath(path), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) raiseErrno("open " + path);
    return UniqueFd(fd);
}

UniqueFd createFreshPrivateFile(const std::string& path) {
    removeFile(path);
    // O_EXCL with O_CREAT never follows a link: whatever appeared meanwhile fails the open.
    UniqueFd fd(::open(systemPath(path), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) raiseErrno("open " + path);
    // The umask may have taken bits away, never added any; 0600 exactly, as documented.
    if (::fchmod(fd.get(), 0600) != 0) raiseErrno("fchmod " + path);
    return fd;
}

void rewindFile(int fd) {
    if (::lseek(fd, 0, SEEK_SET) != 0) raiseErrno("lseek");
}

bool sameFile(const std::string& first, const std::string& second) {
    struct stat one{}, two{};
    if (holdsNul(first) || holdsNul(second) || ::stat(first.c_str(), &one) != 0 || ::stat(second.c_str(), &two) != 0)
        return false;
    return one.st_dev == two.st_dev && one.st_ino == two.st_ino;
}

std::optional<std::string> resolvedPath(const std::string& path) {
    if (holdsNul(path)) return std::nullopt;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
    return std::string(resolved);
}

std::size_t readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) raiseErrno("read");
    }
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            raiseErrno("write");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void truncateFile(int fd, std::int64_t size) {
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) raiseErrno("ftruncate");
    if (::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) raiseErrno("lseek");
}

void syncFile(int fd) {
    if (::fsync(fd) != 0) raiseErrno("fsync");
}

void syncDirectory(const std::string& path) {
    UniqueFd dir(::open(systemPath(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) raiseErrno("open " + path);
    if (::fsync(dir.get()) != 0) raiseErrno("fsync " + path);
}

void copyPermissions(const std::string& model, int fd) {
    struct stat info{};
    if (holdsNul(model) || ::stat(model.c_str(), &info) != 0) return;
    if (::fchmod(fd, info.st_mode & 07777) != 0) raiseErrno("fchmod");
}

void defaultPermissions(int fd) {
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) raiseErrno("fchmod");
}

void renameReplacing(const std::string& from, const std::string& to) {
    if (::rename(systemPath(from), systemPath(to)) != 0) raiseErrno("rename " + from + " " + to);
}

void hardLink(const std::string& from, const std::string& to) {
    if (::link(systemPath(from), systemPath(to)) != 0) raiseErrno("link " + from + " " + to);
}

void removeFile(const std::string& path) {
    if (::unlink(systemPath(path)) != 0 && errno != ENOENT) raiseErrno("unlink " + path);
}

std::optional<std::int64_t> statusChangeTime(const std::string& path) {
    struct stat info{};
    if (holdsNul(path) || ::lstat(path.c_str(), &info) != 0) return std::nullopt;
    return std::int64_t{info.st_ctim.tv_sec} * 1'000'000'000 + info.st_ctim.tv_nsec;
}

void keepFileSizeLimitAWriteFailure() {
    ::signal(SIGXFSZ, SIG_IGN);
}

std::tm localTimeOf(std::int64_t fileTime) {
    std::time_t seconds = static_cast<std::time_t>(epochSecondsOf(fileTime));
    std::tm local{};
    ::localtime_r(&seconds, &local);
    return local;
}

std::int64_t epochSecondsOf(std::int64_t fileTime) {
    // File times here are nanoseconds since the epoch.
    return fileTime >= 0 ? fileTime / 1'000'000'000 : -((-fileTime + 999'999'999) / 1'000'000'000);
}

void copyFile(const std::string& from, const std::string& to) {
    UniqueFd source = openForReading(from);
    UniqueFd target = createExclusive(to);
    try {
        char buffer[65536];
        while (std::size_t n = readSome(source.get(), buffer, sizeof buffer))
            writeAll(target.get(), std::string_view(buffer, n));
        defaultPermissions(target.get());
        syncFile(target.get());
    } catch (const std::system_error&) {
        // A part of the file (the disk filled) is no copy of it.
        ::unlink(systemPath(to));
        throw;
    }
}

std::tm localTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local;
}

std::int64_t fileClockNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

std::vector<std::string> listDirectory(const std::string& path) {
    // An empty root means the current directory.
    DIR* dir = ::opendir(path.empty() ? "." : systemPath(path));
    if (dir == nullptr) raiseErrno("opendir " + path);
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(dir);
    return names;
}

} // namespace fernhollow::platform
