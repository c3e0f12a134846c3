#include "platform/net.h"

#include "platform/errors.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fernhollow::platform {

UniqueFd createTcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) raiseErrno("socket");
    return UniqueFd(fd);
}

void allowAddressReuse(int fd) {
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) raiseErrno("setsockopt(SO_REUSEADDR)");
}

std::optional<std::uint32_t> resolveIpv4(const std::string& host) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) return ntohl(parsed.s_addr);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
    std::uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return address;
}

bool bindIpv4(int fd, std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
}

void makeNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) raiseErrno("fcntl(O_NONBLOCK)");
}

void listenOn(int fd, int backlog) {
    if (::listen(fd, backlog) != 0) raiseErrno("listen");
}

std::uint16_t localPort(int fd) {
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) raiseErrno("getsockname");
    return ntohs(bound.sin_port);
}

std::vector<std::string> ownIpv4Addresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        in_addr address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) continue;
        if (isLoopback(ntohl(address.s_addr))) addresses.insert(addresses.begin(), text);
        else addresses.emplace_back(text);
    }
    ::freeifaddrs(list);
    return addresses;
}

bool isLoopback(std::uint32_t address) {
    return (address >> 24) == 127;
}

UniqueFd acceptConnection(int listener, int& error) {
    for (;;) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) return UniqueFd(fd);
        if (errno == EINTR) continue;
        error = errno;
        return UniqueFd();
    }
}

bool isDescriptorExhaustion(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

std::int64_t descriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur > static_cast<rlim_t>(INT64_MAX))
        return INT64_MAX;
    return static_cast<std::int64_t>(limit.rlim_cur);
}

bool isNothingWaiting(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

std::string peerAddress(int fd) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) raiseNetworkErrno("getpeername");
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

void waitReady(std::vector<Readiness>& entries, int timeoutMs) {
    // An entry that wants nothing is left out: a hang-up would still be
    // reported for it, and end every wait at once.
    std::vector<pollfd> polled;
    std::vector<std::size_t> from;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].readable = entries[i].writable = false;
        if (!entries[i].wantRead && !entries[i].wantWrite) continue;
        short events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) | (entries[i].wantWrite ? POLLOUT : 0));
        polled.push_back(pollfd{entries[i].fd, events, 0});
        from.push_back(i);
    }
    int ready;
    do {
        ready = ::poll(polled.data(), polled.size(), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) raiseErrno("poll");
    for (std::size_t k = 0; k < polled.size(); ++k) {
        Readiness& entry = entries[from[k]];
        bool failed = (polled[k].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        entry.readable = failed || (polled[k].revents & POLLIN) != 0;
        entry.writable = failed || (polled[k].revents & POLLOUT) != 0;
    }
}

std::optional<std::size_t> receiveSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
        raiseNetworkErrno("recv");
    }
}

std::size_t sendSome(int fd, std::string_view bytes, bool moreFollows) {
    // MSG_DONTWAIT too, so that a socket someone left blocking never waits either.
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (moreFollows ? MSG_MORE : 0);
    for (;;) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), flags);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        raiseNetworkErrno("send");
    }
}

std::optional<std::size_t> sendFileSome(int fd, int file, std::size_t count) {
    for (;;) {
        // The system copies the file to the socket itself: no byte passes through the server.
        ssize_t n = ::sendfile(fd, file, nullptr, count);
        if (n > 0) return static_cast<std::size_t>(n);
        if (n == 0) return std::nullopt;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) raiseNetworkErrno("sendfile");
        raiseErrno("sendfile");
    }
}

void shutdownBoth(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

std::pair<UniqueFd, UniqueFd> socketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) raiseErrno("socketpair");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void ignoreBrokenPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace fernhollow::platform
