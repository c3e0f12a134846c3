#include "platform/files.h"

// What both systems build from their own reads.
namespace fernhollow::platform {

void readUpTo(int fd, std::size_t limit, std::string& bytes) {
    bytes.resize(limit);
    std::size_t filled = 0;
    while (filled < limit) {
        std::size_t n = readSome(fd, bytes.data() + filled, limit - filled);
        if (n == 0) break;
        filled += n;
    }
    bytes.resize(filled);
}

std::string readUpTo(int fd, std::size_t limit) {
    std::string bytes;
    readUpTo(fd, limit, bytes);
    return bytes;
}

std::string readToEnd(int fd) {
    std::string content;
    char buffer[65536];
    while (std::size_t n = readSome(fd, buffer, sizeof buffer)) content.append(buffer, n);
    return content;
}

std::string readWholeFile(const std::string& path) {
    UniqueFd file = openForReading(path);
    return readToEnd(file.get());
}

} // namespace fernhollow::platform
