// Request assembly: how received pieces become a head, a body and the calls
// of the routing, checked through a handler that records those calls.
#include "server.h"

#include "config.h"

#include <gtest/gtest.h>

#include <random>

using namespace fernhollow;

namespace {

// Records the routing calls; answers like the routing would for GET.
class RecordingHandler : public RequestHandler {
public:
    RecordingHandler() : RequestHandler(std::make_unique<BufferConnection>()) {}
    void handleRequest() override {
        ++requests;
        bodyAtRequest = body;
        std::string_view line = headLines.front();
        if (line.rfind("GET ", 0) == 0) keepOpen = 0;
        if (line.rfind("POST ", 0) == 0) {
            boundary = postBoundary;
            contentLength = postLength;
        }
    }
    void handlePost() override {
        ++posts;
        bodyAtPost = body;
    }
    // Feeds `pieces` one receive each and returns the console output.
    std::string feed(const std::vector<std::string>& pieces) {
        ::testing::internal::CaptureStdout();
        for (const auto& piece : pieces) processPacketData(piece);
        return ::testing::internal::GetCapturedStdout();
    }
    int requests = 0;
    int posts = 0;
    std::string bodyAtRequest, bodyAtPost;
    std::string postBoundary;
    std::int64_t postLength = 0;
};

TEST(RequestAssembly, HeadInSeveralPieces) {
    RecordingHandler handler;
    handler.feed({"GET /a HTTP/1.1\r", "\nHost: x\r\n\r"});
    EXPECT_EQ(handler.requests, 0);
    EXPECT_EQ(handler.keepOpen, 1);
    handler.feed({"\nextra"});
    EXPECT_EQ(handler.requests, 1);
    EXPECT_EQ(handler.headLines, (std::vector<std::string>{"GET /a HTTP/1.1", "Host: x", ""}));
    EXPECT_EQ(handler.bodyAtRequest, "GET /a HTTP/1.1\r\nHost: x\r\n\r\nextra");
    EXPECT_EQ(handler.body, "extra");
    EXPECT_EQ(handler.keepOpen, 0);
}

TEST(RequestAssembly, HeadIsParsedOnce) {
    RecordingHandler handler;
    handler.feed({"PUT / HTTP/1.1\r\n\r\n", "more\r\n\r\n", "x"});
    EXPECT_EQ(handler.requests, 1);
    EXPECT_EQ(handler.body, "more\r\n\r\nx");
    EXPECT_EQ(handler.keepOpen, 1);
}

TEST(RequestAssembly, HeadStartingWithAnEmptyLine) {
    RecordingHandler handler;
    handler.feed({"\r\n\r\nrest"});
    EXPECT_EQ(handler.headLines, std::vector<std::string>{""});
    EXPECT_EQ(handler.requests, 1);
}

TEST(RequestAssembly, ContentLengthCompletion) {
    RecordingHandler handler;
    handler.postLength = 10;
    std::string out = handler.feed({"POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n1234", "567890"});
    EXPECT_EQ(handler.posts, 1);
    EXPECT_EQ(handler.bodyAtPost, "1234567890");
    EXPECT_EQ(out, "main.RequestHandler.processPacketData returned from handleRequest\n");

    RecordingHandler whole;
    whole.postLength = 4;
    whole.feed({"POST /x HTTP/1.1\r\n\r\nabcd"});
    EXPECT_EQ(whole.posts, 1) << "head and body in one piece";

    RecordingHandler over;
    over.postLength = 10;
    over.feed({"POST /x HTTP/1.1\r\n\r\n", "123456789012"});
    EXPECT_EQ(over.posts, 0) << "more bytes than announced are never dispatched by length";
}

TEST(RequestAssembly, ClosingDelimiterCompletion) {
    RecordingHandler handler;
    handler.postBoundary = "XyZ";
    std::string out = handler.feed({"POST /savetiddly HTTP/1.1\r\n\r\n--XyZ\r\n\r\ndata\r", "\n--Xy", "Z-", "-\r\n"});
    EXPECT_EQ(handler.posts, 1);
    EXPECT_EQ(handler.bodyAtPost, "--XyZ\r\n\r\ndata\r\n--XyZ--\r\n");
    EXPECT_EQ(out, "") << "no length line after a delimiter dispatch";
    // Nothing answered: every later receive dispatches again, as a full search would.
    handler.feed({"tail"});
    EXPECT_EQ(handler.posts, 2);
}

// A multipart body with a Content-Length is whole only at that length: the
// page may hold the closing delimiter's text, and bytes past the length are
// no part of it.
TEST(RequestAssembly, AMultipartBodyWithALengthIsWholeAtThatLength) {
    const std::string body = "--XyZ\r\n\r\n<p>a\r\n--XyZ--\r\nb</p>\r\n--XyZ--\r\n";
    RecordingHandler handler;
    handler.postBoundary = "XyZ";
    handler.postLength = static_cast<std::int64_t>(body.size());
    std::string out = handler.feed({"POST /savetiddly HTTP/1.1\r\n\r\n" + body.substr(0, 20), body.substr(20, 5)});
    EXPECT_EQ(handler.posts, 0) << "a closing delimiter inside the page does not end the body";
    out += handler.feed({body.substr(25) + "POST /next"});
    EXPECT_EQ(handler.posts, 1);
    EXPECT_EQ(handler.bodyAtPost, body);
    EXPECT_EQ(out, "") << "no length line after a multipart dispatch";
}

// However a request is cut into receives, the remembered searches dispatch on
// exactly the receives where a search of the whole body would.
TEST(RequestAssembly, RandomSplitsMatchAFullSearch) {
    const std::string request =
        "POST /savetiddly HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n\r\n"
        "--b\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\n\r\n"
        "page \r\n--b \r\n-- \r\n--b--\r\nafter";
    const std::size_t headEnd = request.find("\r\n\r\n") + 4;
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        RecordingHandler handler;
        handler.postBoundary = "b";
        std::vector<std::string> pieces;
        int expectedPosts = 0;
        for (std::size_t at = 0; at < request.size();) {
            std::size_t size = 1 + random() % 12;
            pieces.push_back(request.substr(at, size));
            at += size;
            std::size_t received = std::min(at, request.size());
            if (received >= headEnd && request.substr(headEnd, received - headEnd).find("\r\n--b--") != std::string::npos)
                ++expectedPosts;
        }
        handler.feed(pieces);
        EXPECT_EQ(handler.requests, 1);
        EXPECT_EQ(handler.posts, expectedPosts);
        EXPECT_EQ(handler.body, request.substr(headEnd));
    }
}

TEST(RequestAssembly, SearchesRememberWhereTheyStopped) {
    std::size_t searchedTo = 0;
    EXPECT_EQ(findFromLastMiss("abc\r\n\r", "\r\n\r\n", searchedTo), std::string::npos);
    EXPECT_EQ(searchedTo, 3u);
    EXPECT_EQ(findFromLastMiss("abc\r\n\r\nx", "\r\n\r\n", searchedTo), 3u);
    searchedTo = 0;
    EXPECT_EQ(findFromLastMiss("ab", "\r\n\r\n", searchedTo), std::string::npos);
    EXPECT_EQ(searchedTo, 0u);
}

TEST(RequestAssembly, HeadAndBodyLimits) {
    const std::string lineOf3 = "a\r\n";
    auto repeated = [](const std::string& text, std::size_t times) {
        std::string all;
        while (times-- > 0) all += text;
        return all;
    };
    struct Case {
        std::string received;
        bool refused;
    };
    const std::string line = "GET / HTTP/1.1\r\n";
    const Case cases[] = {
        {std::string(limits::maxHeadBytes - 1, 'x'), false},  // its end may still come
        {std::string(limits::maxHeadBytes, 'x'), true},
        {line + std::string(limits::maxHeadBytes - line.size() - 4, 'x') + "\r\n\r\n", false},
        {line + std::string(limits::maxHeadBytes - line.size() - 3, 'x') + "\r\n\r\n", true},
        {line + repeated(lineOf3, limits::maxHeadLines - 2) + "\r\n", false},
        {line + repeated(lineOf3, limits::maxHeadLines - 1) + "\r\n", true},
    };
    for (const Case& c : cases) {
        std::size_t headEnd = c.received.find("\r\n\r\n");
        EXPECT_EQ(headOverLimit(c.received, headEnd).has_value(), c.refused) << c.received.size();
    }

    // An announced body at the limit is awaited, with room made for it.
    RecordingHandler atLimit;
    atLimit.postLength = limits::maxBodyBytes;
    atLimit.feed({"POST /x HTTP/1.1\r\n\r\nsome"});
    EXPECT_EQ(atLimit.keepOpen, 1);
    EXPECT_EQ(static_cast<BufferConnection&>(*atLimit.socket).sent, "");
    EXPECT_GE(atLimit.body.capacity(), static_cast<std::size_t>(limits::maxReservedBodyBytes)) << "room made at once";
    EXPECT_LT(atLimit.body.capacity(), static_cast<std::size_t>(limits::maxBodyBytes)) << "but not for all it claims";
}

TEST(ConnectionLoop, WaitsUntilTheFirstSilenceDeadline) {
    using namespace std::chrono;
    const steady_clock::time_point now{seconds(1000)};
    const milliseconds minute = seconds(60);
    struct Case {
        steady_clock::time_point earliestHeard;
        milliseconds idle, wait;
    };
    const Case cases[] = {
        {steady_clock::time_point::max(), seconds(5), minute},  // nothing open
        {now, seconds(5), seconds(5)},
        {now - milliseconds(4500), seconds(5), milliseconds(500)},
        {now - seconds(9), seconds(5), milliseconds(0)},
        {now, seconds(600), minute},
        {now - microseconds(1500), milliseconds(3), milliseconds(2)},  // rounded up, never early
    };
    for (const Case& c : cases) EXPECT_EQ(loopWait(now, c.earliestHeard, c.idle, minute), c.wait);
    EXPECT_EQ(connectionCapacity(1024), 1024u - limits::reservedDescriptors);
    EXPECT_EQ(connectionCapacity(limits::reservedDescriptors), 1u);
    EXPECT_EQ(connectionCapacity(3), 1u);
    EXPECT_EQ(connectionCapacity(100), 100u - limits::reservedDescriptors);
    EXPECT_EQ(connectionCapacity(limits::reservedDescriptors), 1u);
}

TEST(Port, OnlyPlainDecimalsUpTo65535) {
    std::uint16_t port = 1;
    EXPECT_TRUE(parsePort("0", port));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(parsePort("65535", port));
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(parsePort("08080", port));
    EXPECT_EQ(port, 8080);
    for (const char* bad : {"", "65536", "-1", "+80", " 80", "80 ", "8o", "100000", "0x50"})
        EXPECT_FALSE(parsePort(bad, port)) << bad;
}

} // namespace
