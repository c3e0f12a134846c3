// Saving in place against the real binary: the OPTIONS probe, entity tags on
// file answers, PUT saves with their backup, every refusal with the disk
// compared before and after, and edit conflicts kept as conflict copies.
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

using namespace fernhollow::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string allow = "Allow: GET, HEAD, POST, PUT, OPTIONS\r\nContent-Length: 0\r\n\r\n";
const std::string allowWithoutPut = "Allow: GET, HEAD, POST, OPTIONS\r\nContent-Length: 0\r\n\r\n";

// The value of header `name` in the head of `answer` (empty when absent).
std::string header(const std::string& answer, const std::string& name) {
    std::size_t at = answer.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > answer.find("\r\n\r\n")) return "";
    at += name.size() + 4;
    return answer.substr(at, answer.find("\r\n", at) - at);
}

} // namespace

// A wiki saves by PUT only where OPTIONS says DAV: existing .html/.htm pages
// inside the root. No other site is ever granted anything.
TEST(PutBlackBox, OptionsSaysDavOnlyForPagesPutMaySave) {
    TempDir dir;
    dir.write("tiddly-a.html", "a");
    dir.write("index.html", "home");
    dir.write("notes/Old.HTM", "old");
    dir.write("notes.txt", "text");
    dir.write("run.php", "<?php");
    dir.write("x.html.saving-0123456789ab", "half");
    ServerProcess server({}, dir.path());
    struct Row {
        std::string target;
        bool dav;
    };
    const Row rows[] = {
        {"/tiddly-a.html", true}, {"/", true},           {"/?x=1", true},          {"/notes/Old.HTM", true},
        {"/tiddly-%61.html", true}, {"/missing.html", false}, {"/notes.txt", false},   {"/run.php", false},
        {"/notes", false},         {"*", false},          {"/../tiddly-a.html", false}, {"/x.html.saving-0123456789ab", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.target);
        std::string answer = exchange(server.port(), "OPTIONS " + row.target + " HTTP/1.1\r\nOrigin: http://evil.example\r\n"
                                                     "Access-Control-Request-Method: PUT\r\n\r\n");
        EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\n" + (row.dav ? "DAV: 1\r\n" + allow : allowWithoutPut));
    }
    EXPECT_TRUE(server.waitForOutput("OPTIONS request for /tiddly-a.html: a page PUT may save\n"));
}

// One strong tag per version of a file, the same for GET and HEAD and across
// restarts, new whenever the bytes change (same size, same second included).
TEST(PutBlackBox, EntityTagsFollowEveryChangeOfAFileAndOnlyThose) {
    TempDir dir;
    dir.write("page.html", "version one");
    dir.write("index.html", "home");
    std::string tag, again, getTag;
    {
        ServerProcess server({}, dir.path());
        tag = headTag(server.port(), "/page.html");
        ASSERT_TRUE(tag.size() > 2 && tag.front() == '"' && tag.back() == '"') << tag;
        EXPECT_EQ(tag.find("W/"), std::string::npos);
        withoutEtag(exchange(server.port(), "GET /page.html HTTP/1.1\r\n\r\n"), &getTag);
        EXPECT_EQ(getTag, tag);
        // "/" and a query mean what GET means, for HEAD too.
        EXPECT_EQ(headTag(server.port(), "/"), headTag(server.port(), "/index.html?x=1"));
        EXPECT_FALSE(headTag(server.port(), "/").empty());
        // Rewritten in place with as many bytes, at once: a new tag.
        dir.write("page.html", "version two");
        again = headTag(server.port(), "/page.html");
        EXPECT_NE(again, tag);
        // Rewritten so again, its write time then set back (touch -r, rsync
        // --times): a new tag all the same, and a tab holding the old one
        // saves nothing. The pause passes a tick of the clock files are stamped from.
        const std::string file = dir.path() + "/page.html";
        const fs::file_time_type wasWritten = fs::last_write_time(file);
        std::this_thread::sleep_for(20ms);
        dir.write("page.html", "version six");
        fs::last_write_time(file, wasWritten);
        std::string rewritten = headTag(server.port(), "/page.html");
        EXPECT_NE(rewritten, again);
        std::string stale = exchange(server.port(), putRequest("/page.html", "a stale tab", "If-Match: " + again + "\r\n"));
        EXPECT_TRUE(stale.starts_with("HTTP/1.1 412 ")) << stale;
        EXPECT_EQ(dir.read("page.html"), "version six");
        again = rewritten;
    }
    ServerProcess restarted({}, dir.path());
    EXPECT_EQ(headTag(restarted.port(), "/page.html"), again) << "a tab opened before a restart can still save";

    // A HEAD of a 20 MB page reads none of it.
    SKIP_UNDER_WINE("the reads of a process are counted in /proc only for Linux programs");
    dir.write("big.html", std::string(20 * 1024 * 1024, 'w'));
    auto readBytes = [&restarted] {
        std::string io = readFile("/proc/" + std::to_string(restarted.pid()) + "/io");
        return std::stoull(io.substr(io.find("rchar: ") + 7));
    };
    std::uint64_t before = readBytes();
    EXPECT_FALSE(headTag(restarted.port(), "/big.html").empty());
    std::uint64_t read = readBytes() - before;
    std::cout << "[ figures  ] a HEAD of a 20 MB page read " << read << " bytes\n";
    EXPECT_LT(read, 64u * 1024);
}

// A PUT replaces the page as a save does, keeps the version it replaced under
// backup/ (folders made when missing), and answers the new tag.
TEST(PutBlackBox, APutReplacesThePageKeepsTheBackupAndAnswersTheNewTag) {
    TempDir dir;
    dir.write("tiddly-a.html", "first");
    dir.write("notes/deep/page.htm", "deep first");
    dir.write("index.html", "home");
    ServerProcess server({"--history", "off"}, dir.path());
    struct Row {
        std::string target, file, backup, previous;
        bool withTag;
    };
    const Row rows[] = {
        {"/tiddly-a.html", "tiddly-a.html", "backup/tiddly-a.html", "first", true},
        {"/tiddly-a.html", "tiddly-a.html", "backup/tiddly-a.html", "second tiddly-a.html", false},
        {"/notes/deep/page.htm", "notes/deep/page.htm", "backup/notes/deep/page.htm", "deep first", true},
        {"/?opened=1", "index.html", "backup/index.html", "home", true},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.target);
        std::string page = (++n == 1 ? "second " : "page " + std::to_string(n) + " of ") + row.file;
        std::string ifMatch = row.withTag ? "If-Match: " + headTag(server.port(), row.target) + "\r\n" : "";
        std::string answer = exchange(server.port(), putRequest(row.target, page, ifMatch + "Sec-Fetch-Site: same-origin\r\n"));
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 204 No Content\r\nETag: \"")) << answer;
        EXPECT_TRUE(answer.ends_with("\"\r\n\r\n")) << answer;
        EXPECT_EQ(header(answer, "ETag"), headTag(server.port(), row.target));
        EXPECT_EQ(dir.read(row.file), page);
        EXPECT_EQ(dir.read(row.backup), row.previous);
    }
    // A client that waits to be asked for its page is asked at once.
    {
        RawClient client(server.port());
        std::string request = putRequest("/tiddly-a.html", "asked for", "Expect: 100-continue\r\n");
        std::size_t headEnd = request.find("\r\n\r\n") + 4;
        client.send(request.substr(0, headEnd));
        EXPECT_EQ(client.readFor(2s), "HTTP/1.1 100 Continue\r\n\r\n");
        client.send(request.substr(headEnd));
        EXPECT_TRUE(client.readAll().starts_with("HTTP/1.1 204 No Content\r\n"));
        EXPECT_EQ(dir.read("tiddly-a.html"), "asked for");
    }
    // "*" matches any existing page.
    EXPECT_TRUE(exchange(server.port(), putRequest("/tiddly-a.html", "any", "If-Match: *\r\n")).starts_with("HTTP/1.1 204 "));
    EXPECT_TRUE(server.waitForOutput("PUT request for /tiddly-a.html\nmoving " + systemForm("./tiddly-a.html") +
                                     " to backup directory, " + systemForm("./backup/tiddly-a.html") +
                                     "\nwriting data to file " + systemForm("./tiddly-a.html") + "\n"));
}

// Whatever is refused leaves the disk as it was, byte for byte.
TEST(PutBlackBox, RefusedPutsChangeNothingOnDisk) {
    TempDir dir;
    dir.write("tiddly-a.html", "the page");
    dir.write("notes.txt", "text");
    dir.write("run.php", "<?php echo 1;");
    dir.write("x.html.saving-0123456789ab", "half");
    ServerProcess server({}, dir.path());
    std::string tag = headTag(server.port(), "/tiddly-a.html");
    struct Row {
        std::string name, request, answerStart;
    };
    const std::vector<Row> rows = {
        {"a missing page", putRequest("/missing.html", "new"), "HTTP/1.1 404 Not Found\r\n"},
        {"a folder", putRequest("/backup", "new"), "HTTP/1.1 404 Not Found\r\n"},
        {"a parent segment", putRequest("/../tiddly-a.html", "new"), "HTTP/1.1 404 Not Found\r\n"},
        {"a temporary name", putRequest("/x.html.saving-0123456789ab", "new"), "HTTP/1.1 404 Not Found\r\n"},
        {"a text file", putRequest("/notes.txt", "new"), "HTTP/1.1 405 Method Not Allowed\r\nAllow: GET, HEAD, POST, OPTIONS\r\n"},
        {"a script", putRequest("/run.php", "new"), "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"another site", putRequest("/tiddly-a.html", "new", "Origin: http://evil.example\r\n"), "HTTP/1.1 403 Forbidden\r\n"},
        {"another site's fetch", putRequest("/tiddly-a.html", "new", "Sec-Fetch-Site: cross-site\r\n"), "HTTP/1.1 403 Forbidden\r\n"},
        {"a rebound host name", putRequest("/tiddly-a.html", "new", "Host: evil.example\r\n"), "HTTP/1.1 403 Forbidden\r\n"},
        {"no Content-Length", "PUT /tiddly-a.html HTTP/1.1\r\n\r\nnew", "HTTP/1.1 411 Length Required\r\n"},
        {"a Content-Length that is no number", "PUT /tiddly-a.html HTTP/1.1\r\nContent-Length: 3x\r\n\r\nnew",
         "HTTP/1.1 400 Bad Request\r\n"},
        {"two Content-Lengths", "PUT /tiddly-a.html HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\nnew",
         "HTTP/1.1 400 Bad Request\r\n"},
        {"an empty page", putRequest("/tiddly-a.html", ""), "HTTP/1.1 400 Bad Request\r\n"},
        {"a chunked body", "PUT /tiddly-a.html HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nnew\r\n0\r\n\r\n",
         "HTTP/1.1 501 Not Implemented\r\n"},
        {"a body over the limit", "PUT /tiddly-a.html HTTP/1.1\r\nContent-Length: 2000000000\r\n\r\nnew",
         "HTTP/1.1 413 Content Too Large\r\n"},
    };
    const auto before = snapshot(dir.path());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string answer = exchange(server.port(), row.request);
        EXPECT_TRUE(answer.starts_with(row.answerStart)) << answer;
        EXPECT_EQ(snapshot(dir.path()), before);
    }
    // A body cut short is never saved.
    {
        RawClient client(server.port());
        std::string whole = putRequest("/tiddly-a.html", "a page of forty bytes, of which 30 come");
        client.send(whole.substr(0, whole.size() - 10));
        client.shutdownWrite();
        EXPECT_EQ(client.readAll(), "");
    }
    EXPECT_EQ(snapshot(dir.path()), before);
    EXPECT_EQ(headTag(server.port(), "/tiddly-a.html"), tag);
}

// Two saves from tabs that loaded the same version, in flight at once: the
// first is saved, the second refused with 412, its page kept byte for byte as
// a conflict copy that the answer names; nothing anyone typed is lost.
TEST(PutBlackBox, AStaleTagIsRefusedAndThePageKeptAsAConflictCopy) {
    TempDir dir;
    dir.write("tiddly-a.html", "loaded by both tabs");
    ServerProcess server({}, dir.path());
    const std::string tag = headTag(server.port(), "/tiddly-a.html");
    const std::string first = "<p>tab one's tiddler</p>", second = "<p>tab two's tiddler: Grüße</p>\r\n";
    RawClient one(server.port()), two(server.port());
    one.send(putRequest("/tiddly-a.html", first, "If-Match: " + tag + "\r\n"));
    two.send(putRequest("/tiddly-a.html", second, "If-Match: " + tag + "\r\n"));
    std::string saved = one.readAll();
    EXPECT_TRUE(saved.starts_with("HTTP/1.1 204 No Content\r\n"));
    std::string refused = two.readAll();
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 412 Precondition Failed\r\nContent-Type: text/plain\r\n")) << refused;
    EXPECT_EQ(dir.read("tiddly-a.html"), first);
    EXPECT_EQ(dir.read("backup/tiddly-a.html"), "loaded by both tabs");

    // The copy the answer names holds the refused page.
    std::size_t at = refused.find("was kept as history/tiddly-a.html/");
    ASSERT_NE(at, std::string::npos) << refused;
    std::string copy = refused.substr(at + 12, refused.find(" in the served folder", at) - at - 12);
    EXPECT_EQ(dir.read(copy), second);
    EXPECT_NE(refused.find("Not saved: /tiddly-a.html changed on disk since this tab loaded it"), std::string::npos);
    EXPECT_NE(refused.find("Reload the page to get the other version"), std::string::npos);

    // The answer names the page's history by an address the person can open (the Host the request named).
    EXPECT_TRUE(refused.ends_with("Open the page's history to see it:\nhttp://127.0.0.1/tiddly/history?page=tiddly-a.html\n"))
        << refused;
    // The same stale tab saving again replaces its own copy; another stale tag keeps one of its own.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(exchange(server.port(), putRequest("/tiddly-a.html", "stale " + std::to_string(i), "If-Match: " + tag + "\r\n"))
                        .starts_with("HTTP/1.1 412 "));
    EXPECT_TRUE(exchange(server.port(), putRequest("/tiddly-a.html", "other tab", "If-Match: \"other\"\r\n")).starts_with("HTTP/1.1 412 "));
    std::multiset<std::string> copies;
    for (const auto& entry : fs::directory_iterator(dir.path() + "/history/tiddly-a.html"))
        if (entry.path().filename().string().ends_with(".conflict.html")) copies.insert(readFile(entry.path().string()));
    EXPECT_EQ(copies, (std::multiset<std::string>{"stale 1", "other tab"}));
    // A kept copy opened from the history says what it is after its body tag, in what is sent only; the live page never does.
    const std::string wiki = "<html><head></head><BODY class=\"tc-body\">mine</BODY></html>";
    std::string kept = exchange(server.port(), putRequest("/tiddly-a.html", wiki, "If-Match: \"third\"\r\n"));
    std::size_t from = kept.find("was kept as ") + 12;
    std::string copyPath = kept.substr(from, kept.find(" in the served folder") - from);
    std::string opened = exchange(server.port(), "GET /" + copyPath + " HTTP/1.1\r\n\r\n");
    std::string body = opened.substr(opened.find("\r\n\r\n") + 4);
    EXPECT_TRUE(body.starts_with("<html><head></head><BODY class=\"tc-body\"><div ")) << body;
    EXPECT_NE(body.find(">A conflict copy of tiddly-a.html (the edits a stale tab tried to save), kept "), std::string::npos) << body;
    EXPECT_TRUE(body.ends_with("</div>mine</BODY></html>")) << body;
    EXPECT_NE(opened.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << opened;
    EXPECT_EQ(exchange(server.port(), "HEAD /" + copyPath + " HTTP/1.1\r\n\r\n"), opened.substr(0, opened.size() - body.size()));
    EXPECT_EQ(dir.read(copyPath), wiki);
    dir.write("tiddly-live.html", wiki);
    EXPECT_TRUE(exchange(server.port(), "GET /tiddly-live.html HTTP/1.1\r\n\r\n").ends_with("\r\n\r\n" + wiki));
    EXPECT_EQ(dir.read("tiddly-a.html"), first);

    // Tab one saves on with the tag each save answered, as a wiki does: the
    // server's own links of the page into the backup and the history, and its
    // rename into place, never make the tab's next save stale.
    std::string oneTag = header(saved, "ETag");
    for (int i = 1; i <= 3; ++i) {
        std::string page = "tab one's save " + std::to_string(i);
        EXPECT_EQ(headTag(server.port(), "/tiddly-a.html"), oneTag) << i;
        saved = exchange(server.port(), putRequest("/tiddly-a.html", page, "If-Match: " + oneTag + "\r\n"));
        ASSERT_TRUE(saved.starts_with("HTTP/1.1 204 No Content\r\n")) << saved;
        oneTag = header(saved, "ETag");
        EXPECT_EQ(dir.read("tiddly-a.html"), page);
    }
    EXPECT_EQ(headTag(server.port(), "/tiddly-a.html"), oneTag);
    EXPECT_TRUE(server.waitForOutput("refusing to save /tiddly-a.html: the page changed since it was loaded (If-Match " + tag));

    // A large page, written beside the page as it came, becomes the copy
    // whole, in the history and (with the history off) beside the backups.
    const std::string large = std::string(3 * 1024 * 1024 + 7, 'g') + "end";
    ServerProcess noHistory({"--history", "off"}, dir.path());
    for (const ServerProcess* each : {&server, &noHistory}) {
        std::string answer = exchange(each->port(), putRequest("/tiddly-a.html", large, "If-Match: " + tag + "\r\n"));
        std::size_t named = answer.find("was kept as ") + 12;
        EXPECT_TRUE(dir.read(answer.substr(named, answer.find(" in the served folder") - named)) == large) << answer;
    }
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().string().find(".saving-"), std::string::npos) << entry.path();
    EXPECT_EQ(dir.read("tiddly-a.html"), "tab one's save 3");
}
