// The request's head taken apart once: the request line, the target's path
// and query, and the headers the server reads.
#include "http/request.h"

#include <gtest/gtest.h>

#include <system_error>

using namespace fernhollow;

namespace {

TEST(ParseRequestHead, FillsTheRequestOnce) {
    struct Row {
        std::string head;
        std::optional<std::string> method, path, query;
        std::string afterPath;
    };
    const Row rows[] = {
        {"GET /a.html?x=1?y HTTP/1.1\r\n\r\n", "GET", "/a.html", "x=1", "?x=1?y"},
        {"GET / HTTP/1.1\r\n\r\n", "GET", "/", std::nullopt, ""},
        {"HEAD /a%20b.html?q HTTP/1.1\r\nHost: x\r\n\r\nbody", "HEAD", "/a b.html", "q", "?q"},
        {"POST /x%3F.php?%41 HTTP/1.1\r\n\r\n", "POST", "/x?.php", "%41", "?%41"},
        {"GET /a%00.html HTTP/1.1\r\n\r\n", "GET", std::nullopt, std::nullopt, ""},
        {"GET\r\n\r\n", std::nullopt, std::nullopt, std::nullopt, ""},
    };
    for (const Row& row : rows) {
        Request request = parseRequestHead(row.head, "127.0.0.1:5");
        EXPECT_EQ(request.line ? std::optional(request.line->method) : std::nullopt, row.method) << row.head;
        EXPECT_EQ(request.path, row.path) << row.head;
        EXPECT_EQ(request.query, row.query) << row.head;
        EXPECT_EQ(request.afterPath, row.afterPath) << row.head;
        EXPECT_EQ(request.peer, "127.0.0.1:5");
        EXPECT_EQ(request.headLines.back(), "") << row.head;
        if (request.path) EXPECT_EQ(request.decodedTarget(), *request.path + row.afterPath);
    }
    EXPECT_EQ(parseRequestHead("HEAD /a?q HTTP/1.1\r\nHost: x\r\n\r\nbody").headLines,
              (std::vector<std::string>{"HEAD /a?q HTTP/1.1", "Host: x", ""}));
    PostHeaders post = readPostHeaders(
        parseRequestHead("POST /other?z HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=--B\r\n"
                         "Content-Length: 99\r\n\r\n")
            .headLines);
    EXPECT_EQ(post.boundary, "--B");
    EXPECT_EQ(post.contentLength, 99);
}

struct RequestLineCase {
    std::string line;
    bool valid;
    std::string method;
    std::string target;
};

TEST(ParseRequestLine, TakesMethodAndTargetFromTheFirstTwoWords) {
    const RequestLineCase cases[] = {
        {"GET /index.html HTTP/1.1", true, "GET", "/index.html"},
        {"GET /", true, "GET", "/"},
        {"GET  /x HTTP/1.1", true, "GET", ""},  // two blanks: the target is the empty word
        {" /x", true, "", "/x"},
        {"get /a b c d", true, "get", "/a"},
        {"GET", false, "", ""},
        {"", false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto parsed = parseRequestLine(c.line);
        ASSERT_EQ(parsed.has_value(), c.valid);
        if (!parsed) continue;
        EXPECT_EQ(parsed->method, c.method);
        EXPECT_EQ(parsed->target, c.target);
    }
}

TEST(SplitTarget, CutsThePathAtTheFirstQuestionMarkAndKeepsTheNextPiece) {
    struct Case {
        std::string target, path;
        std::optional<std::string> query;
    };
    const Case cases[] = {
        {"/index.html?x=1", "/index.html", "x=1"},
        {"/a?x=1?y=2", "/a", "x=1"},
        {"/a", "/a", std::nullopt},
        {"/a?", "/a", ""},
        {"?q", "", "q"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        SplitTarget split = splitTarget(c.target);
        EXPECT_EQ(split.path, c.path);
        EXPECT_EQ(split.query, c.query);
    }
}

TEST(DecodeTargetPath, DecodesThePathOnlyAndKeepsMalformedEscapes) {
    struct Case {
        std::string target;
        std::optional<std::string> decoded;
    };
    const Case cases[] = {
        {"/tiddly-%C3%9Cbersicht.html", "/tiddly-\xC3\x9C" "bersicht.html"},
        {"/my%20notes.html?a%20b", "/my notes.html?a%20b"},  // the query keeps its bytes
        {"/%c3%bc%2e%2E/x", "/\xC3\xBC../x"},
        {"/a%3Fb?c", "/a?b?c"},
        {"/plain+name.html", "/plain+name.html"},
        {"/%zz%4%", "/%zz%4%"},
        {"/%%41", "/%A"},
        {"/a%2", "/a%2"},
        {"/a%2?x", "/a%2?x"},  // an escape never reaches into the query
        {"/a%00b", std::nullopt},
        {"/a?%00", "/a?%00"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(decodeTargetPath(c.target), c.decoded);
    }
}

TEST(ReadPostHeaders, ReadsLengthAndBoundary) {
    struct Case {
        std::string name;
        std::vector<std::string> lines;
        std::int64_t length;
        std::string boundary;
    };
    const std::string req = "POST /savetiddly HTTP/1.1";
    const Case cases[] = {
        {"plain length", {req, "Content-Length: 10", ""}, 10, ""},
        {"plus sign", {req, "Content-Length: +7", ""}, 7, ""},
        {"negative", {req, "Content-Length: -5", ""}, -5, ""},
        {"largest", {req, "Content-Length: 9223372036854775807", ""}, INT64_MAX, ""},
        {"no blank after colon", {req, "Content-Length:10", ""}, 0, ""},
        {"two blanks", {req, "Content-Length:  10", ""}, 0, ""},
        {"trailing word", {req, "Content-Length: 10 x", ""}, 0, ""},
        {"lower case name", {req, "content-length: 10", ""}, 0, ""},
        {"last length line wins", {req, "Content-Length: 10", "Content-Length: 12", ""}, 12, ""},
        {"last length line unusable", {req, "Content-Length: 10", "Content-Length:12", ""}, 0, ""},
        {"boundary", {req, "Content-Type: multipart/form-data; boundary=----X", ""}, 0, "----X"},
        {"quoted boundary", {req, "Content-Type: multipart/form-data; boundary=\"a b\"", ""}, 0, "\"ab\""},
        {"boundary holding =", {req, "Content-Type: multipart/form-data; boundary=a=b", ""}, 0, ""},
        {"tab stays", {req, "Content-Type: multipart/form-data;\tboundary=x", ""}, 0, ""},
        {"disposition", {req, "Content-Disposition: form-data; boundary=d", ""}, 0, "d"},
        {"later header replaces the list",
         {req, "Content-Type: multipart/form-data; boundary=t", "Content-Disposition: form-data", ""}, 0, ""},
        {"later parameter wins", {req, "Content-Type: x; boundary=a; boundaryB=b", ""}, 0, "b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PostHeaders headers = readPostHeaders(c.lines);
        EXPECT_EQ(headers.contentLength, c.length);
        EXPECT_EQ(headers.boundary, c.boundary);
    }
}

TEST(ReadPostHeaders, RaisesForALengthThatIsNotASigned64BitNumber) {
    for (std::string value : {"abc", "", "12a", "9223372036854775808", "-9223372036854775809", "+"}) {
        SCOPED_TRACE(value);
        std::vector<std::string> lines{"POST /x HTTP/1.1", "Content-Length: " + value, ""};
        EXPECT_THROW(readPostHeaders(lines), std::system_error);
    }
}

TEST(TransferEncoding, OnlyIdentityIsTakenAsPlainBytes) {
    using Lines = std::vector<std::string>;
    for (const Lines& head : {Lines{"POST / HTTP/1.1", ""}, Lines{"GET / HTTP/1.1", "transfer-encoding:  IDENTITY ", ""},
                              Lines{"Transfer-Encoding: chunked", ""}})  // a request line is never a header
        EXPECT_FALSE(hasUnsupportedTransferEncoding(head)) << ::testing::PrintToString(head);
    for (const Lines& head : {Lines{"POST / HTTP/1.1", "Transfer-Encoding: chunked", ""},
                              Lines{"GET / HTTP/1.1", "TRANSFER-ENCODING: gzip, chunked", ""},
                              Lines{"POST / HTTP/1.1", "Transfer-Encoding:", ""},
                              Lines{"POST / HTTP/1.1", "Transfer-Encoding: identity", "Transfer-Encoding: chunked", ""}})
        EXPECT_TRUE(hasUnsupportedTransferEncoding(head)) << ::testing::PrintToString(head);
}

} // namespace
