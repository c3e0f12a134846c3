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

// Accepts one waiting connection; on failure returns no descriptor and sets
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
// Bounds how long one send may block.
void setSendTimeout(int fd, int seconds);

// Waits until some descriptor is readable or the time-out passes; fills
// `readable` with one flag per descriptor (raises when the wait fails).
void waitReadable(const std::vector<int>& fds, int timeoutMs, std::vector<bool>& readable);

// Receives at most `size` bytes; 0 means the peer has closed (raises
// NetworkError on failure).
std::size_t receiveSome(int fd, char* buffer, std::size_t size);
// Sends every byte, never raising SIGPIPE (raises NetworkError on failure or
// when the send time-out passes). `moreFollows` says more of the same answer
// comes next, so a partly filled segment may wait for it; a system with no
// such hint ignores it (Windows has none).
void sendAll(int fd, std::string_view bytes, bool moreFollows = false);
// Shuts the connection down in both directions; failures are ignored.
void shutdownBoth(int fd);

// A connected pair of local stream sockets (for tests and fuzzing).
std::pair<UniqueFd, UniqueFd> socketPair();
// Keeps a peer that closes early from ending the process.
void ignoreBrokenPipes();

} // namespace fernhollow::platform
