// Network services: the listening socket, accepting, readiness, receiving and
// sending. Addresses are IPv4 in host byte order.
#pragma once

#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <system_error>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow::platform {

// Creates an IPv4 stream socket.
UniqueFd createTcpSocket();
// Lets a restarted server bind while old connections linger in TIME_WAIT.
void allowAddressReuse(int fd);
// Parses a dotted IPv4 address, or resolves `host` to its first IPv4 address.
std::optional<std::uint32_t> resolveIpv4(const std::string& host);
// Binds `fd` to address:port; false when the system refuses.
bool bindIpv4(int fd, std::uint32_t address, std::uint16_t port);
// Makes accepting on `fd` return at once when nothing waits.
void makeNonBlocking(int fd);
// Starts listening with the given backlog.
void listenOn(int fd, int backlog);
// The port `fd` is bound to (the one the system chose for port 0).
std::uint16_t localPort(int fd);
// The dotted IPv4 addresses of this machine's own network interfaces, loopback first.
std::vector<std::string> ownIpv4Addresses();
// Whether an address is in 127.0.0.0/8.
bool isLoopback(std::uint32_t address);

// Accepts one waiting connection, non-blocking like the listener, so that no
// receive or send on it ever waits; on failure returns no descriptor and sets
// `error` to the system's error number.
UniqueFd acceptConnection(int listener, int& error);
// Whether an accept failed for lack of descriptors (or memory for them).
bool isDescriptorExhaustion(int error);
// The most descriptors this process may hold open (the soft limit; a very
// large number when there is none).
std::int64_t descriptorLimit();
// Whether an accept failed only because nothing was waiting any more.
bool isNothingWaiting(int error);
// "a.b.c.d:port" of the peer (raises NetworkError when the socket is gone).
std::string peerAddress(int fd);

// One descriptor of a readiness wait: what is waited for, and what was found.
struct Readiness {
    int fd;
    bool wantRead;
    bool wantWrite;
    bool readable = false;
    bool writable = false;
};

// Waits until some descriptor is ready as wanted or the time-out passes, and
// marks each entry; a peer that hung up or failed counts as ready both ways,
// as the next receive or send reports it; an entry wanting neither is not
// waited on (raises when the wait fails).
void waitReady(std::vector<Readiness>& entries, int timeoutMs);

// Receives at most `size` bytes of a non-blocking socket; 0 means the peer
// has closed, nothing that no byte is waiting (raises NetworkError on failure).
std::optional<std::size_t> receiveSome(int fd, char* buffer, std::size_t size);
// Sends what the socket takes at once of `bytes`, never waiting and never
// raising SIGPIPE; returns how many it took (0 when its buffer is full).
// `moreFollows` says more of the same answer comes next, so a partly filled
// segment may wait for it; a system with no such hint ignores it (Windows
// has none). Raises NetworkError when the peer is gone.
std::size_t sendSome(int fd, std::string_view bytes, bool moreFollows = false);
// Sends what the socket takes at once of the next `count` bytes of the file
// `file` from where it stands (its position moves past what was sent),
// never waiting: how many bytes it took, 0 when the socket's buffer is full,
// nothing when the file has no byte left there. Raises NetworkError when the
// peer is gone, std::system_error when the file cannot be read.
std::optional<std::size_t> sendFileSome(int fd, int file, std::size_t count);
// Shuts the connection down in both directions; failures are ignored.
void shutdownBoth(int fd);

// A connected pair of local stream sockets (for tests and fuzzing).
std::pair<UniqueFd, UniqueFd> socketPair();
// Keeps a peer that closes early from ending the process.
void ignoreBrokenPipes();

} // namespace fernhollow::platform
