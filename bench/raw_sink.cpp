// The least a save can cost: for every connection, read the request head,
// take its Content-Length, write the body into a file as it arrives, flush
// the file to disk when asked, and answer a bare 200. One thread, blocking
// sockets, no parsing of the body: the figure a page save is held to.
//
// In replace mode it does the least a save in place (PUT) must do to leave
// either the old page or the whole new one on disk, whatever happens: the body
// goes into a temporary file beside FILE, which is flushed and renamed over
// FILE, the folder is flushed so the rename lasts, and the answer is a bare 204.
//
// Usage: bench_raw_sink PORT FILE fsync|nofsync|replace   (listens on 127.0.0.1:PORT)
#include "loopback_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The Content-Length value of a request head (any letter case); -1 when absent.
long long contentLength(const std::string& head) {
    std::string lowered = head;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t at = lowered.find("\r\ncontent-length:");
    if (at == std::string::npos) return -1;
    return std::atoll(head.c_str() + at + 17);
}

enum class Mode { plain, flush, replace };

// Flushes the folder holding `path` to disk, so that a rename in it lasts.
bool flushFolder(const std::string& path) {
    std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

void serve(int connection, const char* path, Mode mode) {
    std::string head;
    std::vector<char> buffer(1 << 16);
    std::size_t headEnd;
    while ((headEnd = head.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(connection, buffer.data(), buffer.size(), 0);
        if (n <= 0) return;
        head.append(buffer.data(), static_cast<std::size_t>(n));
    }
    long long remaining = contentLength(head);
    if (remaining < 0) return;
    std::string target = mode == Mode::replace ? std::string(path) + ".tmp" : std::string(path);
    int file = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return;
    std::size_t early = head.size() - (headEnd + 4);
    bool ok = writeAll(file, head.data() + headEnd + 4, early);
    remaining -= static_cast<long long>(early);
    while (ok && remaining > 0) {
        ssize_t n = ::recv(connection, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        ok = writeAll(file, buffer.data(), static_cast<std::size_t>(n));
        remaining -= n;
    }
    if (ok && mode != Mode::plain) ok = ::fsync(file) == 0;
    ::close(file);
    if (!ok || remaining != 0) return;
    if (mode == Mode::replace) {
        if (::rename(target.c_str(), path) != 0 || !flushFolder(path)) return;
        static const char answer[] = "HTTP/1.1 204 No Content\r\n\r\n";
        ::send(connection, answer, sizeof answer - 1, MSG_NOSIGNAL);
        return;
    }
    static const char answer[] = "HTTP/1.1 200 OK\r\n\r\n";
    ::send(connection, answer, sizeof answer - 1, MSG_NOSIGNAL);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT FILE fsync|nofsync|replace\n", argv[0]);
        return 2;
    }
    Mode mode = std::strcmp(argv[3], "fsync") == 0     ? Mode::flush
                : std::strcmp(argv[3], "replace") == 0 ? Mode::replace
                                                       : Mode::plain;
    return serveOnLoopback(argv[1], [&](int connection) { serve(connection, argv[2], mode); });
}
