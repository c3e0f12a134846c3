// The listener and the connection loop: one thread that waits for whichever
// connection can go on, and never on one of them. The loop knows no feature:
// it hands bytes to each connection's RequestHandler and sends what waits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fernhollow {

// When the head of a connection must be whole: `idle` after its first byte
// came at `firstByte`; time_point::max() (never) while no byte has come
// (`firstByte` time_point::max()) or once `headWhole`.
std::chrono::steady_clock::time_point headDeadline(std::chrono::steady_clock::time_point firstByte, bool headWhole,
                                                   std::chrono::milliseconds idle);

// How long the loop may wait: until `earliestDeadline`, the first moment a
// connection is due to be closed, never longer than `longest`, never below 0
// (time_point::max() when none is due).
std::chrono::milliseconds loopWait(std::chrono::steady_clock::time_point now,
                                   std::chrono::steady_clock::time_point earliestDeadline,
                                   std::chrono::milliseconds longest);

// How many connections may be open when `descriptors` are theirs to use
// (the process's limit, or the connections open when the system ran out),
// keeping the reserved descriptors free for the server's own use (at least one).
std::size_t connectionCapacity(std::int64_t descriptors);

// Whether the listener is bound to a loopback address; requests naming
// another host are then refused. Set once by runServer.
extern bool listenerIsLoopback;

// The addresses of the list page a person may open: the listener's own
// address `ip` as written (bound to `bound`), or for the any-address
// 0.0.0.0 each of the machine's `own` addresses.
std::vector<std::string> listPageAddresses(const std::string& ip, std::uint32_t bound, std::uint16_t port,
                                           const std::vector<std::string>& own);

// Opens the listener and runs the connection loop; returns only with the
// exit status of a failed bind.
int runServer();

} // namespace fernhollow
