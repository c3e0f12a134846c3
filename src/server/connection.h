// The byte sinks a request is answered on: the accepted socket, the only
// code that writes to one, and a buffer for tests.
#pragma once

#include "http/answer.h"
#include "platform/unique_fd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace fernhollow {

// How much of a file is read for one send: enough that a large file goes
// out in few system calls, little enough for many answers waiting at once.
inline constexpr std::size_t fileChunkSize = 256 * 1024;

// Where a handler's answers go: a socket in the server, a buffer in tests.
class Connection {
public:
    virtual ~Connection() = default;
    // Sends `bytes` after everything sent before (raises
    // platform::NetworkError when the peer is gone).
    virtual void send(std::string_view bytes) = 0;
    // The peer as "address:port" (raises platform::NetworkError).
    virtual std::string peerAddress() const = 0;
    // Sends a piece of an answer that more bytes follow right after, so the
    // system may fill whole segments; the answer's last piece goes by send.
    virtual void sendPart(std::string_view bytes) { send(bytes); }
    // Sends `length` bytes of `file` from where it stands (a negative length:
    // all up to its end) after everything sent before. A file that ends
    // before `length` ends the answer with the failure head instead; one that
    // fails to read up to its end ends the answer where it failed.
    virtual void sendFile(platform::UniqueFd file, std::int64_t length);
    // Sends a handler's answer: its bytes, then its file when it has one.
    void deliver(Answer answer);
    // Whether a file handed to sendFile is still open, not all sent yet.
    virtual bool holdsFile() const { return false; }
};

// A connection that collects what is sent, for tests and fuzzing.
class BufferConnection : public Connection {
public:
    explicit BufferConnection(std::string peer = "127.0.0.1:50000") : peer_(std::move(peer)) {}
    void send(std::string_view bytes) override { sent.append(bytes); }
    std::string peerAddress() const override { return peer_; }
    std::string sent;

private:
    std::string peer_;
};

// A connection on an accepted non-blocking socket, which it owns. What the
// socket does not take at once is kept, in order, and sent by flush as the
// socket becomes writable; a file is read as it goes out, never held whole.
class SocketConnection : public Connection {
public:
    explicit SocketConnection(int fd);
    ~SocketConnection() override;
    void send(std::string_view bytes) override;
    std::string peerAddress() const override;
    void sendPart(std::string_view bytes) override;
    void sendFile(platform::UniqueFd file, std::int64_t length) override;
    bool holdsFile() const override;
    int descriptor() const { return fd_; }
    // Sends what the socket takes now of what waits; true when nothing is
    // left (raises platform::NetworkError when the peer is gone).
    bool flush();
    // Whether bytes wait for the socket to take them.
    bool waiting() const { return !queue_.empty(); }
    // When the socket last took bytes of what waits, or began to wait.
    std::chrono::steady_clock::time_point lastProgress() const { return lastProgress_; }

private:
    // Bytes to send, and the file they are read from (when any) with what
    // is still to be read of it.
    struct Piece {
        std::string bytes;
        std::size_t sent = 0;
        platform::UniqueFd file;
        std::int64_t fileLeft = 0;
        bool toEnd = false;
    };
    // Reads the next bytes of the front piece's file; false when it has
    // none left (the file is closed then).
    bool refill(Piece& piece);
    // Sends what the socket takes of the piece's file, straight from the
    // file; false when it takes nothing now.
    bool sendFromFile(Piece& piece);
    void enqueue(Piece piece);
    int fd_;
    mutable std::optional<std::string> peer_;
    std::deque<Piece> queue_;
    std::chrono::steady_clock::time_point lastProgress_;
};

} // namespace fernhollow
