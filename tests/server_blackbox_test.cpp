// The real binary: start-up lines, connection lines and request assembly
// over real sockets.
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <thread>

using namespace fernhollow::testing;
using namespace std::chrono_literals;

TEST(ServerStartup, WritesTheStartupLinesAndListens) {
    TempDir dir;
    ServerProcess server({}, dir.path());
    std::string expected = "adding key port with 9090\n"
                           "adding key ip with 127.0.0.1\n"
                           "adding key php-path with \n"
                           "adding key root with ./\n"
                           "updating key port with " + std::to_string(server.port()) + "\n"
                           "starting server\n"
                           "listening on 127.0.0.1:" + std::to_string(server.port()) + " for incoming connections\n"
                           "pages will be loaded from ./\n";
    EXPECT_EQ(server.output(), expected);
}
