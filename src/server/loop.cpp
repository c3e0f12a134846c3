#include "server/loop.h"

#include "access/auth.h"
#include "base/config.h"
#include "base/settings.h"
#include "base/text.h"
#include "http/handling.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/net.h"
#include "server/server.h"

#include <algorithm>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

bool listenerIsLoopback = true;

namespace {

constexpr int listenBacklog = 64;
constexpr int waitTimeoutMs = 60 * 1000;
// Each call of processPacketData takes at most this many bytes, as the
// request assembly has always been fed.
constexpr std::size_t receiveBufferSize = 16384;
// One receive takes up to this many: a large page arrives in far fewer
// passes of the loop (a 20 MiB save took three times as long in 16 KB
// receives), and is still handed on in pieces of the size above.
constexpr std::size_t receiveBatchSize = 16 * receiveBufferSize;

// While a script runs the loop looks this often whether it has ended.
constexpr std::chrono::milliseconds scriptPollInterval(20);

// An entry of the loop's list: the socket's number, the handler owning it
// and its socket, when it last received a byte, whether this pass's wait
// found it readable or writable, when its first byte came
// (time_point::max() until then), and whether its request is complete and
// only its answer is still to go out.
struct OpenConnection {
    int fd;
    std::unique_ptr<RequestHandler> handler;
    SocketConnection* link;
    std::chrono::steady_clock::time_point lastHeard;
    bool readable;
    std::chrono::steady_clock::time_point firstByte = std::chrono::steady_clock::time_point::max();
    bool writable = false;
    bool answering = false;
};

} // namespace

std::chrono::steady_clock::time_point headDeadline(std::chrono::steady_clock::time_point firstByte, bool headWhole,
                                                   std::chrono::milliseconds idle) {
    if (headWhole || firstByte == std::chrono::steady_clock::time_point::max())
        return std::chrono::steady_clock::time_point::max();
    return firstByte + idle;
}

std::chrono::milliseconds loopWait(std::chrono::steady_clock::time_point now,
                                   std::chrono::steady_clock::time_point earliestDeadline,
                                   std::chrono::milliseconds longest) {
    using std::chrono::milliseconds;
    if (earliestDeadline == std::chrono::steady_clock::time_point::max()) return longest;
    if (earliestDeadline <= now) return milliseconds(0);
    // Rounded up: waking a moment early would only make an empty pass.
    return std::min(std::chrono::ceil<milliseconds>(earliestDeadline - now), longest);
}

std::size_t connectionCapacity(std::int64_t descriptors) {
    if (descriptors <= limits::reservedDescriptors) return 1;
    return static_cast<std::size_t>(descriptors - limits::reservedDescriptors);
}

namespace {

using Clock = std::chrono::steady_clock;

// Whole seconds a connection last heard at `heard` has been silent.
std::string silentSeconds(Clock::time_point heard, Clock::time_point now) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - heard).count());
}

// The peer of a connection for a console line, also when it is gone.
std::string peerOf(const OpenConnection& entry) {
    try {
        return entry.handler->socket->peerAddress();
    } catch (const std::system_error&) {
        return "a peer that is gone";
    }
}

// Closes connection `i` (shut down both ways) and removes it from the list.
void closeAt(std::vector<OpenConnection>& connections, std::size_t i) {
    platform::shutdownBoth(connections[i].fd);
    connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
}

// Closes the connection that has been silent longest, to make room for a
// new one; false when there is none.
bool closeLongestSilent(std::vector<OpenConnection>& connections) {
    if (connections.empty()) return false;
    std::size_t longest = 0;
    for (std::size_t i = 1; i < connections.size(); ++i)
        if (connections[i].lastHeard < connections[longest].lastHeard) longest = i;
    consoleLine(std::to_string(longest) + ": closing the connection silent longest, " + peerOf(connections[longest]) +
                " (no byte for " + silentSeconds(connections[longest].lastHeard, Clock::now()) +
                " s), to admit a new one");
    closeAt(connections, longest);
    return true;
}

// When connection `entry` must have its head whole.
Clock::time_point headDeadlineOf(const OpenConnection& entry, std::chrono::milliseconds idle) {
    return headDeadline(entry.firstByte, entry.handler->headWhole(), idle);
}

// Whether connection `i`, its head still not whole at `now`, is past the
// time for it: then it is answered 408, told on the console and closed.
bool closeIfHeadLate(std::vector<OpenConnection>& connections, std::size_t i, std::chrono::milliseconds idle,
                     Clock::time_point now) {
    OpenConnection& entry = connections[i];
    if (now < headDeadlineOf(entry, idle)) return false;
    std::string seconds = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(idle).count());
    consoleLine(std::to_string(i) + ": the head from " + peerOf(entry) + " did not come whole within " + seconds +
                " s, closing the connection");
    try {
        entry.handler->socket->send(plainAnswer("408 Request Timeout",
                                                "Request head not complete within " + seconds + " s.\n"));
    } catch (const std::system_error&) {
        // The peer is gone: closing is all there is left to do.
    }
    closeAt(connections, i);
    return true;
}

// Closes every connection that has received no byte for `idle`, and every
// one not read this pass whose head has not come whole within `idle` of its
// first byte (one read this pass is checked once its bytes are taken).
void closeIdle(std::vector<OpenConnection>& connections, std::chrono::milliseconds idle) {
    Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < connections.size();) {
        // A connection whose request is complete is silent by right: its
        // answer is under way, bounded by the send and script time-outs.
        if (connections[i].answering) {
            ++i;
            continue;
        }
        if (!connections[i].readable && closeIfHeadLate(connections, i, idle, now)) continue;
        if (now - connections[i].lastHeard < idle) {
            ++i;
            continue;
        }
        consoleLine(std::to_string(i) + ": no byte from " + peerOf(connections[i]) + " for " +
                    silentSeconds(connections[i].lastHeard, now) + " s, closing the connection");
        closeAt(connections, i);
    }
}

// Accepts one waiting connection and appends its handler to the list. When
// the connections fill the descriptors they may have, the ones silent
// longest make room. When the system has no descriptor left before that
// (some were in use elsewhere), `capacity` is lowered so that an answer
// still finds the descriptors it needs, and room is made. With no
// connection to close, the spare descriptor is given up for a moment so the
// waiting connection can be taken and closed instead of keeping the
// listener ready forever.
void acceptOne(int listener, platform::UniqueFd& spare, std::vector<OpenConnection>& connections,
               std::size_t& capacity, BodyBudget& bodies, Gate& gate, ScriptTurn& scripts) {
    auto makeRoom = [&] {
        while (connections.size() >= capacity && closeLongestSilent(connections)) {
        }
    };
    makeRoom();
    int error = 0;
    platform::UniqueFd accepted = platform::acceptConnection(listener, error);
    if (!accepted && platform::isDescriptorExhaustion(error) && !connections.empty()) {
        capacity = connectionCapacity(static_cast<std::int64_t>(connections.size()));
        consoleLine("out of descriptors with " + std::to_string(connections.size()) +
                    " connections open: keeping at most " + std::to_string(capacity));
        makeRoom();
        accepted = platform::acceptConnection(listener, error);
    }
    if (!accepted) {
        if (platform::isNothingWaiting(error)) return;
        if (!platform::isDescriptorExhaustion(error)) {
            consoleLine("unable to accept a connection: " + std::generic_category().message(error));
            return;
        }
        consoleLine("unable to accept a connection: out of descriptors, dropping it");
        spare.reset();
        platform::UniqueFd dropped = platform::acceptConnection(listener, error);
        dropped.reset();
        try {
            spare = platform::openNullDevice();
        } catch (const std::system_error&) {
        }
        return;
    }
    try {
        int fd = accepted.get();
        auto connection = std::make_unique<SocketConnection>(accepted.release());
        SocketConnection* link = connection.get();
        consoleLine("connection from " + connection->peerAddress());
        // A client sends its request right after connecting: it is read in
        // this very pass (a receive that finds nothing yet just waits).
        connections.push_back({fd, std::make_unique<RequestHandler>(std::move(connection), &bodies, &gate, &scripts),
                               link, Clock::now(), false});
    } catch (const std::system_error& error) {
        consoleLine(std::string("dropping a connection that failed at once: ") + error.what());
    }
}

// Whether connection `i`, its request complete, has nothing left to do (no
// script to wait for, nothing waiting to be sent): then it is closed, which
// the console tells, and true is returned.
bool closeIfAnswered(std::size_t i, OpenConnection& entry) {
    if (!entry.answering || entry.handler->scriptPending() || entry.link->waiting()) return false;
    consoleLine(std::to_string(i) + ": closing connection from " + entry.link->peerAddress());
    platform::shutdownBoth(entry.fd);
    return true;
}

// Runs one step of connection `i` that may fail with its peer or its
// request; true when the connection is finished and must leave the list:
// it failed, or its answer is all out.
template <typename Step>
bool serveStep(std::size_t i, OpenConnection& entry, Step step) {
    try {
        if (step()) return true;
        return closeIfAnswered(i, entry);
    } catch (const platform::NetworkError&) {
        consoleLine("Network error reported by OS");
    } catch (...) {
        consoleLine("Exception thrown during processPacketData()");
    }
    return true;
}

// Receives once on connection `i` and hands the bytes on; true when the
// connection is finished and must leave the list.
bool serveReadable(std::size_t i, OpenConnection& entry, char* buffer) {
    RequestHandler& handler = *entry.handler;
    std::optional<std::size_t> received;
    try {
        received = platform::receiveSome(entry.fd, buffer, receiveBatchSize);
    } catch (const std::system_error&) {
        consoleLine("Connection error.");
        return true;
    }
    // The wait saw bytes that were gone again: nothing to do this pass.
    if (!received) return false;
    if (*received == 0) {
        try {
            consoleLine(std::to_string(i) + ": Connection from " + handler.socket->peerAddress() + " closed.");
        } catch (const std::system_error&) {
            consoleLine("Connection closed.");
        }
        return true;
    }
    entry.lastHeard = Clock::now();
    if (entry.firstByte == Clock::time_point::max()) entry.firstByte = entry.lastHeard;
    return serveStep(i, entry, [&] {
        // Piece by piece until one is answered; what follows an answer is
        // never read, as no second request on a connection ever is.
        for (std::size_t at = 0; at < *received; at += receiveBufferSize) {
            handler.processPacketData(std::string_view(buffer + at, std::min(receiveBufferSize, *received - at)));
            if (handler.keepOpen == 0) break;
        }
        if (handler.keepOpen != 0) return false;
        // Before the client learns that the connection is done.
        handler.dropUnsavedPage();
        entry.answering = true;
        return false;
    });
}

// Closes every connection whose socket has taken no byte of what waits for
// it for the send time-out: its peer stopped reading.
void closeStalled(std::vector<OpenConnection>& connections, Clock::time_point now) {
    const auto limit = std::chrono::seconds(limits::sendTimeoutSeconds);
    for (std::size_t i = 0; i < connections.size();) {
        OpenConnection& entry = connections[i];
        if (!entry.link->waiting() || now - entry.link->lastProgress() < limit) {
            ++i;
            continue;
        }
        consoleLine(std::to_string(i) + ": " + peerOf(entry) + " took no byte of its answer for " +
                    std::to_string(limits::sendTimeoutSeconds) + " s, closing the connection");
        closeAt(connections, i);
    }
}

// One pass's steps for the connections the wait found writable, and for
// those whose script waits or runs, in list order; a connection that is
// finished leaves the list at once, and the next one is still served.
void serveWritesAndScripts(std::vector<OpenConnection>& connections, ScriptTurn& scripts, Clock::time_point now) {
    for (std::size_t i = 0; i < connections.size();) {
        OpenConnection& entry = connections[i];
        bool finished = entry.writable && serveStep(i, entry, [&] {
            entry.link->flush();
            return false;
        });
        if (finished) {
            connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    // The turn is free when no script runs and no script's output file is
    // still being sent; the requests waiting for it start in list order.
    scripts.taken = std::any_of(connections.begin(), connections.end(),
                                [](const OpenConnection& entry) { return entry.handler->holdsScriptTurn(); });
    for (std::size_t i = 0; i < connections.size();) {
        OpenConnection& entry = connections[i];
        bool finished = entry.handler->scriptPending() && serveStep(i, entry, [&] {
            entry.handler->advanceScript(now);
            return false;
        });
        if (finished) {
            connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

} // namespace

std::vector<std::string> listPageAddresses(const std::string& ip, std::uint32_t bound, std::uint16_t port,
                                           const std::vector<std::string>& own) {
    std::vector<std::string> hosts;
    if (bound != 0) hosts.push_back(ip);
    else hosts = own;
    std::vector<std::string> urls;
    for (const std::string& host : hosts) urls.push_back("http://" + host + ":" + std::to_string(port) + "/tiddly");
    return urls;
}

namespace {

// The listener, bound and listening, with the start-up lines said; nothing
// when it cannot be bound (the line saying so is written).
std::optional<platform::UniqueFd> openListener(const Settings& run, const Gate& gate) {
    platform::UniqueFd listener = platform::createTcpSocket();
    platform::allowAddressReuse(listener.get());
    auto address = platform::resolveIpv4(run.ip);
    if (!address || !platform::bindIpv4(listener.get(), *address, run.port)) {
        consoleLine("unable to bind to socket on port " + std::to_string(run.port));
        return std::nullopt;
    }
    listenerIsLoopback = platform::isLoopback(*address);
    platform::listenOn(listener.get(), listenBacklog);
    // Accepting must never block the loop, even if a waiting peer vanished.
    platform::makeNonBlocking(listener.get());
    // With port 0 the system chose the port: say which one.
    std::uint16_t port = platform::localPort(listener.get());
    consoleLine("listening on " + run.ip + ":" + std::to_string(port) + " for incoming connections");
    consoleLine("pages will be loaded from " + run.root);
    std::vector<std::string> own = *address == 0 ? platform::ownIpv4Addresses() : std::vector<std::string>{};
    for (const std::string& url : listPageAddresses(run.ip, *address, port, own))
        consoleLine("open " + url + " in your browser");
    gate.sayWhoMayConnect(listenerIsLoopback);
    return listener;
}

// The connection loop: one thread that waits for whichever connection can
// go on, and never on one of them.
class ConnectionLoop {
public:
    ConnectionLoop(platform::UniqueFd listener, Gate& gate, std::chrono::milliseconds idle)
        : listener_(std::move(listener)), gate_(gate), idle_(idle), spare_(platform::openNullDevice()),
          capacity_(connectionCapacity(platform::descriptorLimit())), buffer_(receiveBatchSize) {}
    // Serves for ever.
    [[noreturn]] void run() {
        for (;;) pass(waitForEvents());
    }

private:
    // Waits until a connection can go on, one is due to be closed, or a
    // script may have ended; returns when the wait ended.
    Clock::time_point waitForEvents();
    // Serves what the wait found.
    void pass(Clock::time_point now);

    platform::UniqueFd listener_;
    Gate& gate_;
    const std::chrono::milliseconds idle_;
    platform::UniqueFd spare_;
    std::size_t capacity_;
    // Declared before the connections, whose handlers hold claims on it.
    BodyBudget bodies_{limits::maxHeldBodyBytes};
    ScriptTurn scripts_;
    std::vector<OpenConnection> connections_;
    std::vector<platform::Readiness> waitSet_;
    std::vector<char> buffer_;
};

Clock::time_point ConnectionLoop::waitForEvents() {
    waitSet_.clear();
    waitSet_.push_back({listener_.get(), true, false});
    Clock::time_point earliestDeadline = Clock::time_point::max();
    bool scriptPending = false;
    for (const auto& entry : connections_) {
        // A connection answering reads no more: its peer's next bytes wait.
        bool wantWrite = entry.link->waiting();
        waitSet_.push_back({entry.fd, !entry.answering, wantWrite});
        if (!entry.answering)
            earliestDeadline = std::min({earliestDeadline, entry.lastHeard + idle_, headDeadlineOf(entry, idle_)});
        if (wantWrite)
            earliestDeadline = std::min(earliestDeadline,
                                        entry.link->lastProgress() + std::chrono::seconds(limits::sendTimeoutSeconds));
        scriptPending = scriptPending || entry.handler->scriptPending();
    }
    auto wait = loopWait(Clock::now(), earliestDeadline, std::chrono::milliseconds(waitTimeoutMs));
    // A script's end makes no descriptor ready: it is looked for often.
    if (scriptPending) wait = std::min(wait, scriptPollInterval);
    // What this pass said goes out before the loop sleeps.
    platform::flushConsoleLines();
    platform::waitReady(waitSet_, static_cast<int>(wait.count()));
    Clock::time_point now = Clock::now();
    for (std::size_t k = 0; k < connections_.size(); ++k) {
        connections_[k].readable = waitSet_[k + 1].wantRead && waitSet_[k + 1].readable;
        connections_[k].writable = waitSet_[k + 1].wantWrite && waitSet_[k + 1].writable;
        // Bytes are waiting: not silent, though the server was busy elsewhere.
        if (connections_[k].readable) connections_[k].lastHeard = now;
    }
    return now;
}

void ConnectionLoop::pass(Clock::time_point now) {
    // Right after the wait, while what it found is fresh.
    closeIdle(connections_, idle_);
    closeStalled(connections_, now);
    serveWritesAndScripts(connections_, scripts_, now);
    if (waitSet_[0].readable) acceptOne(listener_.get(), spare_, connections_, capacity_, bodies_, gate_, scripts_);
    for (std::size_t i = 0; i < connections_.size();) {
        if (!connections_[i].readable) {
            ++i;
            continue;
        }
        connections_[i].readable = false;
        if (serveReadable(i, connections_[i], buffer_.data())) {
            connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        // Bytes that were waiting when the time ran out have been taken
        // first: a head they made whole is served, any other is late.
        if (!closeIfHeadLate(connections_, i, idle_, Clock::now())) ++i;
    }
}

} // namespace

int runServer() {
    platform::ignoreBrokenPipes();
    platform::keepFileSizeLimitAWriteFailure();
    // The one reading of the table: a broken port or guests setting stops the start here.
    const Settings& run = keepSettings(readSettings(configTable));
    // Settled before anything is opened: a broken password setting stops the start.
    Gate gate = Gate::fromSettings(run);
    std::optional<platform::UniqueFd> listener = openListener(run, gate);
    if (!listener) return 0;
    // From here on console lines carry bytes of requests: control bytes in
    // them must neither break a line nor command the terminal.
    platform::transformConsoleLines(escapeControlBytes);
    // A pass's lines go out together, in one write, not one write each.
    platform::holdConsoleLines(true);
    ConnectionLoop(std::move(*listener), gate, run.idleTimeout).run();
}

} // namespace fernhollow
