// Request assembly: how received pieces become a head, a body and the calls
// of the routing, checked through a handler that records those calls.
#include "server/loop.h"
#include "server/routes.h"
#include "server/server.h"

#include "base/config.h"

#include <gtest/gtest.h>

#include <random>

using namespace fernhollow;

namespace {

// Records the routing calls; answers like the routing would for GET.
class RecordingHandler : public RequestHandler {
public:
    explicit RecordingHandler(BodyBudget* bodies = nullptr)
        : RequestHandler(std::make_unique<BufferConnection>(), bodies) {}
    void handleRequest() override {
        ++requests;
        bodyAtRequest = body;
        std::string_view line = request.headLines.front();
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
    const std::string& sent() const { return static_cast<BufferConnection&>(*socket).sent; }
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
    EXPECT_EQ(handler.request.headLines, (std::vector<std::string>{"GET /a HTTP/1.1", "Host: x", ""}));
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
    EXPECT_EQ(handler.request.headLines, std::vector<std::string>{""});
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

TEST(ConnectionLoop, WaitsUntilTheFirstDeadline) {
    using namespace std::chrono;
    const steady_clock::time_point now{seconds(1000)};
    const steady_clock::time_point never = steady_clock::time_point::max();
    const milliseconds minute = seconds(60);
    struct Case {
        steady_clock::time_point earliestDeadline;
        milliseconds wait;
    };
    const Case cases[] = {
        {never, minute},  // nothing due
        {now + seconds(5), seconds(5)},
        {now + milliseconds(500), milliseconds(500)},
        {now - seconds(4), milliseconds(0)},
        {now, milliseconds(0)},
        {now + seconds(600), minute},
        {now + microseconds(1500), milliseconds(2)},  // rounded up, never early
    };
    for (const Case& c : cases) EXPECT_EQ(loopWait(now, c.earliestDeadline, minute), c.wait);

    // A head is due `idle` after the first byte, however many came since;
    // nothing is due before the first byte or once the head is whole.
    struct HeadCase {
        steady_clock::time_point firstByte;
        bool headWhole;
        milliseconds idle;
        steady_clock::time_point due;
    };
    const HeadCase heads[] = {
        {now, false, seconds(2), now + seconds(2)},
        {now - seconds(59), false, seconds(60), now + seconds(1)},
        {now - seconds(3), false, seconds(2), now - seconds(1)},  // overdue
        {now, true, seconds(2), never},
        {now - seconds(3), true, seconds(2), never},
        {never, false, seconds(2), never},  // no byte yet: only the silence rule
    };
    for (const HeadCase& c : heads) EXPECT_EQ(headDeadline(c.firstByte, c.headWhole, c.idle), c.due);

    EXPECT_EQ(connectionCapacity(1024), 1024u - limits::reservedDescriptors);
    EXPECT_EQ(connectionCapacity(limits::reservedDescriptors), 1u);
    EXPECT_EQ(connectionCapacity(3), 1u);
    EXPECT_EQ(connectionCapacity(100), 100u - limits::reservedDescriptors);
    EXPECT_EQ(connectionCapacity(limits::reservedDescriptors), 1u);
}

TEST(RequestAssembly, BodiesInProgressShareOneBudget) {
    const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 60\r\n"
                             "Retry-After: 5\r\n\r\nToo many large request bodies in progress: try again later.\n";
    EXPECT_EQ(bodiesBusyAnswer(), busy);
    const std::string refusedLine = "request refused: the bodies in progress would hold more than " +
                                    std::to_string(limits::maxHeldBodyBytes) + " bytes\n";
    BodyBudget bodies(100);
    // A request: its announced length (0: none), its boundary, the pieces sent
    // after the head, and whether the budget refuses it.
    struct Case {
        std::string name;
        std::int64_t length;
        std::string boundary;
        std::vector<std::string> pieces;
        bool refused;
        std::int64_t usedAfter;
    };
    auto handlers = std::vector<std::unique_ptr<RecordingHandler>>();
    const Case cases[] = {
        {"announced 60 of 100", 60, "", {"abc"}, false, 60},
        {"announced 41 with 60 held", 41, "", {}, true, 60},
        {"announced 40 with 60 held", 40, "b", {}, false, 100},
        {"nothing announced, nothing sent", 0, "", {}, false, 100},
        {"a multipart body growing past what is left", 0, "b", {"x"}, true, 100},
        {"a negative length claims nothing", -5, "", {}, false, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto handler = std::make_unique<RecordingHandler>(&bodies);
        handler->postLength = c.length;
        handler->postBoundary = c.boundary;
        std::vector<std::string> pieces{"POST /x HTTP/1.1\r\n\r\n"};
        pieces.insert(pieces.end(), c.pieces.begin(), c.pieces.end());
        std::string out = handler->feed(pieces);
        EXPECT_EQ(handler->sent(), c.refused ? busy : "");
        EXPECT_EQ(handler->keepOpen, c.refused ? 0 : 1);
        EXPECT_EQ(out, c.refused ? refusedLine : "");
        EXPECT_EQ(bodies.used(), c.usedAfter);
        if (c.refused) {
            EXPECT_EQ(handler->body, "") << "the refused bytes are not kept";
        }
        handlers.push_back(std::move(handler));
    }
    // Closing the first gives its 60 back; a body without a length grows
    // within them, and more bytes than announced count as they come.
    handlers.front() = nullptr;
    EXPECT_EQ(bodies.used(), 40);
    {
        RecordingHandler growing(&bodies);
        growing.postBoundary = "b";
        growing.feed({"POST /x HTTP/1.1\r\n\r\n" + std::string(30, 'g'), std::string(30, 'g')});
        EXPECT_EQ(bodies.used(), 100);
        EXPECT_EQ(growing.sent(), "");
        growing.feed({"g"});
        EXPECT_EQ(growing.sent(), busy);
        EXPECT_EQ(growing.body.size(), 60u);
    }
    handlers.clear();
    EXPECT_EQ(bodies.used(), 0) << "every claim is given back";
    RecordingHandler overrun(&bodies);
    overrun.postLength = 10;
    overrun.feed({"POST /x HTTP/1.1\r\n\r\n", std::string(99, 'o')});
    EXPECT_EQ(bodies.used(), 99);
    overrun.feed({"o"});
    EXPECT_EQ(bodies.used(), 100);
    EXPECT_EQ(overrun.sent(), "");
    overrun.feed({"o"});
    EXPECT_EQ(overrun.sent(), busy) << "announcing little does not let a body grow past the budget";

    // The per-connection limit is told apart from the shared one, and comes first.
    BodyBudget small(10);
    RecordingHandler huge(&small);
    huge.postLength = limits::maxBodyBytes + 1;
    huge.feed({"POST /x HTTP/1.1\r\n\r\n"});
    EXPECT_TRUE(huge.sent().starts_with("HTTP/1.1 413 Content Too Large\r\n")) << huge.sent();
    EXPECT_EQ(small.used(), 0);
}

// The rows whose order decides (each route's answer has its black-box test).
TEST(Routes, TheFirstMatchingRowTakesTheRequest) {
    struct Row {
        std::string head;
        Match match;
        std::string_view path;
        bool answersAtOnce;
        bool takesBody;
    };
    const Row rows[] = {
        {"GET /tiddly/", Match::Any, "", true, false},
        {"POST /savetiddly.php", Match::Script, "", false, true},
        {"POST /savetiddly", Match::Prefix, "/savetiddly", false, true},
        {"POST /savetiddly/x?y.php", Match::Prefix, "/savetiddly", false, true},
        {"POST /other", Match::Any, "", false, false},
        {"PUT /a.html", Match::Any, "", false, true},
    };
    for (const Row& row : rows) {
        const Route* route = findRoute(parseRequestHead(row.head + " HTTP/1.1\r\n\r\n"));
        ASSERT_NE(route, nullptr) << row.head;
        EXPECT_EQ(route->match, row.match) << row.head;
        EXPECT_EQ(route->path, row.path) << row.head;
        EXPECT_EQ(route->answer != nullptr, row.answersAtOnce) << row.head;
        EXPECT_EQ(route->takeBody != nullptr, row.takesBody) << row.head;
    }
}

} // namespace
