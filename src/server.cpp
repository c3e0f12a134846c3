#include "server.h"

#include "config.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/net.h"
#include "text.h"

#include <exception>

namespace fernhollow {

using platform::consoleLine;

namespace {

constexpr int listenBacklog = 64;
constexpr int waitTimeoutMs = 60 * 1000;
constexpr std::size_t receiveBufferSize = 16384;

// An entry of the loop's list: the socket's number, the handler owning it,
// and whether the last wait found it readable.
struct OpenConnection {
    int fd;
    std::unique_ptr<RequestHandler> handler;
    bool readable = false;
};

} // namespace

SocketConnection::SocketConnection(int fd) : fd_(fd) {}

SocketConnection::~SocketConnection() {
    platform::UniqueFd closing(fd_);
}

void SocketConnection::send(std::string_view bytes) {
    platform::sendAll(fd_, bytes);
}

std::string SocketConnection::peerAddress() const {
    return platform::peerAddress(fd_);
}

bool listenerIsLoopback = true;

std::size_t findFromLastMiss(std::string_view text, std::string_view needle, std::size_t& searchedTo) {
    std::size_t at = text.find(needle, searchedTo);
    if (at == std::string_view::npos && text.size() >= needle.size())
        searchedTo = text.size() - needle.size() + 1;
    return at;
}

bool RequestHandler::closingDelimiterArrived() {
    if (!closingFound_)
        closingFound_ = findFromLastMiss(body, "\r\n--" + boundary + "--", closingSearchedTo_) != std::string::npos;
    return closingFound_;
}

void RequestHandler::processPacketData(std::string_view bytes) {
    body.append(bytes);
    keepOpen = 1;
    if (headLines.empty()) {
        std::size_t headEnd = findFromLastMiss(body, "\r\n\r\n", headSearchedTo_);
        if (headEnd != std::string::npos) {
            for (std::string_view line : headerLines(body)) headLines.emplace_back(line);
            if (!headLines.empty()) handleRequest();
            body.erase(0, headEnd + 4);
        }
    }
    if (headLines.empty()) return;
    if (!boundary.empty() && closingDelimiterArrived()) {
        handlePost();
    } else if (contentLength > 0 && static_cast<std::uint64_t>(contentLength) == body.size()) {
        handlePost();
        consoleLine("main.RequestHandler.processPacketData returned from handleRequest");
    }
}

bool parsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

namespace {

// Accepts one waiting connection and appends its handler to the list. A
// failed accept drops only that connection; when descriptors have run out,
// the spare descriptor is given up for a moment so the waiting connection can
// be taken and closed instead of keeping the listener ready forever.
void acceptOne(int listener, platform::UniqueFd& spare, std::vector<OpenConnection>& connections) {
    int error = 0;
    platform::UniqueFd accepted = platform::acceptConnection(listener, error);
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
        platform::setSendTimeout(fd, limits::sendTimeoutSeconds);
        auto connection = std::make_unique<SocketConnection>(accepted.release());
        consoleLine("connection from " + connection->peerAddress());
        connections.push_back({fd, std::make_unique<RequestHandler>(std::move(connection))});
    } catch (const std::system_error& error) {
        consoleLine(std::string("dropping a connection that failed at once: ") + error.what());
    }
}

// Receives once on connection `i` and hands the bytes on; true when the
// connection is finished and must leave the list.
bool serveReadable(int i, OpenConnection& entry, char* buffer) {
    RequestHandler& handler = *entry.handler;
    std::size_t received;
    try {
        received = platform::receiveSome(entry.fd, buffer, receiveBufferSize);
    } catch (const std::system_error&) {
        consoleLine("Connection error.");
        return true;
    }
    if (received == 0) {
        try {
            consoleLine(std::to_string(i) + ": Connection from " + handler.socket->peerAddress() + " closed.");
        } catch (const std::system_error&) {
            consoleLine("Connection closed.");
        }
        return true;
    }
    try {
        handler.processPacketData(std::string_view(buffer, received));
        if (handler.keepOpen != 0) return false;
        consoleLine(std::to_string(i) + ": closing connection from " + handler.socket->peerAddress());
        platform::shutdownBoth(entry.fd);
    } catch (const platform::NetworkError&) {
        consoleLine("Network error reported by OS");
    } catch (...) {
        consoleLine("Exception thrown during processPacketData()");
    }
    return true;
}

} // namespace

int runServer() {
    platform::ignoreBrokenPipes();
    platform::UniqueFd listener = platform::createTcpSocket();
    std::uint16_t port = 0;
    std::string portText = getConfig("port");
    if (!parsePort(portText, port))
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "port \"" + portText + "\" is not a number from 0 to 65535");
    std::string ip = getConfig("ip");
    platform::allowAddressReuse(listener.get());
    auto address = platform::resolveIpv4(ip);
    if (!address || !platform::bindIpv4(listener.get(), *address, port)) {
        consoleLine("unable to bind to socket on port " + std::to_string(port));
        return 0;
    }
    listenerIsLoopback = platform::isLoopback(*address);
    platform::listenOn(listener.get(), listenBacklog);
    // Accepting must never block the loop, even if a waiting peer vanished.
    platform::makeNonBlocking(listener.get());
    consoleLine("listening on " + ip + ":" + std::to_string(port) + " for incoming connections");
    consoleLine("pages will be loaded from " + getConfig("root"));

    platform::UniqueFd spare = platform::openNullDevice();
    std::vector<OpenConnection> connections;
    std::vector<int> readSet;
    std::vector<bool> ready;
    std::vector<char> buffer(receiveBufferSize);
    for (;;) {
        readSet.clear();
        readSet.push_back(listener.get());
        for (const auto& entry : connections) readSet.push_back(entry.fd);
        platform::waitReadable(readSet, waitTimeoutMs, ready);
        // The flags go with the entries, since descriptors are no small
        // numbers on every system and the list changes during the pass.
        for (std::size_t k = 0; k < connections.size(); ++k) connections[k].readable = ready[k + 1];
        if (ready[0]) acceptOne(listener.get(), spare, connections);
        for (std::int32_t i = 0; i < static_cast<std::int32_t>(connections.size()); ++i) {
            if (!connections[i].readable) continue;
            if (serveReadable(i, connections[i], buffer.data())) connections.erase(connections.begin() + i);
        }
    }
}

} // namespace fernhollow
