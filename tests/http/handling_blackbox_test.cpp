// The real binary answering GET, HEAD and POST over real sockets: file
// answers byte for byte, content types, the 404 and list pages, traversal
// attempts, escaping in the list page and malformed request lines.
#include "http/handling.h"
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace fernhollow::testing;
using namespace std::chrono_literals;

namespace {

const std::string notFound404Tail =
    "\r\n<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n"
    "<html><head><title>404 Not Found</title></head>"
    "<body><h1>Not Found</h1><p>The requested URL was not found on this server.</p></body></html>";

// The 404 page as it must arrive for a given root.
std::string notFoundPage(const std::string& root) {
    return "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\nDOCUMENT_ROOT=" + root + notFound404Tail;
}

// The head of a file answer as it must arrive.
std::string head200(const std::string& type, std::size_t size) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(size) +
           "\r\nCache-control: no-store\r\nPragma: no-cache\r\n\r\n";
}

// Sends one request and returns the answer together with the console lines
// it caused (the loop's own connection lines left out).
struct Exchange {
    std::string answer;
    std::string console;
};

Exchange request(ServerProcess& server, std::string_view bytes) {
    // The last start-up line may still be on its way.
    server.waitForOutput(" in your browser\n");
    std::size_t mark = server.output().size();
    Exchange result;
    result.answer = withoutEtag(exchange(server.port(), bytes));
    server.waitForOutput(": closing connection from", 10s, mark);
    std::istringstream lines(server.output().substr(mark));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("connection from ") || line.find(": closing connection from ") != std::string::npos)
            continue;
        result.console += line + "\n";
    }
    return result;
}

TEST(HandlingBlackbox, GetSendsTheExactHeadAndFileWithItsConsoleLines) {
    TempDir dir;
    dir.write("index.html", "<p>hello</p>\n");
    ServerProcess server({}, dir.path());

    Exchange get = request(server, "GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(get.answer, head200("text/html", 13) + "<p>hello</p>\n");
    EXPECT_EQ(get.console, "document root is " + systemForm("./") + "\n"
                           "filename is /index.html\n"
                           "updating path\n"
                           "requested: " + systemForm("./index.html") + "\n"
                           "sending file " + systemForm("./index.html") + "\n");

    Exchange slash = request(server, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(slash.answer, head200("text/html", 13) + "<p>hello</p>\n");
    EXPECT_EQ(slash.console, "request for url /\n"
                             "document root is " + systemForm("./") + "\n"
                             "filename is /index.html\n"
                             "updating path\n"
                             "requested: " + systemForm("./index.html") + "\n"
                             "sending file " + systemForm("./index.html") + "\n");

    Exchange head = request(server, "HEAD /index.html HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.answer, head200("text/html", 13));
    EXPECT_EQ(head.console, "document root is " + systemForm("./") + "\n"
                            "filename is /index.html\n"
                            "updating path\n"
                            "requested: " + systemForm("./index.html") + "\n"
                            "sending HEAD response for " + systemForm("./index.html") + "\n");
}

TEST(HandlingBlackbox, ContentTypeRulesApplyInOrder) {
    TempDir dir;
    struct Case {
        std::string url, type;
    };
    const Case cases[] = {
        {"/style.css", "text/css"},        {"/style.css.txt", "text/css"},   {"/notes.txt", "text/plain"},
        {"/page.php.html", "text/html"},   {"/data.json", "text/javascript"}, {"/app.js", "text/javascript"},
        {"/pic.png", "image/png"},         {"/anim.gif", "image/gif"},      {"/font.ttf", "font/ttf"},
        {"/notes.txt.bak", ""},            {"/README", ""},
    };
    for (const auto& c : cases) dir.write(c.url.substr(1), "body of " + c.url);
    ServerProcess server({}, dir.path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        std::string content = "body of " + c.url;
        Exchange get = request(server, "GET " + c.url + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(get.answer, head200(c.type, content.size()) + content);
        Exchange head = request(server, "HEAD " + c.url + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(head.answer, head200(c.type, content.size()));
        bool unhandledLine = get.console.find("unhandled content-type: " + c.url + "\n") != std::string::npos;
        EXPECT_EQ(unhandledLine, c.type.empty()) << get.console;
        EXPECT_EQ(head.console.find("unhandled content-type: " + c.url + "\n") != std::string::npos, c.type.empty());
        EXPECT_EQ(get.console.find("handle php request"), std::string::npos);
    }
}

// A path whose last name ends in ".php" is a script whatever else the name
// holds; its source never leaves as a file. The query never makes a script.
TEST(HandlingBlackbox, ScriptSourcesNeverLeaveAsFiles) {
    TempDir dir;
    const std::string source = "<?php $db_password = 'S3CRET'; ?>";
    for (std::string name : {"reveal.js/notes.php", "a.html.php", "data.json.php", "style.css.php", "img.png.php",
                             "anim.gif.php", "notes.txt.php", "font.ttf.php", "page.php.html/x.php"})
        dir.write(name, source);
    const std::string notes = "<?php echo 'ran as a script';";
    dir.write("notes.txt", notes);
    ServerProcess server({"--php-path", FERNHOLLOW_CGI_STANDIN}, dir.path());
    for (std::string target : {"/reveal.js/notes.php", "/reveal%2ejs/notes.php", "/a.html.php", "/data.json.php",
                               "/style.css.php", "/img.png.php", "/anim.gif.php", "/notes.txt.php", "/font.ttf.php",
                               "/page.php.html/x.php", "/a.html.php?x.css"}) {
        for (std::string method : {"GET ", "HEAD ", "POST "}) {
            SCOPED_TRACE(method + target);
            // HEAD looks its file up with the query on, which names no file.
            if (method == "HEAD " && target.find('?') != std::string::npos) continue;
            std::string answer = exchange(server.port(), method + target + " HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
            EXPECT_EQ(answer.find("S3CRET"), std::string::npos) << answer;
            // The stand-in interpreter ran it, with the method it was given.
            std::string ran = method == "POST " ? "REQUEST_METHOD=POST;" : "REQUEST_METHOD=GET;";
            EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + ran)) << answer;
        }
    }
    // A ".php" in the query of a POST names no script: notes.txt is not run.
    std::size_t mark = server.output().size();
    RawClient post(server.port());
    post.send("POST /notes.txt?x.php HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(withoutEtag(exchange(server.port(), "GET /notes.txt HTTP/1.1\r\n\r\n")),
              head200("text/plain", notes.size()) + notes);
    EXPECT_EQ(post.readFor(200ms), "");
    EXPECT_EQ(server.output().find("PHP request", mark), std::string::npos) << server.output().substr(mark);
}

TEST(HandlingBlackbox, MissingFilesAndFoldersGetThe404Page) {
    TempDir dir;
    dir.write("sub/inner.html", "x");
    dir.write("www/index.html", "in www");
    dir.write("index.html", "top");
    ServerProcess server({}, dir.path());
    const std::string cases[] = {
        "GET /missing.html HTTP/1.1\r\n\r\n",
        "GET /sub HTTP/1.1\r\n\r\n",
        "GET /sub/ HTTP/1.1\r\n\r\n",
        "GET /missing.php HTTP/1.1\r\n\r\n",  // no file: the gateway is not asked
        "GET /tiddly/ HTTP/1.1\r\n\r\n",
        "GET /index%2Ehtml%3Fx HTTP/1.1\r\n\r\n",  // a decoded "?" is part of the name
        "HEAD /missing.html HTTP/1.1\r\n\r\n",
        "HEAD /sub HTTP/1.1\r\n\r\n",
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c);
        Exchange answer = request(server, c);
        EXPECT_EQ(answer.answer, notFoundPage(systemForm("./")));
        EXPECT_EQ(answer.console.find("handle php request"), std::string::npos);
    }

    ServerProcess inWww({"--root", "www"}, dir.path());
    EXPECT_EQ(request(inWww, "GET /nothing HTTP/1.1\r\n\r\n").answer, notFoundPage(systemForm("www/")));
    EXPECT_EQ(request(inWww, "GET /index.html HTTP/1.1\r\n\r\n").answer, head200("text/html", 6) + "in www");
}

TEST(HandlingBlackbox, QueriesAreCutFromGetTargetsOnly) {
    TempDir dir;
    dir.write("index.html", "top");
    dir.write("tiddly-a.html", "wiki");
    dir.write("admin.html", "admin page");
    ServerProcess server({}, dir.path());

    Exchange withQuery = request(server, "GET /index.html?x=1?y=2 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(withQuery.answer, head200("text/html", 3) + "top");
    EXPECT_NE(withQuery.console.find("filename is /index.html\n"), std::string::npos);

    Exchange slash = request(server, "GET /?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(slash.answer, head200("text/html", 3) + "top");
    EXPECT_TRUE(slash.console.starts_with("request for url /\n"));

    Exchange list = request(server, "GET /tiddly?sort=1 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(list.answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: "));
    EXPECT_NE(list.answer.find(">tiddly-a.html</a></td>"), std::string::npos);
    EXPECT_TRUE(list.console.starts_with("main.RequestHandler.sendTiddlyList\n"));

    Exchange admin = request(server, "GET /admin.html?q HTTP/1.1\r\n\r\n");
    EXPECT_EQ(admin.answer, head200("text/html", 10) + "admin page");
    EXPECT_TRUE(admin.console.starts_with("admin request\ndocument root is " + systemForm("./") + "\n"));
}

TEST(HandlingBlackbox, FilesOfEverySizeArriveByteExact) {
    TempDir dir;
    std::mt19937 random(12345);
    ServerProcess server({}, dir.path());
    // Empty, one piece, on and around piece edges, and a large file.
    for (std::size_t size : {0, 1, 1300, 1301, 2600, 3 * 1024 * 1024 + 17}) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        for (char& c : content) c = static_cast<char>(random());
        dir.write("big.gif", content);
        std::string answer = withoutEtag(exchange(server.port(), "GET /big.gif HTTP/1.1\r\n\r\n", 120s));
        std::string head = head200("image/gif", content.size());
        ASSERT_EQ(answer.size(), head.size() + content.size());
        EXPECT_EQ(answer.substr(0, head.size()), head);
        EXPECT_TRUE(answer.compare(head.size(), std::string::npos, content) == 0);
    }
}

TEST(HandlingBlackbox, ParentSegmentsNeverReachOutsideTheRoot) {
    TempDir dir;
    dir.write("secret.txt", "secret");
    dir.write("evil.php", "<?php echo 'evil'; ?>");
    dir.write("www/index.html", "inside");
    dir.write("www/a/b.html", "deeper");
    dir.write("www/..\\secret.txt", "a name that climbs");  // one file, its name starts with "..\"
    dir.write("www/a/..\\..\\evil.php", "<?php echo 'evil'; ?>");
    dir.write("www/a\\..\\..\\secret.txt", "another climbing name");
    std::string marker = dir.path() + "/interpreter-ran";
    std::string fakePhp = dir.write("fake-php", "#!/bin/sh\ntouch '" + marker +
                                                    "'\nprintf 'Content-type: text/plain\\r\\n\\r\\nran'\n");
    std::filesystem::permissions(fakePhp, std::filesystem::perms::owner_all);
    ServerProcess server({"--root", "www", "--php-path", fakePhp}, dir.path());

    const std::string cases[] = {
        "GET /../secret.txt HTTP/1.1\r\n\r\n",
        "GET /a/../../secret.txt HTTP/1.1\r\n\r\n",
        "GET /..\\secret.txt HTTP/1.1\r\n\r\n",
        "GET /a\\..\\..\\secret.txt HTTP/1.1\r\n\r\n",
        "HEAD /../secret.txt HTTP/1.1\r\n\r\n",
        "HEAD /a/../../secret.txt HTTP/1.1\r\n\r\n",
        "HEAD /..\\secret.txt HTTP/1.1\r\n\r\n",
        "GET /../evil.php HTTP/1.1\r\n\r\n",
        "GET /a/..\\..\\evil.php HTTP/1.1\r\n\r\n",
        "HEAD /../evil.php HTTP/1.1\r\n\r\n",
        "HEAD /a/../../evil.php HTTP/1.1\r\n\r\n",
        "POST /../evil.php HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1",
        "POST /a/..\\..\\evil.php HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1",
        "GET /%2e%2e/secret.txt HTTP/1.1\r\n\r\n",
        "GET /a/%2E%2E%2F%2e%2e/secret.txt HTTP/1.1\r\n\r\n",
        "HEAD /%2e%2e%5csecret.txt HTTP/1.1\r\n\r\n",
        "GET /%2e%2e/evil%2ephp HTTP/1.1\r\n\r\n",
        "POST /%2e%2e/evil.php HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1",
        "POST /a/%2e%2e/%2e%2e/evil%2Ephp HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1",
        "GET /a/b.html%00.txt HTTP/1.1\r\n\r\n",  // NUL names nothing, nor cuts the name short
        "HEAD /a/b.html%00 HTTP/1.1\r\n\r\n",
        "POST /a%00.php HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1",
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c);
        Exchange answer = request(server, c);
        EXPECT_EQ(answer.answer, notFoundPage(systemForm("www/")));
        EXPECT_EQ(answer.console.find("handle php request"), std::string::npos);
    }
    // A query never names a script: this is a save, refused for lack of a page.
    Exchange save = request(server, "POST /savetiddly?/../evil.php HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1");
    EXPECT_TRUE(save.answer.starts_with("HTTP/1.1 400 Bad Request\r\n")) << save.answer;
    EXPECT_EQ(save.console.find("PHP request"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "the interpreter was started";
    // The same server still serves what is inside the root.
    EXPECT_EQ(request(server, "GET /a/b.html HTTP/1.1\r\n\r\n").answer, head200("text/html", 6) + "deeper");

    // A root that itself climbs out is the user's choice and is honoured.
    std::filesystem::create_directories(dir.path() + "/other");
    ServerProcess climbing({"--root", "../www"}, dir.path() + "/other");
    Exchange served = request(climbing, "GET /index.html HTTP/1.1\r\n\r\n");
    EXPECT_EQ(served.answer, head200("text/html", 6) + "inside");
    EXPECT_NE(served.console.find("requested: " + systemForm("../www/index.html") + "\n"), std::string::npos);
}

TEST(HandlingBlackbox, PercentEscapedPathsNameFilesInAnyLanguage) {
    TempDir dir;
    const std::string wiki = "tiddly-\xC3\x9C" "bersicht notes.html";
    dir.write(wiki, "wiki");
    dir.write("100%zz.txt", "kept");
    dir.write("caf\xC3\xA9 menu.php",
              "<?php echo $_SERVER['SCRIPT_NAME'], '|', $_SERVER['QUERY_STRING'], '|', basename(__FILE__);\n");
    ServerProcess server({"--php-path", "/usr/bin/php-cgi"}, dir.path());

    Exchange get = request(server, "GET /tiddly-%C3%9Cbersicht%20notes.html?a%20b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(get.answer, head200("text/html", 4) + "wiki");
    EXPECT_EQ(get.console, "document root is " + systemForm("./") + "\nfilename is /" + wiki + "\nupdating path\nrequested: " + systemForm("./") + wiki +
                               "\nsending file " + systemForm("./") + wiki + "\n");
    EXPECT_EQ(request(server, "HEAD /tiddly-%c3%9cbersicht%20notes.html HTTP/1.1\r\n\r\n").answer,
              head200("text/html", 4));
    // HEAD looks up what GET would: the query is no part of the name.
    EXPECT_EQ(request(server, "HEAD /tiddly-%C3%9Cbersicht%20notes.html?x%41 HTTP/1.1\r\n\r\n").answer,
              head200("text/html", 4));
    // A "%" that starts no escape is an ordinary byte of the name.
    EXPECT_EQ(request(server, "GET /100%zz.txt HTTP/1.1\r\n\r\n").answer, head200("text/plain", 4) + "kept");

    Exchange nul = request(server, "GET /100%zz.txt%00 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(nul.answer, notFoundPage(systemForm("./")));
    EXPECT_EQ(nul.console, "request refused: the path holds %00, which names no file\n");

    // The real interpreter finds the script by its decoded name; the query reaches it as sent.
    // (The Linux php-cgi cannot serve the Windows program under Wine.)
    if (serverUnderWine) return;
    Exchange post = request(server, "POST /caf%C3%A9%20menu.php?q=%41+b HTTP/1.1\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_TRUE(post.answer.starts_with("HTTP/1.1 200 OK\r\n")) << post.answer;
    EXPECT_TRUE(post.answer.ends_with("\r\n\r\n/caf\xC3\xA9 menu.php|q=%41+b|caf\xC3\xA9 menu.php")) << post.answer;
    Exchange script = request(server, "GET /caf%c3%a9%20menu.php?q HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(script.answer.ends_with("\r\n\r\n/caf\xC3\xA9 menu.php|q|caf\xC3\xA9 menu.php")) << script.answer;
}

// The link a list page holds for an address and a text, as it must arrive.
std::string listLink(const std::string& address, const std::string& text) {
    return "<a href='./" + address + "' target=\"_blank\" rel=\"noopener noreferrer\">" + text + "</a>";
}

// The list page: the wikis of the root (letter case ignored, folders named
// like one too, nothing below), each with its title, size and history; other
// pages that keep versions; the hint of an empty folder; names made safe.
TEST(HandlingBlackbox, ListPageShowsTheWikiFilesOfTheRoot) {
    TempDir empty;
    ServerProcess emptyServer({}, empty.path());
    Exchange none = request(emptyServer, "GET /tiddly HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(none.answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: ")) << none.answer;
    EXPECT_NE(none.answer.find("Save an empty TiddlyWiki into this folder as <code>tiddly-NAME.html</code>"),
              std::string::npos) << none.answer;
    EXPECT_EQ(none.console, "main.RequestHandler.sendTiddlyList\n");

    TempDir dir;
    for (std::string name : {"TIDDLY-Work.HTML", "tiddly-.html", "other.html", "tiddly-a.htm", "tiddly-a.html.bak",
                             "tiddly-dir.html/tiddly-inner.html", "sub/tiddly-deep.html", "index.html"})
        dir.write(name, "page");
    dir.write("tiddly-notes.html", "<html><head><title>Notes &amp; <b>ideas</b></title></head>" + std::string(2400000, 'x'));
    dir.write("tiddly-it's & \xC3\xA9.html", "<title>" + std::string(70000, ' ') + "</title>");
    dir.write("history/index.html/2020-01-02_03-04-05.saved.html", "old index");
    dir.write("history/sub/tiddly-deep.html/2020-01-02_03-04-05.saved.html", "old");
    dir.write("history/tiddly-notes.html/2020-01-02_03-04-05.saved.html", "old");
    dir.write("history/tiddly-notes.html/2020-01-02_03-04-06.conflict.html", "old");
    dir.write("history/gone.html/2020-01-02_03-04-05.saved.html", "its page is gone");
    ServerProcess server({}, dir.path());
    Exchange list = request(server, "GET /tiddly HTTP/1.1\r\n\r\n");

    // The console names the root's wikis in the folder's own order.
    std::istringstream lines(list.console);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "main.RequestHandler.sendTiddlyList");
    std::multiset<std::string> listed;
    while (std::getline(lines, line)) {
        ASSERT_TRUE(line.starts_with(systemForm("./"))) << line;
        std::string name = line.substr(2);
        std::string parts;
        ASSERT_TRUE(std::getline(lines, parts));
        EXPECT_EQ(parts, "parts [\".\", \"" + name + "\"]");
        listed.insert(name);
    }
    EXPECT_EQ(listed, (std::multiset<std::string>{"tiddly-notes.html", "TIDDLY-Work.HTML", "tiddly-.html",
                                                  "tiddly-dir.html", "tiddly-it's & \xC3\xA9.html"}));
    const std::string& page = list.answer;
    std::size_t length = page.size() - page.find("\r\n\r\n") - 4;
    EXPECT_NE(page.find("Content-Length: " + std::to_string(length) + "\r\n"), std::string::npos);
    // Rows by name; then the other pages with versions, by path.
    std::vector<std::string> links = {
        listLink("tiddly-.html", "tiddly-.html"), listLink("tiddly-dir.html", "tiddly-dir.html"),
        listLink("tiddly-it%27s%20%26%20%C3%A9.html", "tiddly-it&#39;s &amp; \xC3\xA9.html"),
        listLink("tiddly-notes.html", "Notes &amp; &lt;b&gt;ideas&lt;/b&gt;"), listLink("TIDDLY-Work.HTML", "TIDDLY-Work.HTML"),
        listLink("", "index.html"), listLink("sub/tiddly-deep.html", "sub/tiddly-deep.html")};
    std::size_t at = 0;
    for (const std::string& link : links) {
        std::size_t found = page.find(link, at);
        EXPECT_NE(found, std::string::npos) << link << " in order in " << page;
        if (found != std::string::npos) at = found;
    }
    EXPECT_NE(page.find("<td>2.4 MB</td><td><a href='/tiddly/history?page=tiddly-notes.html'>history (2)</a>"),
              std::string::npos) << page;
    EXPECT_NE(page.find("<td>4 bytes</td><td><a href='/tiddly/history?page=index.html'>history (1)</a>"),
              std::string::npos) << page;
    for (std::string never : {"gone.html", "other.html", "tiddly-inner", "tiddly-a.htm", "2020-01-02"})
        EXPECT_EQ(page.find(never), std::string::npos) << never;
    // HEAD mirrors GET.
    EXPECT_EQ(request(server, "HEAD /tiddly HTTP/1.1\r\n\r\n").answer, page.substr(0, page.find("\r\n\r\n") + 4));
}

TEST(HandlingBlackbox, MalformedRequestLinesAreAnswered400AndClosed) {
    TempDir dir;
    dir.write("index.html", "top");
    ServerProcess server({}, dir.path());
    const std::string cases[] = {
        "GET\r\n\r\n",
        "\r\n\r\n",
        "NOSPACE\r\nHost: localhost\r\n\r\n",
        "GET  HTTP/1.1\r\n\r\n",
        "POST  HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c);
        Exchange answer = request(server, c);
        EXPECT_TRUE(answer.answer.starts_with("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"))
            << answer.answer;
        EXPECT_EQ(answer.answer.find("200 OK"), std::string::npos);
    }
    EXPECT_EQ(request(server, "GET /index.html HTTP/1.1\r\n\r\n").answer, head200("text/html", 3) + "top");
}

TEST(HandlingBlackbox, UnknownMethodsAndOtherPostsAreLeftOpenAndUnanswered) {
    TempDir dir;
    dir.write("index.html", "top");
    ServerProcess server({}, dir.path());
    for (std::string first : {"DELETE /index.html HTTP/1.1\r\n\r\n", "get /index.html HTTP/1.1\r\n\r\n",
                              "POST /elsewhere HTTP/1.1\r\nContent-Length: 2\r\n\r\nab"}) {
        SCOPED_TRACE(first);
        std::size_t mark = server.output().size();
        RawClient silent(server.port());
        silent.send(first);
        // The loop reads connections in order, so once a later request has
        // been answered the first one has been handled too.
        Exchange later = request(server, "GET /index.html HTTP/1.1\r\n\r\n");
        EXPECT_EQ(later.answer, head200("text/html", 3) + "top");
        EXPECT_EQ(silent.readFor(200ms), "");
        EXPECT_FALSE(silent.closedByServer(200ms));
        std::string console = server.output().substr(mark);
        // Only the later connection was closed by the server.
        std::size_t closings = 0;
        for (std::size_t at = console.find("closing connection"); at != std::string::npos;
             at = console.find("closing connection", at + 1))
            ++closings;
        EXPECT_EQ(closings, 1u) << console;
    }
}

TEST(HandlingBlackbox, WindowsNameFormsNeverReachAnotherFile) {
    if (!serverUnderWine) GTEST_SKIP() << "only Windows takes these names for other files or devices";
    TempDir dir;
    dir.write("index.html", "home");
    dir.write("t.php", "<?php the script's source");
    ServerProcess server({"--php-path", FERNHOLLOW_CGI_STANDIN}, dir.path());
    // Each would open index.html, a device, another stream or another drive.
    for (std::string target : {"/index.html.", "/index.html%20", "/index.html::$DATA", "/CON",
                               "/nul.html", "/Com1.txt", "/LPT9", "/conout$", "/Z:/etc/hostname", "/sub./index.html"}) {
        for (std::string method : {"GET ", "HEAD "}) {
            std::string answer = exchange(server.port(), method + target + " HTTP/1.1\r\n\r\n");
            EXPECT_EQ(answer, notFoundPage(systemForm("./"))) << method << target;
        }
    }
    // The file system ignores letter case: t.PHP is the script, run and never sent as a file.
    for (std::string target : {"/t.PHP", "/T.Php?x=1"}) {
        std::string answer = exchange(server.port(), "GET " + target + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nREQUEST_METHOD=GET;"))
            << target << "\n" << answer;
        EXPECT_EQ(answer.find("script's source"), std::string::npos) << target;
    }
}

// A "web\MathJax" URL names a path of its own; only one inside the root is served.
TEST(HandlingBlackbox, MathJaxPathsAreServedOnlyInsideTheRoot) {
    TempDir dir;
    // The folder as each system reads "web\MathJax": one name on POSIX, two folders on Windows.
    std::string mathJax = serverUnderWine ? "web/MathJax" : "web\\MathJax";
    dir.write(mathJax + "/outside.js", "outside the root");
    dir.write("www/" + mathJax + "/inside.js", "inside the root");
    ServerProcess server({"--root", dir.path() + "/www"}, dir.path());
    std::string root = dir.path() + "/www" + systemForm("/");
    std::string outside = exchange(server.port(), "GET " + dir.path() + "/web\\MathJax/outside.js HTTP/1.1\r\n\r\n");
    EXPECT_EQ(outside, notFoundPage(root));
    std::string inside =
        withoutEtag(exchange(server.port(), "GET " + root + "web\\MathJax/inside.js HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(inside, head200("text/javascript", 15) + "inside the root");
}

TEST(HandlingBlackbox, TransferEncodingsOtherThanIdentityGet501AndNothingIsWrittenOrRun) {
    TempDir dir;
    dir.write("index.html", "top");
    dir.write("tiddly-a.html", "original");
    dir.write("run.php", "<?php echo 'ran';\n");
    dir.write("fernhollow.cfg", "php-path: /usr/bin/php-cgi;\nscript-timeout: 2;\n");
    ServerProcess server({"--config", "fernhollow.cfg"}, dir.path());
    // The chunk-size lines would otherwise land in the page.
    std::string save = "--B\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"tiddly-a.html\"\r\n"
                       "\r\nchanged\r\n--B--\r\n";
    const std::string cases[] = {
        "POST /savetiddly HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=B\r\n"
        "Transfer-Encoding: chunked\r\n\r\n62\r\n" + save + "\r\n0\r\n\r\n",
        "POST /run.php HTTP/1.1\r\ntransfer-encoding: gzip, chunked\r\n\r\n3\r\na=1\r\n0\r\n\r\n",
        "GET /run.php HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
        "GET /index.html HTTP/1.1\r\nTransfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n\r\n",
    };
    for (const std::string& c : cases) {
        SCOPED_TRACE(c);
        RawClient client(server.port());
        client.send(c);
        EXPECT_EQ(client.readAll(5s), fernhollow::notImplementedAnswer());
        EXPECT_TRUE(client.closedByServer(0ms));
    }
    EXPECT_EQ(dir.read("tiddly-a.html"), "original");
    EXPECT_FALSE(dir.exists("php-in")) << "the interpreter was prepared";
    EXPECT_TRUE(server.waitForOutput("request refused: a Transfer-Encoding other than identity\n"));
    Exchange identity = request(server, "GET /index.html HTTP/1.1\r\nTransfer-Encoding: identity\r\n\r\n");
    EXPECT_EQ(identity.answer, head200("text/html", 3) + "top");
}

TEST(HandlingBlackbox, AFailureWhileSendingGivesThe400Head) {
    SKIP_UNDER_WINE("Windows programs do not see Unix socket files");
    TempDir dir;
    // A socket in the folder is no directory, yet it cannot be opened for reading.
    std::string socketPath = dir.path() + "/sock.html";
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof where.sun_path);
    socketPath.copy(where.sun_path, socketPath.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ServerProcess server({}, dir.path());
    Exchange get = request(server, "GET /sock.html HTTP/1.1\r\n\r\n");
    ::close(fd);
    EXPECT_EQ(get.answer, "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n\r\n");
    EXPECT_EQ(get.console, "document root is " + systemForm("./") + "\n"
                           "filename is /sock.html\n"
                           "updating path\n"
                           "requested: " + systemForm("./sock.html") + "\n"
                           "something failed, exception was thrown when sending file\n");
}

} // namespace
