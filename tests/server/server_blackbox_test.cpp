// The real binary: start-up lines, connection lines and request assembly
// over real sockets.
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <thread>

using namespace fernhollow::testing;
using namespace std::chrono_literals;

TEST(ServerStartup, WritesTheStartupLinesAndListens) {
    TempDir dir;
    ServerProcess server({}, dir.path());
    ASSERT_TRUE(server.waitForOutput("in your browser\n"));
    std::string expected = "adding key port with 9090\n"
                           "adding key ip with 127.0.0.1\n"
                           "adding key php-path with \n"
                           "adding key root with " + systemForm("./") + "\n"
                           "updating key port with " + std::to_string(server.port()) + "\n"
                           "starting server\n"
                           "listening on 127.0.0.1:" + std::to_string(server.port()) + " for incoming connections\n"
                           "pages will be loaded from " + systemForm("./") + "\n"
                           "open http://127.0.0.1:" + std::to_string(server.port()) + "/tiddly in your browser\n";
    EXPECT_EQ(server.output(), expected);
}

TEST(ServerStartup, HelpVersionAndBadPortEndTheProgram) {
    TempDir dir;
    dir.write("site.cfg", "ip: 127.0.0.2;");
    {
        ServerProcess help({"--help"}, dir.path(), false, false);
        EXPECT_EQ(help.waitExit(), 0);
        EXPECT_NE(help.output().find("--help this help text\n"), std::string::npos);
    }
    {
        ServerProcess version({"--version", "--config", "site.cfg"}, dir.path(), false, false);
        EXPECT_EQ(version.waitExit(), 0);
        EXPECT_NE(version.output().find("config data for ip is  127.0.0.2\n"), std::string::npos);
        EXPECT_EQ(version.output().find("starting server"), std::string::npos);
    }
    {
        ServerProcess rootHelp({"--root", "--help"}, dir.path(), false, false);
        EXPECT_EQ(rootHelp.waitExit(), 0);
        EXPECT_NE(rootHelp.output().find("updating key root with --help" + systemForm("/") + "\n"), std::string::npos);
        EXPECT_NE(rootHelp.output().find("Simple web server"), std::string::npos);
    }
    for (const char* bad : {"65536", "-1", " 80", "http"}) {
        ServerProcess badPort({"--port", bad}, dir.path(), false, false);
        EXPECT_EQ(badPort.waitExit(), 1) << bad;
        EXPECT_NE(badPort.errors().find("port"), std::string::npos) << badPort.errors();
        EXPECT_EQ(badPort.output().find("listening on"), std::string::npos);
    }
}

// Arguments reach the program as UTF-8 whatever the system's own code page
// (on Windows: from the wide command line).
TEST(ServerStartup, ARootNamedInAnyLanguageIsServed) {
    TempDir dir;
    const std::string folder = dir.path() + "/\xC3\x9C" "bersicht \xE6\x9D\xB1\xE4\xBA\xAC";
    dir.write("\xC3\x9C" "bersicht \xE6\x9D\xB1\xE4\xBA\xAC/index.html", "home");
    ServerProcess server({"--root", folder}, dir.path());
    EXPECT_NE(server.output().find("updating key root with " + folder + systemForm("/") + "\n"), std::string::npos)
        << server.output();
    EXPECT_TRUE(exchange(server.port(), "GET / HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nhome"));
}

TEST(ServerStartup, SecondServerOnTheSamePortEndsWithStatusZero) {
    TempDir dir;
    ServerProcess first({}, dir.path());
    std::string port = std::to_string(first.port());
    ServerProcess second({"--port", port}, dir.path(), false, false);
    EXPECT_EQ(second.waitExit(), 0);
    EXPECT_TRUE(second.output().ends_with("starting server\nunable to bind to socket on port " + port + "\n"))
        << second.output();
    ServerProcess unknownHost({"--ip", "no-such-host.invalid"}, dir.path(), true, false);
    EXPECT_EQ(unknownHost.waitExit(), 0);
    EXPECT_NE(unknownHost.output().find("unable to bind to socket on port "), std::string::npos);
}

TEST(ServerStartup, PortZeroAndHostNames) {
    TempDir dir;
    ServerProcess anyPort({"--port", "0"}, dir.path(), false);
    // The line names the port the system chose, and that port answers.
    const std::string& out = anyPort.output();
    std::size_t at = out.find("listening on 127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << out;
    int chosen = std::atoi(out.c_str() + at + 23);
    EXPECT_GT(chosen, 0) << out;
    EXPECT_NE(out.find("listening on 127.0.0.1:" + std::to_string(chosen) + " for incoming connections\n"),
              std::string::npos);
    EXPECT_TRUE(exchange(chosen, "GET /none.html HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 404 Not Found\r\n"));
    ServerProcess named({"--ip", "localhost"}, dir.path());
    EXPECT_NE(named.output().find("listening on localhost:" + std::to_string(named.port())), std::string::npos);
    RawClient client(named.port());  // the name was resolved to a loopback address
    EXPECT_TRUE(named.waitForOutput("connection from 127.0.0.1:"));
}

TEST(ServerConnections, PeerClosingAndPositions) {
    TempDir dir;
    ServerProcess server({}, dir.path());
    auto first = std::make_unique<RawClient>(server.port());
    ASSERT_TRUE(server.waitForOutput("connection from"));
    // Each mark is taken before the connect: the server may log it at once.
    std::size_t mark = server.output().size();
    RawClient second(server.port());
    ASSERT_TRUE(server.waitForOutput("connection from", std::chrono::seconds(10), mark));
    mark = server.output().size();
    RawClient third(server.port());
    ASSERT_TRUE(server.waitForOutput("connection from", std::chrono::seconds(10), mark));

    // The first leaves: it is reported at position 0, and the others move up.
    first = nullptr;
    ASSERT_TRUE(server.waitForOutput("0: Connection from 127.0.0.1:")) << server.output();
    mark = server.output().size();
    third.close();
    EXPECT_TRUE(server.waitForOutput("1: Connection from 127.0.0.1:", std::chrono::seconds(10), mark))
        << server.output();
    mark = server.output().size();
    second.close();
    EXPECT_TRUE(server.waitForOutput("0: Connection from 127.0.0.1:", std::chrono::seconds(10), mark))
        << server.output();
}

TEST(ServerConnections, OrderlyCloseIsReportedWithThePeer) {
    TempDir dir;
    ServerProcess server({}, dir.path());
    {
        RawClient client(server.port());
        client.send("GET /partial HTTP/1.1\r\n");
        ASSERT_TRUE(server.waitForOutput("connection from 127.0.0.1:"));
    }
    std::string out;
    ASSERT_TRUE(server.waitForOutput(" closed.\n"));
    out = server.output();
    std::size_t from = out.find("connection from ") + 16;
    std::string peer = out.substr(from, out.find('\n', from) - from);
    EXPECT_NE(out.find("0: Connection from " + peer + " closed.\n"), std::string::npos) << out;
}

TEST(ServerConnections, ConnectionsBeyondTheDescriptorsLeaveRoomByClosingTheSilentLongest) {
    SKIP_UNDER_WINE("a descriptor limit (setrlimit) does not apply to a Windows program");
    TempDir dir;
    dir.write("index.html", "hello");
    // Descriptors the server inherits make the system run out before the
    // limit says; the server then keeps fewer connections.
    for (int inherited : {0, 16}) {
        SCOPED_TRACE(std::to_string(inherited) + " descriptors inherited");
        std::vector<int> held;
        for (int i = 0; i < inherited; ++i) held.push_back(::open("/dev/null", O_RDONLY));
        ServerProcess server({}, dir.path(), true, true, 48);
        for (int fd : held) ::close(fd);
        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 60; ++i) {
            std::size_t mark = server.output().size();
            clients.push_back(std::make_unique<RawClient>(server.port()));
            ASSERT_TRUE(server.waitForOutput("connection from", std::chrono::seconds(10), mark));
            // One keeps talking, and so is never the one silent longest.
            clients.front()->send("G");
        }
        EXPECT_TRUE(server.waitForOutput("to admit a new one\n")) << server.output();
        EXPECT_EQ(server.output().find("out of descriptors with ") != std::string::npos, inherited > 0);
        // A new client is admitted and answered while the others hold on.
        EXPECT_TRUE(exchange(server.port(), "GET /index.html HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nhello"));
        EXPECT_FALSE(clients.front()->closedByServer(100ms)) << "the talking one stays";
        EXPECT_TRUE(clients[1]->closedByServer(100ms)) << "the first silent one made room";
        EXPECT_EQ(server.output().find("dropping it"), std::string::npos);
        EXPECT_EQ(server.waitExit(std::chrono::milliseconds(100)), -1) << "still running";
    }
}

TEST(ServerConsole, ControlBytesFromRequestsAreEscapedWhileConfigurationLinesStayAsRead) {
    TempDir dir;
    dir.write("site.cfg", "idle-timeout: 30;\nroot: ./;");
    ServerProcess server({"--config", "site.cfg"}, dir.path());
    EXPECT_NE(server.output().find("config item: \nroot\n"), std::string::npos) << "a line break read from the file";
    std::size_t mark = server.output().size();
    exchange(server.port(), "GET /a\nforged\x1b[2J\x7fline HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(server.waitForOutput(": closing connection from", std::chrono::seconds(10), mark));
    std::string console = server.output().substr(mark);
    EXPECT_NE(console.find("\nfilename is /a\\x0aforged\\x1b[2J\\x7fline\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("\nforged"), std::string::npos);
    EXPECT_EQ(console.find('\x1b'), std::string::npos);
    EXPECT_TRUE(exchange(server.port(), "GET /a HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 404 Not Found\r\n"));
}

TEST(ServerRequests, HeadInSeveralPiecesIsAnsweredWhenComplete) {
    TempDir dir;
    dir.write("index.html", "hello");
    ServerProcess server({}, dir.path());
    RawClient client(server.port());
    for (std::string piece : {"GET /index.html HT", "TP/1.1\r\nHost: 127.0.0.1\r", "\n\r"}) {
        client.send(piece);
        EXPECT_EQ(client.readFor(200ms), "") << "answered before the head was complete";
    }
    client.send("\n");
    std::string answer = client.readAll();
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\nhello"));
    EXPECT_TRUE(server.waitForOutput("0: closing connection from 127.0.0.1:"));
}

TEST(ServerRequests, LargeBodyIsGatheredOverSeveralReceives) {
    TempDir dir;
    ServerProcess server({}, dir.path());
    std::string body(40000, 'a');
    // With no interpreter configured, a complete script request is answered 500.
    std::string answer = exchange(server.port(), "POST /form.php HTTP/1.1\r\nContent-Length: 40000\r\n\r\n" + body);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 500 Internal Server Error\r\n")) << answer;
    EXPECT_TRUE(server.waitForOutput("PHP request\n"));
    EXPECT_TRUE(server.waitForOutput("main.RequestHandler.processPacketData returned from handleRequest\n"));
    // A body that never completes is never answered; the connection stays open.
    RawClient partial(server.port());
    partial.send("POST /form.php HTTP/1.1\r\nContent-Length: 40000\r\n\r\n" + body.substr(1));
    EXPECT_EQ(partial.readFor(300ms), "");
    EXPECT_FALSE(partial.closedByServer(100ms));
}
