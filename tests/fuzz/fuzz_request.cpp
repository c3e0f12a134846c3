// Request assembly and routing fed arbitrary bytes in arbitrary pieces; the
// answers go to a socket pair whose far end is drained after every input.
#include "base/config.h"
#include "platform/files.h"
#include "platform/net.h"
#include "server/server.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/socket.h>

namespace {

// A document root with a few small files, made once per run.
std::string makeRoot() {
    char pattern[] = "/tmp/fernhollow-fuzz-root-XXXXXX";
    std::string root = ::mkdtemp(pattern);
    root += "/";
    for (const char* name : {"index.html", "tiddly-a.html", "style.css", "data.js", "x.txt", "backup"}) {
        if (std::string(name) == "backup") {
            std::system(("mkdir -p " + root + name).c_str());
            continue;
        }
        if (FILE* out = std::fopen((root + name).c_str(), "wb")) {
            std::fputs("<html>fuzz</html>", out);
            std::fclose(out);
        }
    }
    return root;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fernhollow;
    static const std::string root = makeRoot();
    if (configTable.empty()) {
        configTable.insert_or_assign("root", ConfigItem(root));
        configTable.insert_or_assign("ip", ConfigItem("127.0.0.1"));
        configTable.insert_or_assign("port", ConfigItem("9090"));
        configTable.insert_or_assign("php-path", ConfigItem(""));
    }
    auto [mine, theirs] = platform::socketPair();
    int big = 4 << 20;
    ::setsockopt(mine.get(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(theirs.get(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    RequestHandler handler(std::make_unique<SocketConnection>(mine.release()));
    // The first byte chooses the piece sizes, as receives would cut them.
    std::size_t step = size == 0 ? 1 : 1 + data[0] % 64;
    std::size_t at = size == 0 ? 0 : 1;
    try {
        while (at < size) {
            std::size_t piece = std::min(step, size - at);
            handler.processPacketData(std::string_view(reinterpret_cast<const char*>(data) + at, piece));
            at += piece;
            step = 1 + (step * 7 + 3) % 97;
            if (handler.keepOpen == 0) break;
        }
    } catch (const std::exception&) {
        // The loop reports these and drops only the connection.
    }
    char sink[65536];
    while (::recv(theirs.get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    return 0;
}
