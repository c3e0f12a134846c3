// Request handling pieces on their own: path mapping, content types, the fixed answer bytes and the wiki list page; then
// the handler's routing decisions on an in-memory connection.
#include "base/config.h"
#include "http/handling.h"
#include "wiki/wikilist.h"
#include "wiki/pages.h"
#include "platform/files.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "server/server.h"
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace fernhollow;
namespace bb = fernhollow::testing;

namespace {

TEST(MapUrlToPath, PutsTheRootInFrontAndCollapsesDoubledSlashes) {
    struct Case {
        std::string root, url, filePath;
        bool prefixed;
        // Windows turns every "/" into "\\" first; where more than that
        // changes, what Windows gives.
        std::string windowsFilePath = {};
    };
    const Case cases[] = {
        {"C:\\wiki", "/index.html", "C:\\wiki/index.html", true},
        {"C:\\wiki\\", "/index.html", "C:\\wiki\\/index.html", true, "C:\\wiki\\index.html"},
        {"C:\\wiki\\", "C:\\wiki\\a.html", "C:\\wiki\\a.html", false},
        {"./", "/a\\\\\\b", "./a\\\\\\b", true, ".\\a\\\\b"},  // three backslashes become two
        {"./", "/index.html", "./index.html", true},
        {"/srv/wiki", "/index.html", "/srv/wiki/index.html", true},
        {"/srv/wiki/", "/index.html", "/srv/wiki/index.html", true},
        {"", "/index.html", "/index.html", false},
        {"/srv/wiki/", "/srv/wiki/a.html", "/srv/wiki/a.html", false},
        {"./", "/lib/web\\MathJax/x.js", "/lib/web\\MathJax/x.js", false},
        {"./", "///a", ".//a", true},  // one pass: "./" + "///a" has four slashes
        {"./", "/a\\b.html", "./a\\b.html", true},
        {"./", "/a%20b.html", "./a%20b.html", true},
        {"../www/", "/x.html", "../www/x.html", true},
        // A root without its final "/" only matches whole folders.
        {"/srv/wiki", "/srv/wiki/a.html", "/srv/wiki/a.html", false},
        {"/srv/wiki", "/srv/wiki-other/a.html", "/srv/wiki/srv/wiki-other/a.html", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.root + " + " + c.url);
        MappedPath mapped = mapUrlToPath(c.root, c.url);
        std::string windowsFilePath = c.windowsFilePath.empty() ? bb::systemForm(c.filePath) : c.windowsFilePath;
        EXPECT_EQ(mapped.filePath, platform::windowsFileNames ? windowsFilePath : c.filePath);
        EXPECT_EQ(mapped.rootPrefixed, c.prefixed);
    }
}

TEST(ChooseContentType, TheFirstRuleThatHoldsDecides) {
    struct Case {
        std::string url;
        ContentKind kind;
        std::string type;
    };
    const Case cases[] = {
        {"/style.css", ContentKind::Typed, "text/css"},
        {"/style.css.txt", ContentKind::Typed, "text/css"},
        {"/notes.txt", ContentKind::Typed, "text/plain"},
        {"/page.html.txt", ContentKind::Typed, "text/plain"},
        {"/notes.txt.bak", ContentKind::Unknown, ""},
        {"/index.html", ContentKind::Typed, "text/html"},
        {"/page.php.html", ContentKind::Typed, "text/html"},
        {"/data.json", ContentKind::Typed, "text/javascript"},
        // A last name ending in ".php" is a script before any rule of the table.
        {"/a.js.php", ContentKind::Script, ""},
        {"/reveal.js/notes.php", ContentKind::Script, ""},
        {"/a.html.php?x.css", ContentKind::Script, ""},
        {"/style.css.php", ContentKind::Script, ""},
        {"/page.php.html/", ContentKind::Typed, "text/html"},
        {"/x.php/readme.txt", ContentKind::Typed, "text/plain"},
        {"/x.php/readme", ContentKind::Script, ""},
        {"/x.php.bak", ContentKind::Script, ""},
        {"/a.png", ContentKind::Typed, "image/png"},
        {"/a.gif", ContentKind::Typed, "image/gif"},
        {"/run.php", ContentKind::Script, ""},
        {"/run.php?x=1", ContentKind::Script, ""},
        {"/php.ttf", ContentKind::Typed, "font/ttf"},
        {"/font.ttf", ContentKind::Typed, "font/ttf"},
        {"/A.HTML", ContentKind::Unknown, ""},
        {"/", ContentKind::Unknown, ""},
        // Windows opens t.php for t.PHP: there it is the script, never a file to send.
        {"/t.PHP", platform::windowsFileNames ? ContentKind::Script : ContentKind::Unknown, ""},
        {"/t.Php?x=1", platform::windowsFileNames ? ContentKind::Script : ContentKind::Unknown, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        ContentChoice choice = chooseContentType(c.url);
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.type, c.type);
    }
}

TEST(FixedAnswers, ByteForByte) {
    EXPECT_EQ(okHead("text/html", 1234, "\"a-4d2-5\""),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1234\r\nETag: \"a-4d2-5\"\r\n"
              "Cache-control: no-store\r\nPragma: no-cache\r\n\r\n");
    EXPECT_EQ(okHead("", 0, "\"1-0-0\""),
              "HTTP/1.1 200 OK\r\nContent-Type: \r\nContent-Length: 0\r\nETag: \"1-0-0\"\r\n"
              "Cache-control: no-store\r\nPragma: no-cache\r\n\r\n");
    EXPECT_EQ(notFoundPage("./"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\nDOCUMENT_ROOT=./\r\n"
              "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n"
              "<html><head><title>404 Not Found</title></head>"
              "<body><h1>Not Found</h1><p>The requested URL was not found on this server.</p></body></html>");
    std::string bad = badRequestLineAnswer();
    EXPECT_TRUE(bad.starts_with("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: "));
    std::size_t headEnd = bad.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    std::string lengthLine = bad.substr(0, headEnd).substr(bad.rfind("Content-Length: ", headEnd) + 16);
    EXPECT_EQ(std::to_string(bad.size() - headEnd - 4), lengthLine);
}

TEST(WikiFileName, MatchesTiddlyStarHtmlIgnoringCase) {
    struct Case {
        std::string name;
        bool match;
    };
    const Case cases[] = {
        {"tiddly-notes.html", true}, {"TIDDLY-Work.HTML", true}, {"tiddly-.html", true},
        {"tiddly-a.htm", false},     {"tiddly-a.html.bak", false}, {"other.html", false},
        {"tiddly.html", false},      {"xtiddly-a.html", false},  {"tiddly-html", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(isWikiFileName(c.name), c.match);
    }
}

TEST(WikiEntry, JoinsRootAndNameAndCutsAtSlashes) {
    struct Case {
        std::string root, name, fullName, partsLine;
        // What Windows gives, joining and cutting at "\\".
        std::string windowsFullName, windowsPartsLine;
    };
    const Case cases[] = {
        {"./", "tiddly-notes.html", "./tiddly-notes.html", "parts [\".\", \"tiddly-notes.html\"]",
         "./tiddly-notes.html", "parts [\"./tiddly-notes.html\"]"},
        {".\\", "tiddly-notes.html", ".\\tiddly-notes.html", "parts [\".\\tiddly-notes.html\"]",
         ".\\tiddly-notes.html", "parts [\".\", \"tiddly-notes.html\"]"},
        {"", "tiddly-a.html", "tiddly-a.html", "parts [\"tiddly-a.html\"]", "tiddly-a.html", "parts [\"tiddly-a.html\"]"},
        {"/srv/wiki", "tiddly-a.html", "/srv/wiki/tiddly-a.html", "parts [\"\", \"srv\", \"wiki\", \"tiddly-a.html\"]",
         "/srv/wiki\\tiddly-a.html", "parts [\"/srv/wiki\", \"tiddly-a.html\"]"},
        {"C:\\wiki", "tiddly-a.html", "C:\\wiki/tiddly-a.html", "parts [\"C:\\wiki\", \"tiddly-a.html\"]",
         "C:\\wiki\\tiddly-a.html", "parts [\"C:\", \"wiki\", \"tiddly-a.html\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.root);
        WikiEntry entry = wikiEntry(c.root, c.name);
        EXPECT_EQ(entry.fullName, platform::windowsFileNames ? c.windowsFullName : c.fullName);
        EXPECT_EQ(partsLine(entry.parts), platform::windowsFileNames ? c.windowsPartsLine : c.partsLine);
        EXPECT_EQ(entry.linkText, c.name);
    }
}

TEST(Escaping, HtmlAndPercentEncoding) {
    struct Case {
        std::string text, html, address;
    };
    const Case cases[] = {
        {"tiddly-a_b.c~d-1.html", "tiddly-a_b.c~d-1.html", "tiddly-a_b.c~d-1.html"},
        {"it's", "it&#39;s", "it%27s"},
        {"a&b", "a&amp;b", "a%26b"},
        {"<script>\"x\"", "&lt;script&gt;&quot;x&quot;", "%3Cscript%3E%22x%22"},
        {"my notes", "my notes", "my%20notes"},
        {"%41", "%41", "%2541"},
        {"\xC3\xA9", "\xC3\xA9", "%C3%A9"},
        {"a/b", "a/b", "a/b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(escapeHtml(c.text), c.html);
        EXPECT_EQ(percentEncode(c.text), c.address);
    }
}

TEST(WikiListPage, TitlesSizesAndRows) {
    struct Title {
        std::string head, title;
    };
    const Title titles[] = {
        {"<html><head><title>My Notes</title>", "My Notes"},
        {"<TITLE lang=en>\n  Work &amp; play &#8212; &#x4E2D;\t</Title>", "Work & play \xE2\x80\x94 \xE4\xB8\xAD"},
        {"<titles>no</titles><title>yes</title>", "yes"},
        {"<title>&lt;b&gt; &bogus; &#0; & x</title>", "<b> &bogus; &#0; & x"},
        {"<title>never closed", ""},
        {"no title at all", ""},
    };
    for (const Title& c : titles) EXPECT_EQ(pageTitle(c.head), c.title) << c.head;
    const std::pair<std::int64_t, std::string> sizes[] = {
        {0, "0 bytes"}, {999, "999 bytes"}, {1000, "1.0 KB"}, {2552335, "2.6 MB"}, {2400000, "2.4 MB"},
        {3'000'000'000, "3.0 GB"}};
    for (const auto& [size, text] : sizes) EXPECT_EQ(approximateSize(size), text);

    std::string empty = wikiListPage("/home/a & b", {});
    EXPECT_NE(empty.find("<h1>Wikis in /home/a &amp; b</h1>"), std::string::npos) << empty;
    EXPECT_NE(empty.find("as <code>tiddly-NAME.html</code>"), std::string::npos) << empty;
    WikiRow wiki{"tiddly-it's.html", "<My> wiki", 2400000, {}, 12};
    wiki.saved.tm_year = 126, wiki.saved.tm_mon = 11, wiki.saved.tm_mday = 8, wiki.saved.tm_hour = 9, wiki.saved.tm_min = 5;
    WikiRow index{"index.html", "", 812, wiki.saved, 0};
    std::string page = wikiListPage("/w", {wiki, index});
    EXPECT_NE(page.find("<tr><td><a href='./tiddly-it%27s.html' target=\"_blank\" rel=\"noopener noreferrer\">&lt;My&gt; "
                        "wiki</a></td><td>tiddly-it&#39;s.html</td><td>2026-12-08 09:05</td><td>2.4 MB</td><td><a "
                        "href='/tiddly/history?page=tiddly-it%27s.html'>history (12)</a></td></tr>"),
              std::string::npos) << page;
    EXPECT_NE(page.find("<a href='./' target=\"_blank\" rel=\"noopener noreferrer\">index.html</a></td><td>index.html"
                        "</td><td>2026-12-08 09:05</td><td>812 bytes</td><td></td></tr>"),
              std::string::npos) << page;
    EXPECT_EQ(wikiListResponse("abc"), "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 3\r\n\r\nabc");
}

// A connection that fails like a peer that went away, after `okSends` sends.
class FailingConnection : public Connection {
public:
    explicit FailingConnection(int okSends) : okSends_(okSends) {}
    void send(std::string_view bytes) override {
        if (okSends_-- <= 0) {
            errno = EPIPE;
            platform::raiseNetworkErrno("send");
        }
        sent.append(bytes);
    }
    std::string peerAddress() const override { return "127.0.0.1:1"; }
    std::string sent;

private:
    int okSends_;
};

// A handler on an in-memory connection, serving the folder `root`.
struct Handler {
    explicit Handler(const std::string& root, std::unique_ptr<Connection> connection = std::make_unique<BufferConnection>())
        : handler(std::move(connection)) {
        setConfig("root", root);
    }
    std::string sent() { return static_cast<BufferConnection&>(*handler.socket).sent; }
    RequestHandler handler;
};

TEST(Routing, AnswersOrLeavesOpenAsTheRequestLineSays) {
    bb::TempDir dir;
    dir.write("index.html", "hello");
    struct Case {
        std::string request;
        std::int32_t keepOpen;
        std::string answerStart;  // empty: nothing sent
    };
    const Case cases[] = {
        {"DELETE /index.html HTTP/1.1\r\n\r\n", 1, ""},
        {"PUT /index.html HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 411 Length Required\r\n"},
        {"PUT /index.html HTTP/1.1\r\nContent-Length: 5\r\n\r\n", 1, ""},
        {"OPTIONS / HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 200 OK\r\nDAV: 1\r\n"},
        {"get /index.html HTTP/1.1\r\n\r\n", 1, ""},
        {"POST /other HTTP/1.1\r\nContent-Length: 5\r\n\r\n", 1, ""},
        {"GET\r\n\r\n", 0, "HTTP/1.1 400 Bad Request\r\n"},
        {"\r\n\r\n", 0, "HTTP/1.1 400 Bad Request\r\n"},
        {"GET  HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 400 Bad Request\r\n"},
        {"POST  HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 0, "HTTP/1.1 400 Bad Request\r\n"},
        {"GET / HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"},
        {"HEAD / HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"},
        {"POST /../x.php HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 0, "HTTP/1.1 404 Not Found\r\n"},
        {"POST /a\\..\\x.php HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", 0, "HTTP/1.1 404 Not Found\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        Handler h(dir.path() + "/");
        h.handler.processPacketData(c.request);
        EXPECT_EQ(h.handler.keepOpen, c.keepOpen);
        if (c.answerStart.empty()) {
            EXPECT_EQ(h.sent(), "");
        } else {
            EXPECT_TRUE(h.sent().starts_with(c.answerStart)) << h.sent();
        }
    }
}

TEST(SendFile, AFailingConnectionIsNotAnsweredWithA400Head) {
    bb::TempDir dir;
    // A piece more than two sends can carry.
    dir.write("big.txt", std::string(2 * fileChunkSize + 1, 'x'));
    for (int okSends : {0, 1, 2}) {
        SCOPED_TRACE(okSends);
        auto connection = std::make_unique<FailingConnection>(okSends);
        FailingConnection& sink = *connection;
        Handler h(dir.path() + "/", std::move(connection));
        EXPECT_THROW(h.handler.processPacketData("GET /big.txt HTTP/1.1\r\n\r\n"), platform::NetworkError);
        EXPECT_EQ(sink.sent.find("400 Bad Request"), std::string::npos);
        if (okSends > 0) {
            EXPECT_TRUE(sink.sent.starts_with("HTTP/1.1 200 OK\r\n"));
        }
    }
    auto connection = std::make_unique<FailingConnection>(0);
    Handler head(dir.path() + "/", std::move(connection));
    EXPECT_THROW(head.handler.processPacketData("HEAD /big.txt HTTP/1.1\r\n\r\n"), platform::NetworkError);
}

TEST(SendFile, StreamsInPiecesOfTheChunkSize) {
    // Counts the sends, to see that the body is cut into whole pieces.
    class CountingConnection : public BufferConnection {
    public:
        void send(std::string_view bytes) override {
            sizes.push_back(bytes.size());
            BufferConnection::send(bytes);
        }
        std::vector<std::size_t> sizes;
    };
    bb::TempDir dir;
    std::string content(fileChunkSize * 3 + 7, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
    dir.write("f.png", content);
    auto connection = std::make_unique<CountingConnection>();
    CountingConnection& sink = *connection;
    Handler h(dir.path() + "/", std::move(connection));
    h.handler.processPacketData("GET /f.png HTTP/1.1\r\n\r\n");
    std::string head = okHead("image/png", static_cast<std::int64_t>(content.size()),
                              entityTag(platform::fileStampAt(dir.path() + "/f.png")));
    EXPECT_EQ(sink.sent, head + content);
    EXPECT_EQ(sink.sizes, (std::vector<std::size_t>{head.size(), fileChunkSize, fileChunkSize, fileChunkSize, 7}));
}

} // namespace
