// Black-box testing helpers: a temporary folder, the real fernhollow binary
// started on a free port with its console captured, and raw-byte clients.
#pragma once

#include "platform/paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow::testing {

// Whether the server under test is the Windows program, run under Wine (the
// black-box tests are then built with the Windows separator).
inline constexpr bool serverUnderWine = platform::windowsFileNames;

// Skips a case that cannot run against the Windows program under Wine, saying why.
#define SKIP_UNDER_WINE(reason)                                                    \
    do {                                                                           \
        if (::fernhollow::testing::serverUnderWine) GTEST_SKIP() << "under Wine: " << reason; \
    } while (false)

// A fresh folder under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes `content` to `relative` (folders created as needed); returns the full path.
    std::string write(const std::string& relative, std::string_view content) const;
    // Reads a file below the folder.
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;

private:
    std::string path_;
};

// Reads a whole file.
std::string readFile(const std::string& path);

// A path as the POSIX rules give it, written the way the same rules give it
// on the system the server is built for: every "/" as its separator.
std::string systemForm(std::string_view posixForm);

// The fernhollow binary running as a child process, its standard output
// gathered from a pipe.
class ServerProcess {
public:
    // Starts the binary in `workDir` with `args`. Unless `args` holds "--port"
    // or `choosePort` is false, a free port is chosen and passed with "--port".
    // When `waitListening`, waits until the "listening on" line has appeared.
    // A `descriptorLimit` above 0 caps the descriptors the process may open.
    ServerProcess(std::vector<std::string> args, const std::string& workDir, bool choosePort = true,
                  bool waitListening = true, int descriptorLimit = 0);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    int port() const { return port_; }
    int pid() const { return pid_; }
    // Everything written to standard output so far.
    const std::string& output();
    // Waits until `text` stands in the output (counting from `from`); true when it did.
    bool waitForOutput(std::string_view text, std::chrono::milliseconds limit = std::chrono::seconds(10),
                       std::size_t from = 0);
    // Waits for the process to end; returns its exit status, or -1 on time-out.
    int waitExit(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Standard error of the process so far.
    std::string errors() const;
    // Sends SIGKILL (used to interrupt work at a chosen moment).
    void kill();

private:
    void drain(int timeoutMs);
    int pid_ = -1;
    int port_ = 0;
    int outFd_ = -1;
    std::string errPath_;
    std::string output_;
    int status_ = -1;
};

// A free TCP port on 127.0.0.1 (bound and released at once).
int freePort();

// One client connection on 127.0.0.1 speaking raw bytes.
class RawClient {
public:
    explicit RawClient(int port);
    // Connects with the receive buffer set to `receiveBuffer` bytes first, so
    // that a client that stops reading soon makes the server's sends block.
    RawClient(int port, int receiveBuffer);
    // Connects from the loopback address `from` (such as "127.0.0.2"), so a
    // test can be another machine to the server.
    RawClient(int port, const std::string& from);
    RawClient(int port, int receiveBuffer, const std::string& from);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    void send(std::string_view bytes);
    // Reads until the server closes the connection or `limit` passes.
    std::string readAll(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Reads what arrives within `limit` (the connection stays open).
    std::string readFor(std::chrono::milliseconds limit);
    // True when the server closed the connection (read gives end of stream).
    bool closedByServer(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Waits up to `wait` for one receive and appends what came; false once
    // the server has closed the connection (end of stream or reset).
    bool readSome(std::string& received, std::chrono::milliseconds wait);
    // Reads until `count` bytes have come, the server closes, or `limit` passes.
    std::string readExactly(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // What has already arrived, without waiting; `closed` tells whether the
    // server has closed the connection.
    std::string readNow(bool& closed);
    // Ends the sending direction only: the server reads end of stream.
    void shutdownWrite();
    // Sends every write at once instead of gathering small ones.
    void noDelay();
    // Closes with a reset instead of an orderly close.
    void reset();
    void close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// Raises this process's soft descriptor limit to the hard limit (children
// inherit it); returns the new soft limit.
long raiseDescriptorLimit();

// Processor time (user + system) that process `pid` has used so far, in seconds.
double cpuSeconds(int pid);

// The answer with the entity tag line of its head ("ETag: ..." and its line
// end) taken out, for comparing file answers whose tag a test cannot know;
// the tag itself goes to `etag` when given (empty when there was none).
std::string withoutEtag(std::string answer, std::string* etag = nullptr);

// Every file below `folder` with its bytes, by path relative to it ("/" separated).
std::map<std::string, std::string> snapshot(const std::string& folder);

// A PUT of `page` to `target` as a wiki sends it, with extra head lines.
std::string putRequest(const std::string& target, const std::string& page, const std::string& more = "");

// The boundary of the uploads the tests send.
inline const std::string uploadBoundary = "---------------------------AaB03x";
// The body of the wiki's upload. `announced` is what the wiki puts in the
// part's Content-Length: the page's length in characters.
std::string uploadBody(const std::string& options, const std::string& fileName, const std::string& page,
                       std::size_t announced);
// A whole POST to /savetiddly with the head the wiki's upload saver writes.
std::string uploadRequest(const std::string& body,
                          const std::string& contentType = "multipart/form-data; charset=UTF-8; boundary=" +
                                                           uploadBoundary,
                          const std::string& moreHead = "");

// The entity tag a HEAD of `target` carries (empty when none).
std::string headTag(int port, const std::string& target);

// Runs the binary with `args` in `workDir`, `input` on its standard input;
// returns its standard output, and its exit status in `status`.
std::string runBinary(const std::vector<std::string>& args, const std::string& workDir, const std::string& input,
                      int& status);

// Sends `request` on a new connection and returns everything the server
// answers before it closes the connection.
std::string exchange(int port, std::string_view request,
                     std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace fernhollow::testing
