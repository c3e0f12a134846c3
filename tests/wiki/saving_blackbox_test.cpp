// Page saves against the real binary over real sockets: the upload a wiki
// sends, the backup it keeps, a large page in many pieces, and refusals.
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <random>
#include <sys/resource.h>
#include <thread>

using namespace fernhollow::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string& B = uploadBoundary;
const std::string ok = "HTTP/1.1 200 OK\r\n\r\n";

// Sends `request` in pieces of 1 to `largest` bytes, sizes drawn from `sizes`.
void sendInPieces(RawClient& client, std::string_view request, std::mt19937& sizes, std::size_t largest) {
    for (std::size_t at = 0; at < request.size();) {
        std::size_t piece = std::min<std::size_t>(1 + sizes() % largest, request.size() - at);
        client.send(request.substr(at, piece));
        at += piece;
    }
}

std::size_t characterCount(const std::string& text) {
    std::size_t characters = 0;
    for (unsigned char byte : text) characters += (byte & 0xC0) != 0x80;
    return characters;
}

std::string save(int port, const std::string& fileName, const std::string& page,
                 const std::string& options = "backupDir=backup;user=me;password=;uploaddir=;;") {
    return exchange(port, uploadRequest(uploadBody(options, fileName, page, characterCount(page))), 60s);
}

std::string replaceOnce(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

// Returns once the server has finished with every earlier connection: it
// removes the second names of replaced files only after a save's answer.
void settle(int port) {
    exchange(port, "GET /settled HTTP/1.1\r\n\r\n");
}

const std::string wikiPage = "<!doctype html>\r\n<html><body>\r\n<p>Grüße aus Zürich — 東京 ✓</p>\r\n</body></html>\r\n";

} // namespace

TEST(SavingBlackBox, FirstAndSecondSaveKeepTheBackup) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    ServerProcess server({"--history", "off"}, dir.path());

    EXPECT_EQ(save(server.port(), "tiddly-notes.html", wikiPage), ok);
    EXPECT_EQ(dir.read("tiddly-notes.html"), wikiPage);
    EXPECT_FALSE(dir.exists("backup/tiddly-notes.html"));
    EXPECT_TRUE(server.waitForOutput("back up directory set to backup\npassword is set: \n"
                                     "filename is tiddly-notes.html\nForm Name is userfile\n"
                                     "writing data to file " + systemForm("./tiddly-notes.html") + "\n"));

    // The classic plug-in writes an empty parameter into its Content-Type.
    std::string second = wikiPage + "<p>second</p>\r\n";
    std::string request = uploadRequest(
        uploadBody("backupDir=backup;user=me;password=pw;uploaddir=;;", "tiddly-notes.html", second, 3),
        "multipart/form-data; ;charset=UTF-8; boundary=" + B);
    std::size_t seen = server.output().size();
    EXPECT_EQ(exchange(server.port(), request), ok);
    EXPECT_EQ(dir.read("tiddly-notes.html"), second);
    EXPECT_EQ(dir.read("backup/tiddly-notes.html"), wikiPage);
    EXPECT_TRUE(server.waitForOutput("Form Name is userfile\nmoving " + systemForm("./tiddly-notes.html") + " to backup directory, "
                                     + systemForm("./backup/tiddly-notes.html") + "\nwriting data to file " + systemForm("./tiddly-notes.html") + "\n",
                                     10s, seen));
    EXPECT_TRUE(server.waitForOutput(": closing connection from 127.0.0.1:", 10s, seen));

    EXPECT_EQ(save(server.port(), "tiddly-notes.html", "third"), ok);
    EXPECT_EQ(dir.read("tiddly-notes.html"), "third");
    EXPECT_EQ(dir.read("backup/tiddly-notes.html"), second);
}

TEST(SavingBlackBox, WithoutOrWithAMissingBackupFolder) {
    TempDir dir;
    dir.write("page.html", "old");
    ServerProcess server({"--history", "off"}, dir.path());

    std::string answer = save(server.port(), "page.html", "kept back", "backupDir=missing;");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\n")) << answer;
    EXPECT_NE(answer.find("backup"), std::string::npos);
    EXPECT_EQ(dir.read("page.html"), "old");
    EXPECT_TRUE(server.waitForOutput("there was an exception when copying the file to a backup directory\n"));

    EXPECT_EQ(save(server.port(), "page.html", "new", "user=me;"), ok);
    EXPECT_EQ(dir.read("page.html"), "new");
    EXPECT_TRUE(server.waitForOutput("warning: no backup directory specified\n"));
    settle(server.port());
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".fernhollow-stderr", "page.html"}));
}

TEST(SavingBlackBox, ALargePageSentInManyPiecesArrivesWhole) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("big.html", "previous");
    ServerProcess server({}, dir.path());

    std::string page(20 * 1024 * 1024, '\0');
    std::mt19937 generator(20240611);
    for (char& byte : page) byte = static_cast<char>(generator());
    std::string request = uploadRequest(uploadBody("backupDir=backup;", "big.html", page, page.size()));

    RawClient client(server.port());
    std::mt19937 sizes(7);
    sendInPieces(client, request, sizes, 9000);
    EXPECT_EQ(client.readAll(120s), ok);
    EXPECT_TRUE(dir.read("big.html") == page) << "the page on disk differs from the page sent";
    EXPECT_EQ(dir.read("backup/big.html"), "previous");
}

TEST(SavingBlackBox, RefusesNamesThatLeaveTheRootAndFramingAsPage) {
    TempDir dir;
    fs::create_directories(dir.path() + "/root/backup");
    dir.write("root/page.html", "old");
    ServerProcess server({"--root", dir.path() + "/root"}, dir.path());

    for (auto [fileName, options] : {std::pair<std::string, std::string>{"../escaped.html", "backupDir=backup;"},
                                     {"page.html", "backupDir=../;"},
                                     {"backup/../../escaped.html", ""}}) {
        SCOPED_TRACE(fileName + " " + options);
        std::string answer = save(server.port(), fileName, "evil", options);
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n")) << answer;
    }
    // A file part that announces no length would make the framing the page.
    std::string body = "--" + B + "\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"page.html\"\r\n\r\n"
                       "evil\r\n--" + B + "--\r\n";
    std::string answer = exchange(server.port(), uploadRequest(body));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n")) << answer;

    EXPECT_FALSE(dir.exists("escaped.html"));
    EXPECT_FALSE(dir.exists("page.html"));
    EXPECT_EQ(dir.read("root/page.html"), "old");
    EXPECT_FALSE(dir.exists("root/backup/page.html"));
    // The server goes on saving after the refusals.
    EXPECT_EQ(save(server.port(), "page.html", "good"), ok);
    EXPECT_EQ(dir.read("root/page.html"), "good");
    EXPECT_EQ(dir.read("root/backup/page.html"), "old");
}

TEST(SavingBlackBox, AnUploadCutShortOrWithAnEmptyPageWritesNothing) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("page.html", "old");
    ServerProcess server({}, dir.path());

    // Content-Length 15 bytes short: the server sees the announced body end
    // inside the closing delimiter, and the rest comes in a second piece.
    std::string body = uploadBody("backupDir=backup;", "page.html", "the new page", 12);
    std::string request = uploadRequest(body);
    std::string shortLength = replaceOnce(request, "Content-Length: " + std::to_string(body.size()),
                                          "Content-Length: " + std::to_string(body.size() - 15));
    RawClient client(server.port());
    client.send(std::string_view(shortLength).substr(0, shortLength.size() - 15));
    std::string answer = client.readAll();
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n")) << answer;
    EXPECT_TRUE(answer.ends_with("Not saved: the upload ended before its closing boundary, so the page arrived "
                                 "incomplete. Save again from the wiki; the page on disk is unchanged.\n"));
    try {
        client.send(std::string_view(shortLength).substr(shortLength.size() - 15));
    } catch (const std::exception&) {
        // The server may already have closed the connection.
    }
    EXPECT_TRUE(server.waitForOutput("refusing to save page.html: the upload ended before its closing boundary"));

    // A file part that announces a length but carries no bytes.
    answer = exchange(server.port(), uploadRequest(uploadBody("backupDir=backup;", "page.html", "", 5)));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 400 Bad Request\r\n")) << answer;
    EXPECT_TRUE(answer.ends_with("Not saved: the page in the upload is empty. Save again from the wiki; the page "
                                 "on disk is unchanged.\n"));

    settle(server.port());
    EXPECT_EQ(dir.read("page.html"), "old");
    EXPECT_FALSE(dir.exists("backup/page.html"));
    EXPECT_EQ(save(server.port(), "page.html", "whole"), ok);
    EXPECT_EQ(dir.read("page.html"), "whole");
}

TEST(SavingBlackBox, ABackupFolderThatIsThePagesOwnFolderKeepsNoBackup) {
    TempDir dir;
    dir.write("site/tiddly-own.html", "v0");
    ServerProcess server({"--root", dir.path() + "/site", "--history", "off"}, dir.path());
    int version = 0;
    for (std::string folder : {".", "./", "./.", ""}) {
        SCOPED_TRACE("backupDir=" + folder);
        std::string page = "v" + std::to_string(++version);
        std::size_t seen = server.output().size();
        EXPECT_EQ(save(server.port(), "tiddly-own.html", page, "backupDir=" + folder + ";"), ok);
        EXPECT_EQ(dir.read("site/tiddly-own.html"), page);
        EXPECT_TRUE(server.waitForOutput(folder.empty() ? "warning: no backup directory specified\n"
                                                        : "no backup kept for tiddly-own.html: the backup folder is "
                                                          "the page's own folder\nwriting data to file ",
                                         10s, seen));
        EXPECT_EQ(server.output().find("moving ", seen), std::string::npos);
        settle(server.port());
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path() + "/site"))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"tiddly-own.html"});
    }
}

TEST(SavingBlackBox, AFileNameWithBlanksIsSavedUnderThatName) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("tiddly-my notes.html", "old");
    ServerProcess server({}, dir.path());
    EXPECT_EQ(save(server.port(), "tiddly-my notes.html", wikiPage), ok);
    EXPECT_EQ(dir.read("tiddly-my notes.html"), wikiPage);
    EXPECT_EQ(dir.read("backup/tiddly-my notes.html"), "old");
    EXPECT_FALSE(dir.exists("tiddly-mynotes.html"));
    EXPECT_TRUE(server.waitForOutput("filename is tiddly-my notes.html\n"));
}

TEST(SavingBlackBox, BrowsersGetTheFailureAsTextScriptsAsAStatus) {
    TempDir dir;
    dir.write("page.html", "old");
    ServerProcess server({}, dir.path());
    const std::string browserHead = "Origin: http://127.0.0.1\r\nSec-Fetch-Site: same-origin\r\n";
    const std::string missingFolder = "Not saved: the backup folder 'backup' does not exist in the served folder. "
                                      "Create it, or clear Backup Directory in the wiki's saver settings.\n";
    const std::string outside = "Not saved: the file name '../page.html' leads outside the served folder. Set Upload "
                                "Filename in the wiki's saver settings to a name inside it, such as 'index.html'.\n";
    auto upload = [](const std::string& name, const std::string& head) {
        return uploadRequest(uploadBody("backupDir=backup;", name, "new", 3), "multipart/form-data; boundary=" + B, head);
    };
    auto text = [](const std::string& status, const std::string& body) {
        return "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    };
    EXPECT_EQ(exchange(server.port(), upload("page.html", browserHead)), text("200 OK", missingFolder));
    EXPECT_EQ(exchange(server.port(), upload("page.html", "Origin: http://127.0.0.1\r\n")), text("200 OK", missingFolder));
    EXPECT_EQ(exchange(server.port(), upload("page.html", "")), text("500 Internal Server Error", missingFolder));
    EXPECT_EQ(exchange(server.port(), upload("../page.html", browserHead)), text("200 OK", outside));
    EXPECT_EQ(exchange(server.port(), upload("../page.html", "")), text("403 Forbidden", outside));
    EXPECT_TRUE(server.waitForOutput("there was an exception when copying the file to a backup directory\n"
                                     "could not save page.html: the backup folder 'backup' does not exist in the "
                                     "served folder ("));
    EXPECT_EQ(dir.read("page.html"), "old");
    EXPECT_FALSE(dir.exists("../page.html"));
}

// The root comes from a configuration file without its final separator, which
// the save then appends.
TEST(SavingBlackBox, AFileNameInAnyLanguageIsSavedWithItsBackup) {
    TempDir dir;
    fs::create_directories(dir.path() + "/site/backup");
    dir.write("fernhollow.cfg", "root: site;\n");
    const std::string name = "tiddly-\xC3\x9C" "bersicht \xE6\x9D\xB1\xE4\xBA\xAC.html";
    dir.write("site/" + name, "old");
    ServerProcess server({"--config", "fernhollow.cfg"}, dir.path());
    EXPECT_EQ(save(server.port(), name, wikiPage), ok);
    EXPECT_EQ(dir.read("site/" + name), wikiPage);
    EXPECT_EQ(dir.read("site/backup/" + name), "old");
    EXPECT_TRUE(server.waitForOutput("Form Name is userfile\nAppended " + systemForm("/") + " to root path\nmoving " +
                                     systemForm("site/" + name) + " to backup directory, " +
                                     systemForm("site/backup/" + name) + "\n"))
        << server.output();
}

TEST(SavingBlackBox, WindowsDeviceAndStreamNamesAreRefused) {
    if (!serverUnderWine) GTEST_SKIP() << "only Windows takes these names for devices, streams or other names";
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("page.html", "old");
    ServerProcess server({}, dir.path());
    for (auto [fileName, options] : {std::pair<std::string, std::string>{"CON.html", "backupDir=backup;"},
                                     {"page.html.", "backupDir=backup;"},
                                     {"page.html::$DATA", "backupDir=backup;"},
                                     {"C:page.html", ""},
                                     {"page.html", "backupDir=nul;"},
                                     {"page.html", "backupDir=backup ;"}}) {
        SCOPED_TRACE(fileName + " " + options);
        std::string answer = save(server.port(), fileName, "evil", options);
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n")) << answer;
        EXPECT_NE(answer.find("on Windows it names a device or a stream, or ends in a dot or a blank"), std::string::npos)
            << answer;
    }
    EXPECT_EQ(dir.read("page.html"), "old");
    EXPECT_FALSE(dir.exists("backup/page.html"));
}

TEST(SavingBlackBox, APageHeldOpenByAnotherProgramStaysWholeAndTheSaveSaysSo) {
    if (!serverUnderWine) GTEST_SKIP() << "POSIX lets a file held open be replaced";
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("page.html", "old");
    ServerProcess server({}, dir.path());
    // Another Windows program keeps the page open, sharing it with no one.
    ::setenv("FERNHOLLOW_EXE", FERNHOLLOW_CGI_STANDIN, 1);
    ServerProcess holder({"--hold", dir.path() + "/page.html", "4"}, dir.path(), false, false);
    ::unsetenv("FERNHOLLOW_EXE");
    ASSERT_TRUE(holder.waitForOutput("holding"));
    std::string answer = save(server.port(), "page.html", "new");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 500 Internal Server Error\r\n")) << answer;
    EXPECT_NE(answer.find("'page.html' is in use by another program"), std::string::npos) << answer;
    EXPECT_EQ(dir.read("page.html"), "old");
    // Once the other program lets go, the page is saved.
    EXPECT_EQ(holder.waitExit(std::chrono::seconds(10)), 0);
    EXPECT_EQ(save(server.port(), "page.html", "new"), ok);
    EXPECT_EQ(dir.read("page.html"), "new");
    EXPECT_EQ(dir.read("backup/page.html"), "old");
}

// The wiki always sends the same boundary, so a page may hold its text, in a
// delimiter line, the closing delimiter itself, or a whole part; the page runs
// to the upload's last closing delimiter and is saved byte for byte.
TEST(SavingBlackBox, PagesHoldingTheBoundaryTextAreSavedByteForByte) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("page.html", "first");
    ServerProcess server({}, dir.path());
    const std::string pages[] = {
        "<p>a\r\n--" + B + "\r\nb</p>",
        "<p>a\r\n--\r\n--x\r\n-- \r\n--" + B + "</p>",
        "<p>a\r\n--" + B + "--\r\nb</p>",
        "<p>a\r\n--" + B + "--</p>\r\n--" + B + "--\r\n",
        "<p>a\r\n--" + B + "\r\nContent-disposition: form-data; name=\"userfile\"; filename=\"evil.html\"\r\n"
            "Content-Length: 4\r\n\r\nevil\r\n--" + B + "--\r\n</p>",
    };
    // A large page is written as it arrives, before its end is known: the same
    // endings after 2 MiB, the upload followed by text after its closing
    // delimiter, still come out cut exactly where the page ends.
    struct Case {
        std::string page, epilogue;
        std::size_t largestPiece;
    };
    std::vector<Case> cases;
    for (const std::string& ending : pages) cases.push_back({ending, "", 40});
    for (const std::string& ending : pages)
        cases.push_back({std::string(2 << 20, 'f') + ending, "an epilogue, no part of the page", 9000});
    std::string previous = "first";
    std::mt19937 sizes(11);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page.substr(c.page.size() - std::min<std::size_t>(c.page.size(), 120)));
        std::string request =
            uploadRequest(uploadBody("backupDir=backup;", "page.html", c.page, c.page.size()) + c.epilogue);
        RawClient client(server.port());
        client.noDelay();
        sendInPieces(client, request, sizes, c.largestPiece);
        EXPECT_EQ(client.readAll(), ok);
        settle(server.port());
        EXPECT_TRUE(dir.read("page.html") == c.page);
        EXPECT_TRUE(dir.read("backup/page.html") == previous);
        previous = c.page;
    }
    EXPECT_FALSE(dir.exists("evil.html"));
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".saving-"), std::string::npos) << entry.path();
}

// The exchange files hold the last script request's body and answer: a save
// must never give them a second name that GET would serve.
TEST(SavingBlackBox, SavesOntoTheScriptExchangeFilesAreRefused) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("run.php", "<?php echo 'ran';");
    ServerProcess server({"--php-path", FERNHOLLOW_CGI_STANDIN}, dir.path());
    const std::string secret = "user=bob&password=pa55w";
    std::string ran = exchange(server.port(), "POST /run.php HTTP/1.1\r\nContent-Length: " +
                                                  std::to_string(secret.size()) + "\r\n\r\n" + secret);
    ASSERT_TRUE(ran.starts_with("HTTP/1.1 200 OK\r\n")) << ran;
    std::vector<std::string> names = {"php-in", "php-out"};
    // Windows finds the exchange file under any letter case.
    if (serverUnderWine) names.push_back("Php-In");
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        for (std::string options : {"backupDir=backup;", "backupDir=;"}) {
            std::string answer = save(server.port(), name, "<html>a page</html>", options);
            EXPECT_TRUE(answer.starts_with("HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n")) << answer;
            EXPECT_TRUE(answer.ends_with("Not saved: the file name '" + name + "' names a file the server passes to "
                                         "its scripts, not a page. Set Upload Filename in the wiki's saver settings "
                                         "to the wiki's own file name.\n"))
                << answer;
        }
        EXPECT_FALSE(dir.exists("backup/" + name));
        std::string leaked = exchange(server.port(), "GET /backup/" + name + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(leaked.starts_with("HTTP/1.1 404 Not Found\r\n")) << leaked;
    }
    EXPECT_EQ(dir.read("php-in"), secret);
    EXPECT_TRUE(server.waitForOutput("refusing to save php-out: the file name 'php-out' names a file the server "
                                     "passes to its scripts, not a page\n"));
}

// A save over the process's file-size limit fails like any write that does
// not fit: refused with its reason, nothing left behind, the server running.
TEST(SavingBlackBox, ASaveOverTheFileSizeLimitIsRefusedAndTheServerGoesOn) {
    SKIP_UNDER_WINE("the file-size limit of a POSIX process does not apply to the Windows program");
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    dir.write("page.html", "old");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    std::optional<ServerProcess> server;
    {
        // The server inherits the limit; this process keeps its own.
        rlimit lowered{64 * 1024, saved.rlim_max};
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
        server.emplace(std::vector<std::string>{}, dir.path());
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    }
    std::string answer = save(server->port(), "page.html", std::string(200 * 1024, 'x'));
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 500 Internal Server Error\r\n")) << answer;
    EXPECT_TRUE(answer.ends_with("Not saved: 'page.html' is larger than the server may write there. Free space or "
                                 "raise the server's file size limit, then save again; the page on disk is "
                                 "unchanged.\n"))
        << answer;
    settle(server->port());
    EXPECT_EQ(dir.read("page.html"), "old");
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".saving-"), std::string::npos) << entry.path();
    EXPECT_FALSE(dir.exists("backup/page.html"));
    // Large pages are written as they arrive: the write fails part way, the
    // rest of the page is still read, and the answer says why.
    std::string put = exchange(server->port(), putRequest("/page.html", std::string(2 << 20, 'y')));
    EXPECT_TRUE(put.starts_with("HTTP/1.1 500 Internal Server Error\r\n")) << put;
    EXPECT_NE(put.find("larger than the server may write there"), std::string::npos) << put;
    std::string upload = save(server->port(), "page.html", std::string(2 << 20, 'z'));
    EXPECT_TRUE(upload.starts_with("HTTP/1.1 500 Internal Server Error\r\n")) << upload;
    EXPECT_NE(upload.find("larger than the server may write there"), std::string::npos) << upload;
    settle(server->port());
    EXPECT_EQ(dir.read("page.html"), "old");
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".saving-"), std::string::npos) << entry.path();
    EXPECT_EQ(save(server->port(), "page.html", "small"), ok);
    EXPECT_EQ(dir.read("page.html"), "small");
    EXPECT_TRUE(exchange(server->port(), putRequest("/page.html", "put small")).starts_with("HTTP/1.1 204 "));
    EXPECT_EQ(dir.read("page.html"), "put small");
}

// Temporary names that interrupted saves left (of any page, by a server that
// is gone) are removed by the next save into their folder; such names are
// never served, not even a newer one another server may be writing.
TEST(SavingBlackBox, LeftoversOfInterruptedSavesAreRemovedAndNeverServed) {
    TempDir dir;
    dir.write("page.html", "old");
    dir.write("other.html.saving-0123456789ab", "a page half written");
    dir.write("backup/gone.html.saving-aaaaaaaaaaaa", "a replaced page");
    dir.write("backup/kept.html", "not a temporary name");
    ServerProcess server({}, dir.path());
    std::this_thread::sleep_for(50ms);
    dir.write("late.html.saving-bbbbbbbbbbbb", "another server's save under way");
    for (std::string target : {"/other.html.saving-0123456789ab", "/backup/gone.html.saving-aaaaaaaaaaaa",
                               "/late.html.saving-bbbbbbbbbbbb"}) {
        for (std::string method : {"GET ", "HEAD "}) {
            std::string answer = exchange(server.port(), method + target + " HTTP/1.1\r\n\r\n");
            EXPECT_TRUE(answer.starts_with("HTTP/1.1 404 Not Found\r\n")) << method << target << "\n" << answer;
        }
    }
    EXPECT_EQ(save(server.port(), "page.html", "new"), ok);
    settle(server.port());
    EXPECT_FALSE(dir.exists("other.html.saving-0123456789ab"));
    EXPECT_FALSE(dir.exists("backup/gone.html.saving-aaaaaaaaaaaa"));
    EXPECT_TRUE(dir.exists("late.html.saving-bbbbbbbbbbbb"));
    EXPECT_EQ(dir.read("backup/kept.html"), "not a temporary name");
    EXPECT_EQ(dir.read("backup/page.html"), "old");
}
