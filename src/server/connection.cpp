#include "server/connection.h"

#include "http/handling.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/net.h"

#include <algorithm>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

namespace {

// Says on the console that a file answer failed, and gives what ends the
// answer then: the failure head for a file of a known length, nothing more
// for one sent up to its end (a script's output).
std::string_view fileFailed(bool toEnd) {
    if (toEnd) {
        consoleLine("failed to read php output");
        return {};
    }
    consoleLine("something failed, exception was thrown when sending file");
    return failedSendHead;
}

} // namespace

void Connection::sendFile(platform::UniqueFd file, std::int64_t length) {
    bool toEnd = length < 0;
    std::string chunk;
    for (auto left = static_cast<std::uint64_t>(length); toEnd || left > 0;) {
        std::size_t wanted = toEnd || left > fileChunkSize ? fileChunkSize : static_cast<std::size_t>(left);
        try {
            platform::readUpTo(file.get(), wanted, chunk);
        } catch (const std::system_error&) {
            if (std::string_view tail = fileFailed(toEnd); !tail.empty()) send(tail);
            return;
        }
        if (toEnd) {
            if (chunk.empty()) return send({});
            sendPart(chunk);
            continue;
        }
        // A file shorter than announced: the bytes of this piece never go.
        if (chunk.size() < wanted) return send(fileFailed(false));
        left -= wanted;
        if (left > 0) sendPart(chunk); else send(chunk);
    }
}

void Connection::deliver(Answer answer) {
    if (!answer.file || answer.fileLength == 0) return send(answer.bytes);
    // The bytes say more follows, so the system may put the file's first
    // bytes in the same segment.
    if (!answer.bytes.empty()) sendPart(answer.bytes);
    sendFile(std::move(answer.file), answer.fileLength);
}

SocketConnection::SocketConnection(int fd) : fd_(fd) {}

SocketConnection::~SocketConnection() {
    platform::UniqueFd closing(fd_);
}

void SocketConnection::enqueue(Piece piece) {
    if (queue_.empty()) lastProgress_ = std::chrono::steady_clock::now();
    queue_.push_back(std::move(piece));
}

void SocketConnection::sendPart(std::string_view bytes) {
    if (bytes.empty()) return;
    Piece piece;
    piece.bytes = bytes;
    enqueue(std::move(piece));
}

void SocketConnection::send(std::string_view bytes) {
    sendPart(bytes);
    flush();
}

void SocketConnection::sendFile(platform::UniqueFd file, std::int64_t length) {
    Piece piece;
    piece.file = std::move(file);
    piece.toEnd = length < 0;
    piece.fileLeft = length;
    enqueue(std::move(piece));
    flush();
}

bool SocketConnection::holdsFile() const {
    return std::any_of(queue_.begin(), queue_.end(), [](const Piece& piece) { return bool(piece.file); });
}

bool SocketConnection::refill(Piece& piece) {
    piece.bytes.clear();
    piece.sent = 0;
    // A file of known length goes by sendFromFile; only one sent up to its end is read here.
    if (!piece.file || !piece.toEnd) {
        piece.file.reset();
        return false;
    }
    try {
        platform::readUpTo(piece.file.get(), fileChunkSize, piece.bytes);
    } catch (const std::system_error&) {
        piece.file.reset();
        piece.bytes = fileFailed(true);
        return false;
    }
    if (piece.bytes.empty()) piece.file.reset();
    return !piece.bytes.empty();
}

bool SocketConnection::sendFromFile(Piece& piece) {
    // Far more than the socket takes at once; the system caps it anyway.
    constexpr std::int64_t mostAtOnce = std::int64_t{1} << 30;
    std::optional<std::size_t> taken;
    try {
        taken = platform::sendFileSome(fd_, piece.file.get(),
                                       static_cast<std::size_t>(std::min(piece.fileLeft, mostAtOnce)));
    } catch (const platform::NetworkError&) {
        throw;
    } catch (const std::system_error&) {
        taken.reset();
    }
    if (!taken) {
        // The file failed, or ended before its announced length: the answer ends with the failure head.
        piece.file.reset();
        piece.bytes = fileFailed(false);
        piece.sent = 0;
        return true;
    }
    if (*taken == 0) return false;
    piece.fileLeft -= static_cast<std::int64_t>(*taken);
    if (piece.fileLeft == 0) piece.file.reset();
    lastProgress_ = std::chrono::steady_clock::now();
    return true;
}

bool SocketConnection::flush() {
    while (!queue_.empty()) {
        Piece& front = queue_.front();
        if (front.sent == front.bytes.size()) {
            // A file of known length goes from the file to the socket directly.
            if (front.file && !front.toEnd && front.fileLeft > 0) {
                if (!sendFromFile(front)) return false;
                continue;
            }
            if (!refill(front)) queue_.pop_front();
            continue;
        }
        bool moreFollows = queue_.size() > 1 || front.toEnd || front.fileLeft > 0;
        std::size_t taken = platform::sendSome(fd_, std::string_view(front.bytes).substr(front.sent), moreFollows);
        if (taken == 0) return false;
        front.sent += taken;
        lastProgress_ = std::chrono::steady_clock::now();
    }
    return true;
}

std::string SocketConnection::peerAddress() const {
    // Asked of the system once: the accept, the request and the close all name it.
    if (!peer_) peer_ = platform::peerAddress(fd_);
    return *peer_;
}

} // namespace fernhollow
