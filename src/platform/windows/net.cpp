#include "platform/net.h"

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/windows/win32.h"

#include <cerrno>

namespace fernhollow::platform {

using win32::fromSocket;
using win32::toSocket;

namespace {

// A new IPv4 stream socket that no child process ever inherits.
SOCKET newTcpSocket() {
    win32::startSockets();
    SOCKET socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) win32::raiseLastSocketError("WSASocketW");
    return socket;
}

// Switches blocking mode on or off.
void setBlocking(SOCKET socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) win32::raiseLastSocketError("ioctlsocket(FIONBIO)");
}

} // namespace

UniqueFd createTcpSocket() {
    return UniqueFd(fromSocket(newTcpSocket()));
}

// Windows lets another program bind a port taken with SO_REUSEADDR; exclusive
// use makes a second server fail to bind instead, as on POSIX.
void allowAddressReuse(int fd) {
    BOOL on = TRUE;
    if (::setsockopt(toSocket(fd), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) != 0)
        win32::raiseLastSocketError("setsockopt(SO_EXCLUSIVEADDRUSE)");
}

std::optional<std::uint32_t> resolveIpv4(const std::string& host) {
    win32::startSockets();
    in_addr parsed{};
    if (::inet_pton(AF_INET, host.c_str(), &parsed) == 1) return ntohl(parsed.s_addr);
    std::wstring wideHost;
    try {
        wideHost = win32::wide(host);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(wideHost.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
    std::uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::FreeAddrInfoW(found);
    return address;
}

bool bindIpv4(int fd, std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    return ::bind(toSocket(fd), reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
}

void makeNonBlocking(int fd) {
    setBlocking(toSocket(fd), false);
}

void listenOn(int fd, int backlog) {
    if (::listen(toSocket(fd), backlog) != 0) win32::raiseLastSocketError("listen");
}

std::uint16_t localPort(int fd) {
    sockaddr_in bound{};
    int size = sizeof bound;
    if (::getsockname(toSocket(fd), reinterpret_cast<sockaddr*>(&bound), &size) != 0)
        win32::raiseLastSocketError("getsockname");
    return ntohs(bound.sin_port);
}

std::vector<std::string> ownIpv4Addresses() {
    win32::startSockets();
    // The machine's own name resolves to the addresses of its interfaces.
    std::vector<std::string> addresses{"127.0.0.1"};
    wchar_t name[256] = {};
    if (::GetHostNameW(name, 256) != 0) return addresses;
    ADDRINFOW hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(name, nullptr, &hints, &found) != 0) return addresses;
    for (ADDRINFOW* entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[INET_ADDRSTRLEN] = {};
        in_addr address = reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr;
        if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr || isLoopback(ntohl(address.s_addr))) continue;
        addresses.emplace_back(text);
    }
    ::FreeAddrInfoW(found);
    return addresses;
}

bool isLoopback(std::uint32_t address) {
    return (address >> 24) == 127;
}

UniqueFd acceptConnection(int listener, int& error) {
    // Errors are handed on as errno values, which the loop words in its message.
    SOCKET accepted = ::accept(toSocket(listener), nullptr, nullptr);
    if (accepted == INVALID_SOCKET) {
        error = win32::errnoOf(static_cast<DWORD>(::WSAGetLastError()));
        return UniqueFd();
    }
    UniqueFd owner(fromSocket(accepted));
    // An accepted socket takes the listener's non-blocking mode, which the
    // loop wants, and its inheritability, which it must not have.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    if (::ioctlsocket(accepted, FIONBIO, &nonBlocking) != 0) {
        error = win32::errnoOf(static_cast<DWORD>(::WSAGetLastError()));
        return UniqueFd();
    }
    return owner;
}

bool isDescriptorExhaustion(int error) {
    return error == EMFILE || error == ENOBUFS;
}

// Windows sets no per-process limit on sockets; memory bounds them instead
// (an accept then fails with WSAENOBUFS, handled as exhaustion).
std::int64_t descriptorLimit() {
    return INT64_MAX;
}

bool isNothingWaiting(int error) {
    return error == EWOULDBLOCK;
}

std::string peerAddress(int fd) {
    sockaddr_in peer{};
    int size = sizeof peer;
    if (::getpeername(toSocket(fd), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        win32::raiseLastSocketError("getpeername");
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

void waitReady(std::vector<Readiness>& entries, int timeoutMs) {
    // An entry that wants nothing is left out: a hang-up would still be
    // reported for it, and end every wait at once.
    std::vector<WSAPOLLFD> polled;
    std::vector<std::size_t> from;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].readable = entries[i].writable = false;
        if (!entries[i].wantRead && !entries[i].wantWrite) continue;
        short events = static_cast<short>((entries[i].wantRead ? POLLRDNORM : 0) | (entries[i].wantWrite ? POLLWRNORM : 0));
        polled.push_back(WSAPOLLFD{toSocket(entries[i].fd), events, 0});
        from.push_back(i);
    }
    int ready = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMs);
    if (ready == SOCKET_ERROR) win32::raiseLastSocketError("WSAPoll");
    for (std::size_t k = 0; k < polled.size(); ++k) {
        Readiness& entry = entries[from[k]];
        bool failed = (polled[k].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        entry.readable = failed || (polled[k].revents & POLLRDNORM) != 0;
        entry.writable = failed || (polled[k].revents & POLLWRNORM) != 0;
    }
}

std::optional<std::size_t> receiveSome(int fd, char* buffer, std::size_t size) {
    int wanted = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    int n = ::recv(toSocket(fd), buffer, wanted, 0);
    if (n == SOCKET_ERROR) {
        if (::WSAGetLastError() == WSAEWOULDBLOCK) return std::nullopt;
        win32::raiseLastSocketError("recv");
    }
    return static_cast<std::size_t>(n);
}

// Windows has no hint for more bytes to come; `moreFollows` is ignored.
std::size_t sendSome(int fd, std::string_view bytes, bool) {
    int wanted = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<int>(bytes.size());
    int n = ::send(toSocket(fd), bytes.data(), wanted, 0);
    if (n == SOCKET_ERROR) {
        if (::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
        win32::raiseLastSocketError("send");
    }
    return static_cast<std::size_t>(n);
}

// Windows' own file sending blocks a non-blocking socket's caller: the file
// is read here and what the socket does not take is read again next time.
std::optional<std::size_t> sendFileSome(int fd, int file, std::size_t count) {
    constexpr std::size_t piece = 256 * 1024;
    std::string bytes(count < piece ? count : piece, '\0');
    std::size_t filled = readSome(file, bytes.data(), bytes.size());
    if (filled == 0) return std::nullopt;
    std::size_t taken = sendSome(fd, std::string_view(bytes.data(), filled));
    if (taken < filled) {
        LARGE_INTEGER back;
        back.QuadPart = -static_cast<LONGLONG>(filled - taken);
        if (!::SetFilePointerEx(win32::toHandle(file), back, nullptr, FILE_CURRENT))
            win32::raiseLastError("SetFilePointerEx");
    }
    return taken;
}

void shutdownBoth(int fd) {
    ::shutdown(toSocket(fd), SD_BOTH);
}

// Windows has no socketpair: two ends of a loopback TCP connection.
std::pair<UniqueFd, UniqueFd> socketPair() {
    UniqueFd listener(fromSocket(newTcpSocket()));
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof where;
    if (::bind(toSocket(listener.get()), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::getsockname(toSocket(listener.get()), reinterpret_cast<sockaddr*>(&where), &size) != 0 ||
        ::listen(toSocket(listener.get()), 1) != 0)
        win32::raiseLastSocketError("socketPair listen");
    UniqueFd first(fromSocket(newTcpSocket()));
    if (::connect(toSocket(first.get()), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0)
        win32::raiseLastSocketError("socketPair connect");
    SOCKET second = ::accept(toSocket(listener.get()), nullptr, nullptr);
    if (second == INVALID_SOCKET) win32::raiseLastSocketError("socketPair accept");
    return {std::move(first), UniqueFd(fromSocket(second))};
}

// Windows has no SIGPIPE: a send to a closed peer fails with an error.
void ignoreBrokenPipes() {}

} // namespace fernhollow::platform
