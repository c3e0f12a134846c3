// The smallest sender of a page the way Fernhollow sends one: for every
// connection, read the request head, send a 200 head in one send, then the
// file in 1300-byte read() + send() pieces, and close. One thread, blocking
// sockets, no logging: the figure Fernhollow's page throughput is held to.
//
// Usage: bench_reference_sender PORT FILE   (listens on 127.0.0.1:PORT)
#include "loopback_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t pieceSize = 1300;

// Sends every byte; false when the peer has gone.
bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until the empty line that ends the request head; false when the peer
// closed or failed first.
bool readHead(int fd) {
    std::string head;
    char buffer[16384];
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        head.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

void serve(int connection, const char* path) {
    if (!readHead(connection)) return;
    int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) return;
    struct stat info{};
    ::fstat(file, &info);
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                       std::to_string(info.st_size) + "\r\nCache-control: no-store\r\nPragma: no-cache\r\n\r\n";
    if (sendAll(connection, head.data(), head.size())) {
        char piece[pieceSize];
        for (;;) {
            ssize_t n = ::read(file, piece, sizeof piece);
            if (n <= 0 || !sendAll(connection, piece, static_cast<std::size_t>(n))) break;
        }
    }
    ::close(file);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT FILE\n", argv[0]);
        return 2;
    }
    return serveOnLoopback(argv[1], [&](int connection) { serve(connection, argv[2]); });
}
