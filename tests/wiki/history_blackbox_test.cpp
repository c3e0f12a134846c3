// The history of a page against the real binary: versions kept by every save
// and thinned by their age (page times set before each save), the size cap,
// conflict copies and shrink versions that thinning spares, the history page
// and the restore, and a history no saver may write into.
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace fernhollow::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Sets the last write time of `path` to `age` before now (to `at` seconds since the epoch when given).
void setAge(const std::string& path, std::chrono::seconds age, std::optional<std::time_t> at = std::nullopt) {
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = at.value_or(std::time(nullptr) - age.count());
    times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A restore form's POST, with extra head lines.
std::string restoreRequest(const std::string& form, const std::string& more = "") {
    return "POST /tiddly/history HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(form.size()) +
           "\r\n\r\n" + form;
}

// The kept versions of `page` (names in its history folder), oldest first.
std::vector<std::string> versionsOf(const TempDir& dir, const std::string& page) {
    std::vector<std::string> names;
    std::string folder = dir.path() + "/history/" + page;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    // By time, then by the "-N" that tells the versions of one second apart.
    auto key = [](const std::string& name) {
        std::size_t dash = name.find('-', 19);
        int attempt = dash != std::string::npos && dash < name.find('.') ? std::stoi(name.substr(dash + 1)) : 1;
        return std::make_pair(name.substr(0, 19), attempt);
    };
    std::sort(names.begin(), names.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
    return names;
}

// Saves `page` by PUT and expects it saved.
void save(const ServerProcess& server, const std::string& target, const std::string& page) {
    std::string answer = exchange(server.port(), putRequest(target, page));
    ASSERT_TRUE(answer.starts_with("HTTP/1.1 204 No Content\r\n")) << answer;
}

const auto hour = std::chrono::hours(1);
const auto day = std::chrono::hours(24);

} // namespace

// Versions a year and a half, months, days and hours old, and a burst of
// quick saves: what remains is the ten newest, the newest of each hour of the
// last day, of each day of the last month, of each month of the last year.
TEST(HistoryBlackBox, VersionsAreThinnedByAge) {
    TempDir dir;
    dir.write("tiddly-a.html", "the first page");
    ServerProcess server({}, dir.path());
    const std::string page = dir.path() + "/tiddly-a.html";
    const std::chrono::seconds ages[] = {540 * day, 400 * day, 200 * day, 100 * day, 10 * day, 5 * day,
                                         3 * day,   20 * hour, 10 * hour, 5 * hour,  2 * hour};
    int n = 0;
    for (auto age : ages) {
        setAge(page, age);
        save(server, "/tiddly-a.html", "page " + std::to_string(++n));
    }
    for (int burst = 0; burst < 12; ++burst) save(server, "/tiddly-a.html", "page " + std::to_string(++n));
    std::vector<std::string> kept = versionsOf(dir, "tiddly-a.html");
    // Save i keeps the page before it, "page i-1", with the age set on it:
    // pages 2 to 10 are 200 days to 2 hours old; 11 to 22 came in the burst.
    std::set<std::string> contents;
    for (const std::string& name : kept) contents.insert(dir.read("history/tiddly-a.html/" + name));
    std::set<std::string> expected;
    for (int kept = 2; kept <= 10; ++kept) expected.insert("page " + std::to_string(kept));
    for (int newest = 13; newest <= 22; ++newest) expected.insert("page " + std::to_string(newest));
    EXPECT_EQ(contents, expected) << ::testing::PrintToString(kept);
    EXPECT_EQ(kept.size(), 19u);
    for (const std::string& name : kept) EXPECT_TRUE(name.ends_with(".saved.html")) << name;

    // A page copied with its times (cp -p) is named three years back, yet it
    // is among the ten kept last: neither this save nor the next thins it.
    setAge(page, 3 * 365 * day);
    save(server, "/tiddly-a.html", "page 24");
    save(server, "/tiddly-a.html", "page 25");
    EXPECT_TRUE(dir.read("history/tiddly-a.html/" + versionsOf(dir, "tiddly-a.html").at(0)) == "page 23");
}

// Where versions are copies (here the history is a small file system of its
// own) and the disk fills part way through a copy, no part of the page is
// kept: the console says so and the save goes on. A page that fits is kept whole.
TEST(HistoryBlackBox, VersionsAreKeptOnlyWhole) {
    TempDir dir;
    dir.write("tiddly-a.html", std::string(600 * 1024, 'l'));
    const std::string history = dir.path() + "/history";
    fs::create_directory(history);
    if (::mount("tmpfs", history.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "no small file system can be mounted here (not root)";
    std::unique_ptr<const char, int (*)(const char*)> unmount(history.c_str(), [](const char* p) { return ::umount(p); });
    ServerProcess server({}, dir.path());
    save(server, "/tiddly-a.html", "a small page");
    EXPECT_TRUE(server.waitForOutput("no version kept of ")) << server.output();
    EXPECT_EQ(snapshot(history).size(), 0u) << "no part of the page is kept";
    save(server, "/tiddly-a.html", "the next page");
    EXPECT_EQ(snapshot(history), (std::map<std::string, std::string>{{"tiddly-a.html/" + versionsOf(dir, "tiddly-a.html").at(0), "a small page"}}));
}

// A page's versions stay under the cap: the oldest go first, never the newest.
TEST(HistoryBlackBox, VersionsStayUnderTheSizeCap) {
    TempDir dir;
    const std::string big(300 * 1024, 'x');
    dir.write("tiddly-a.html", big + "0");
    ServerProcess server({"--history-max-mb", "1", "--history-newest", "2"}, dir.path());
    for (int i = 1; i <= 8; ++i) {
        // Each version in an hour of its own, so that only the cap thins them.
        setAge(dir.path() + "/tiddly-a.html", (9 - i) * hour);
        save(server, "/tiddly-a.html", big + std::to_string(i));
    }
    std::vector<std::string> kept = versionsOf(dir, "tiddly-a.html");
    ASSERT_EQ(kept.size(), 3u) << ::testing::PrintToString(kept);
    EXPECT_EQ(dir.read("history/tiddly-a.html/" + kept[0]), big + "5");
    EXPECT_EQ(dir.read("history/tiddly-a.html/" + kept[2]), big + "7");
}

// Conflict copies and the version a much smaller page replaced are spared by
// thinning (for 30 days), whatever else goes.
TEST(HistoryBlackBox, ConflictCopiesAndShrinkVersionsSurviveThinning) {
    TempDir dir;
    const std::string large(10000, 'l');
    dir.write("tiddly-a.html", large);
    ServerProcess server({"--history-newest", "1", "--history-hours", "0", "--history-days", "0", "--history-months",
                          "0"},
                         dir.path());
    std::string tag = headTag(server.port(), "/tiddly-a.html");
    save(server, "/tiddly-a.html", "a page shrunk to a few bytes");
    std::string refused = exchange(server.port(), putRequest("/tiddly-a.html", "this tab's page", "If-Match: " + tag + "\r\n"));
    ASSERT_TRUE(refused.starts_with("HTTP/1.1 412 ")) << refused;
    // Later pages of about the same size: none of them shrinks the page.
    for (int i = 0; i < 3; ++i) save(server, "/tiddly-a.html", "a later page, number " + std::to_string(i));
    std::vector<std::string> kept = versionsOf(dir, "tiddly-a.html");
    ASSERT_EQ(kept.size(), 3u) << ::testing::PrintToString(kept);
    std::map<std::string, std::string> byKind;
    for (const std::string& name : kept) {
        std::string kind = name.substr(name.find('.') + 1);
        byKind[kind] = dir.read("history/tiddly-a.html/" + name);
    }
    EXPECT_EQ(byKind["before-shrink.html"], large);
    EXPECT_EQ(byKind["conflict.html"], "this tab's page");
    EXPECT_EQ(byKind["saved.html"], "a later page, number 1");
}

// The list links each wiki with versions to its history page; the page lists
// them with links that open them and forms that restore them; a restore
// replaces the page as a save does and the page it replaced joins the history.
TEST(HistoryBlackBox, TheHistoryPageOpensAndRestoresVersions) {
    TempDir dir;
    const std::string name = "tiddly-Ü & co.html", encoded = "tiddly-%C3%9C%20%26%20co.html";
    dir.write(name, "version one");
    dir.write("tiddly-b.html", "no versions");
    // West of UTC, a page with the file time 0 was saved in 1969 by the
    // local clock; the next page is made in that very second too.
    const std::string zone = std::getenv("TZ") ? std::getenv("TZ") : "";
    ::setenv("TZ", "PST8PDT", 1);
    ServerProcess server({}, dir.path());
    zone.empty() ? ::unsetenv("TZ") : ::setenv("TZ", zone.c_str(), 1);
    setAge(dir.path() + "/" + name, {}, 0);
    save(server, "/" + encoded, "version two");
    setAge(dir.path() + "/" + name, {}, 0);
    save(server, "/" + encoded, "version three");

    std::string list = exchange(server.port(), "GET /tiddly HTTP/1.1\r\n\r\n");
    EXPECT_NE(list.find("<a href='/tiddly/history?page=" + encoded + "'>history (2)</a>"), std::string::npos) << list;
    EXPECT_EQ(list.find("page=tiddly-b.html"), std::string::npos);

    // No other site may show it, or any restore answer, in a frame; HEAD gets the head GET gets.
    const std::string unframed = "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n";
    std::string page = exchange(server.port(), "GET /tiddly/history?page=" + encoded + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\n" + unframed + "Content-Type: text/html\r\n")) << page;
    EXPECT_EQ(exchange(server.port(), "HEAD /tiddly/history?page=" + encoded + " HTTP/1.1\r\n\r\n"),
              page.substr(0, page.find("\r\n\r\n") + 4));
    std::string none = exchange(server.port(), "GET /tiddly/history?page=nothing.txt HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(none.starts_with("HTTP/1.1 404 Not Found\r\n" + unframed)) << none;
    EXPECT_EQ(exchange(server.port(), "HEAD /tiddly/history?page=nothing.txt HTTP/1.1\r\n\r\n"),
              none.substr(0, none.find("\r\n\r\n") + 4));
    EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
    EXPECT_NE(page.find("History of <a href='/" + encoded + "'>tiddly-Ü &amp; co.html</a>"), std::string::npos);
    std::vector<std::string> kept = versionsOf(dir, name);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], "1969-12-31_16-00-00.saved.html");
    // What is kept, then the current page, then the versions newest first,
    // each with its exact size and change, its open link and its restore link.
    EXPECT_NE(page.find("The 10 newest versions are always kept"), std::string::npos) << page;
    std::size_t current = page.find("<td>13 bytes (+2)</td><td>current page</td>");
    std::size_t newer = page.find("<td>11 bytes (no change)</td><td>saved</td><td><a href='/history/" + encoded + "/" + kept[1] + "'");
    std::size_t older = page.find("<td>11 bytes</td><td>saved</td><td><a href='/history/" + encoded + "/" + kept[0] + "'");
    EXPECT_LT(current, newer) << page;
    EXPECT_LT(newer, older) << page;
    EXPECT_NE(older, std::string::npos) << page;
    EXPECT_NE(page.find("<a href='/tiddly'>"), std::string::npos);
    // Two versions of one second are told apart.
    if (kept[0].substr(0, 19) == kept[1].substr(0, 19)) {
        EXPECT_NE(page.find(":" + kept[1].substr(17, 2) + " (2)</td>"), std::string::npos);
    }
    // Restore asks first, and asking changes nothing.
    EXPECT_NE(page.find("&amp;restore=" + kept[0] + "'>restore&hellip;</a>"), std::string::npos) << page;
    const auto unasked = snapshot(dir.path());
    std::string confirm = exchange(server.port(), "GET /tiddly/history?page=" + encoded + "&restore=" + kept[0] + " HTTP/1.1\r\n\r\n");
    EXPECT_NE(confirm.find("<td>this version</td><td>"), std::string::npos) << confirm;
    EXPECT_NE(confirm.find("</td><td>11 bytes</td><td>saved</td></tr><tr class=\"current\"><td>the current page</td>"),
              std::string::npos) << confirm;
    EXPECT_NE(confirm.find("<input type=\"hidden\" name=\"version\" value=\"" + kept[0] + "\">"), std::string::npos);
    EXPECT_TRUE(exchange(server.port(), "GET /tiddly/history?page=" + encoded + "&restore=nonesuch HTTP/1.1\r\n\r\n")
                    .starts_with("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_EQ(snapshot(dir.path()), unasked);
    std::string opened = withoutEtag(exchange(server.port(), "GET /history/" + encoded + "/" + kept[0] + " HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(opened.ends_with("\r\n\r\nversion one")) << opened;

    // Another site cannot restore; nothing changes.
    std::string form = "page=tiddly-%C3%9C+%26+co.html&version=" + kept[0];
    auto restore = [&](const std::string& form, const std::string& more = "") {
        return exchange(server.port(), restoreRequest(form, more));
    };
    const auto before = snapshot(dir.path());
    EXPECT_TRUE(restore(form, "Origin: http://evil.example\r\n").starts_with("HTTP/1.1 403 Forbidden\r\n"));
    EXPECT_TRUE(restore("page=tiddly-b.html&version=" + kept[0]).starts_with("HTTP/1.1 404 Not Found\r\n" + unframed));
    EXPECT_TRUE(restore("page=..%2Foutside.html&version=" + kept[0]).starts_with("HTTP/1.1 404 Not Found\r\n" + unframed));
    EXPECT_TRUE(restore("page=tiddly-%C3%9C+%26+co.html&version=../../tiddly-b.html").starts_with("HTTP/1.1 404 Not Found\r\n" + unframed));
    EXPECT_EQ(snapshot(dir.path()), before);

    std::string tag = headTag(server.port(), "/" + encoded);
    std::string restored = restore(form, "Sec-Fetch-Site: same-origin\r\n");
    EXPECT_EQ(restored, "HTTP/1.1 303 See Other\r\n" + unframed + "Location: /tiddly/history?page=" + encoded + "&restored=" + kept[0] +
                            "\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(dir.read(name), "version one");
    EXPECT_NE(headTag(server.port(), "/" + encoded), tag) << "an open tab's next save gets 412";
    std::vector<std::string> after = versionsOf(dir, name);
    ASSERT_EQ(after.size(), 3u);
    std::string replaced;
    for (const std::string& version : after)
        if (version.ends_with(".before-restore.html")) replaced = dir.read("history/" + name + "/" + version);
    EXPECT_EQ(replaced, "version three");
    std::string said = exchange(server.port(), "GET /tiddly/history?page=" + encoded + "&restored=" + kept[0] + " HTTP/1.1\r\n\r\n");
    EXPECT_NE(said.find("<strong>Restored the version saved 1969-12-31 16:00:00"), std::string::npos) << said;

    // An empty version is never restored: the wiki stays as it is.
    dir.write("history/" + name + "/2020-01-01_00-00-00.saved.html", "");
    const auto unchanged = snapshot(dir.path());
    std::string empty = restore("page=tiddly-%C3%9C+%26+co.html&version=2020-01-01_00-00-00.saved.html");
    EXPECT_TRUE(empty.starts_with("HTTP/1.1 400 Bad Request\r\n")) << empty;
    EXPECT_EQ(snapshot(dir.path()), unchanged);
}

// Nothing saves into the history, however its path is spelled: a version
// changes only by thinning. Each row leaves the whole folder as it was.
TEST(HistoryBlackBox, TheHistoryIsReadOnlyToSavers) {
    TempDir dir;
    dir.write("tiddly-a.html", "one");
    ServerProcess server({}, dir.path());
    save(server, "/tiddly-a.html", "two");
    const std::string version = versionsOf(dir, "tiddly-a.html").at(0);
    auto upload = [&](const std::string& fileName, const std::string& backupDir) {
        return exchange(server.port(), uploadRequest(uploadBody("backupDir=" + backupDir + ";", fileName, "overwritten", 11)));
    };
    const std::string kept = "history/tiddly-a.html/" + version;
    struct Row {
        std::string what;
        std::function<std::string()> send;
        std::string status;
    };
    std::vector<Row> rows;
    for (std::string form : {"/", "/./", "/.//", "/%2e/", "//./"}) {
        std::string target = form + kept;
        rows.push_back({"PUT " + target, [&, target] { return exchange(server.port(), putRequest(target, "x")); },
                        "403 Forbidden"});
        // A wiki opened from its history is offered no PUT there.
        rows.push_back({"OPTIONS " + target, [&, target] {
                            std::string answer = exchange(server.port(), "OPTIONS " + target + " HTTP/1.1\r\n\r\n");
                            return answer.find("DAV") == std::string::npos ? answer : "DAV offered: " + answer;
                        }, "200 OK"});
    }
    for (std::string name : std::vector<std::string>{kept, "./" + kept, ".//" + kept, "history", "./history", "history/tiddly-b.html"})
        rows.push_back({"upload " + name, [&, name] { return upload(name, ""); }, "403 Forbidden"});
    for (std::string folder : {"history", "./history/tiddly-a.html", "history/x"})
        rows.push_back({"upload with backup " + folder, [&, folder] { return upload("tiddly-a.html", folder); },
                        "403 Forbidden"});
    rows.push_back({"restore into the history",
                    [&] { return exchange(server.port(), restoreRequest("page=./" + kept + "&version=" + version)); },
                    "404 Not Found"});
    if (fernhollow::platform::windowsFileNames) {
        rows.push_back({"PUT /HISTORY/...", [&] { return exchange(server.port(), putRequest("/HISTORY/" + kept.substr(8), "x")); },
                        "403 Forbidden"});
        rows.push_back({"upload History", [&] { return upload("History", ""); }, "403 Forbidden"});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto before = snapshot(dir.path());
        std::string answer = row.send();
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + row.status + "\r\n")) << answer;
        EXPECT_EQ(snapshot(dir.path()), before);
    }
    EXPECT_EQ(versionsOf(dir, "tiddly-a.html"), std::vector<std::string>{version});
    // A save after all of them still keeps a version: the history folder is whole.
    save(server, "/tiddly-a.html", "three");
    EXPECT_EQ(versionsOf(dir, "tiddly-a.html").size(), 2u);
}
