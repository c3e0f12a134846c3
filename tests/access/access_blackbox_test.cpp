// The real binary refuses what other sites and rebound names send it, and
// serves its own pages and command-line clients as before.
#include "access/auth.h"
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

using namespace fernhollow::testing;
using namespace std::chrono_literals;

namespace {

const std::string B = "xYz";
const std::string forbidden = "HTTP/1.1 403 Forbidden\r\n";

// A save of `page` to tiddly-a.html with extra head lines, and the wiki's
// upload options when `options` is not empty.
std::string saveRequest(const std::string& headLines, const std::string& page, const std::string& options = "") {
    std::string body;
    if (!options.empty())
        body = "--" + B + "\r\nContent-Disposition: form-data; name=\"UploadPlugin\"\r\n\r\n" + options + "\r\n";
    body += "--" + B + "\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"tiddly-a.html\"\r\n"
                       "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page + "\r\n--" + B + "--\r\n";
    return "POST /savetiddly HTTP/1.1\r\n" + headLines + "Content-Type: multipart/form-data; boundary=" + B +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

} // namespace

TEST(AccessBlackBox, HostNamesOnALoopbackListener) {
    TempDir dir;
    dir.write("index.html", "hello");
    ServerProcess server({}, dir.path());
    std::string port = std::to_string(server.port());
    for (const std::string& host : std::vector<std::string>{"127.0.0.1:" + port, "localhost:" + port, "wiki.localhost", "[::1]:" + port}) {
        std::string answer = exchange(server.port(), "GET /index.html HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << host << "\n" << answer;
    }
    EXPECT_TRUE(exchange(server.port(), "GET /index.html HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 200 OK\r\n"));
    for (const std::string& head : std::vector<std::string>{"Host: evil.example:" + port + "\r\n", "Host: localhost.evil.example\r\n",
                                   "Host: \r\n", "Host: a b\r\n", "Host: localhost\r\nHost: evil.example\r\n",
                                   "Host: [::1\r\n", "Host: localhost:99999999\r\n"}) {
        std::string answer = exchange(server.port(), "GET /index.html HTTP/1.1\r\n" + head + "\r\n");
        EXPECT_TRUE(answer.starts_with(forbidden)) << head << "\n" << answer;
        EXPECT_EQ(answer.find("hello"), std::string::npos);
    }
    EXPECT_EQ(server.output().find("Access-Control"), std::string::npos);
}

TEST(AccessBlackBox, AnyHostOnOtherListeners) {
    TempDir dir;
    dir.write("index.html", "hello");
    ServerProcess server({"--ip", "0.0.0.0"}, dir.path());
    std::string answer = exchange(server.port(), "GET /index.html HTTP/1.1\r\nHost: wiki.example.org\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
    const std::string warning = "\nwarning: listening beyond this machine without a password: anyone on the network "
                                "can change every wiki and run every script (set one with --password)\n";
    EXPECT_TRUE(server.waitForOutput(warning)) << server.output();
    // Beyond loopback the start-up names the machine's own addresses to open.
    EXPECT_NE(server.output().find("open http://127.0.0.1:" + std::to_string(server.port()) + "/tiddly in your browser\n"),
              std::string::npos) << server.output();
    // Once the next line has come, the warning would have come before it.
    ServerProcess guarded({"--ip", "0.0.0.0", "--password", "pw"}, dir.path());
    EXPECT_TRUE(guarded.waitForOutput("every request needs the user name and password\n"));
    EXPECT_EQ(guarded.output().find("warning:"), std::string::npos) << guarded.output();
    ServerProcess local({}, dir.path());
    exchange(local.port(), "GET /index.html HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(local.waitForOutput("connection from"));
    EXPECT_EQ(local.output().find("warning:"), std::string::npos) << local.output();
}

TEST(AccessBlackBox, SavesFromOtherSitesAreRefused) {
    TempDir dir;
    dir.write("tiddly-a.html", "original");
    ServerProcess server({}, dir.path());
    std::string self = "127.0.0.1:" + std::to_string(server.port());
    const std::string refused[] = {
        "Host: " + self + "\r\nOrigin: http://127.0.0.1:1\r\n",
        "Host: " + self + "\r\nOrigin: null\r\n",
        "Host: " + self + "\r\nOrigin: http://evil.example\r\n",
        "Host: " + self + "\r\nOrigin: \r\n",
        "Host: " + self + "\r\nSec-Fetch-Site: cross-site\r\nOrigin: http://evil.example\r\n",
        "Host: " + self + "\r\nSec-Fetch-Site: same-site\r\nOrigin: http://127.0.0.1:1\r\n",
    };
    for (const std::string& head : refused) {
        std::string answer = exchange(server.port(), saveRequest(head, "attack"));
        EXPECT_TRUE(answer.starts_with(forbidden)) << head << "\n" << answer;
        EXPECT_EQ(answer.find("Access-Control-Allow"), std::string::npos);
        EXPECT_EQ(dir.read("tiddly-a.html"), "original") << head;
    }
    // A PHP script is never run for another site either.
    std::string script = exchange(server.port(), "POST /x.php HTTP/1.1\r\nHost: " + self +
                                                     "\r\nSec-Fetch-Site: cross-site\r\nContent-Length: 1\r\n\r\nx");
    EXPECT_TRUE(script.starts_with(forbidden)) << script;
    EXPECT_EQ(server.output().find("Missing PHP path"), std::string::npos);

    const std::string allowed[] = {
        "Host: " + self + "\r\nOrigin: http://" + self + "\r\nSec-Fetch-Site: same-origin\r\n",
        "Host: " + self + "\r\nOrigin: http://" + self + "\r\n",
        "Host: " + self + "\r\n",
        "Sec-Fetch-Site: none\r\n",
    };
    int version = 0;
    for (const std::string& head : allowed) {
        std::string page = "version " + std::to_string(++version);
        EXPECT_EQ(exchange(server.port(), saveRequest(head, page)), "HTTP/1.1 200 OK\r\n\r\n") << head;
        EXPECT_EQ(dir.read("tiddly-a.html"), page) << head;
    }
}

TEST(AccessBlackBox, ScriptsRunOnlyForTheServersOwnPages) {
    TempDir dir;
    dir.write("run.php", "<?php echo 'ran';\n");
    dir.write("page.php.html", "static");
    dir.write("fernhollow.cfg", "php-path: /usr/bin/php-cgi;\nscript-timeout: 2;\n");
    ServerProcess server({"--config", "fernhollow.cfg"}, dir.path());
    std::string self = "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
    // An <img> or <iframe> of another site, a fetch naming its origin, a sibling site.
    for (std::string from : {"Sec-Fetch-Site: cross-site\r\n", "Origin: http://evil.example\r\n",
                             "Sec-Fetch-Site: same-site\r\n"}) {
        for (std::string line : {"GET /run.php", "GET /run.php?x=1", "HEAD /run.php"}) {
            std::string answer = exchange(server.port(), line + " HTTP/1.1\r\n" + self + from + "\r\n");
            EXPECT_TRUE(answer.starts_with(forbidden)) << line << "\n" << from << answer;
            EXPECT_EQ(answer.find("ran"), std::string::npos);
        }
        std::string page = exchange(server.port(), "GET /page.php.html HTTP/1.1\r\n" + self + from + "\r\n");
        EXPECT_TRUE(page.ends_with("\r\n\r\nstatic")) << page;
    }
    EXPECT_FALSE(dir.exists("php-in")) << "the interpreter was prepared for another site";
    // The Linux php-cgi cannot serve the Windows program under Wine: the refusals are what counts there.
    if (serverUnderWine) return;
    for (std::string from : {"Sec-Fetch-Site: same-origin\r\n", ""}) {
        std::string own = exchange(server.port(), "GET /run.php HTTP/1.1\r\n" + self + from + "\r\n");
        EXPECT_TRUE(own.ends_with("\r\n\r\nran")) << own;
    }
}

namespace {

const std::string unauthorized = "HTTP/1.1 401 Unauthorized\r\n";
const std::string challenge = "\r\nWWW-Authenticate: Basic realm=\"Fernhollow\", charset=\"UTF-8\"\r\n";

// The Authorization line of `user` and `password`.
std::string credentials(const std::string& user, const std::string& password) {
    return "Authorization: Basic " + fernhollow::base64Encode(user + ":" + password) + "\r\n";
}

// The body of a POST with its length line, after `head` (request line and lines).
std::string withBody(const std::string& head, const std::string& type, const std::string& body) {
    return head + "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

} // namespace

// With a password, every method on every route needs it: without it or with a
// wrong one the answer is 401 and nothing on disk changes or runs; with it the
// request is answered as without a password. The password, kept as the hash
// --hash-password printed, never reaches the console.
TEST(AccessBlackBox, APasswordGuardsEveryMethodAndRoute) {
    TempDir dir;
    dir.write("tiddly-a.html", "original");
    dir.write("index.html", "home");
    dir.write("run.php", "<?php echo 'ran';\n");
    const std::string password = "correct horse \xe2\x9c\x93";
    int status = -1;
    std::string printed = runBinary({"--hash-password"}, dir.path(), password + "\n", status);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(printed.starts_with("password: pbkdf2-sha256:600000:") && printed.ends_with(";\n")) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << "the line to paste, nothing else";
    EXPECT_NE(runBinary({"--hash-password"}, dir.path(), "", status), printed);
    EXPECT_EQ(status, 1) << "no password, no hash";
    // The wrong logins below come faster than the default budget of checks allows: each must be a 401.
    dir.write("fernhollow.cfg", "php-path: /usr/bin/php-cgi;\nuser: me;\nlogin-share: 100;\n" + printed);
    ServerProcess server({"--config", "fernhollow.cfg"}, dir.path());
    EXPECT_TRUE(server.waitForOutput("\nevery request needs the user name and password\n"));

    const std::string right = credentials("me", password);
    auto versionName = [&] {
        std::vector<std::string> names;
        for (const auto& [name, bytes] : snapshot(dir.path() + "/history/tiddly-a.html")) names.push_back(name);
        return names.empty() ? std::string() : names.front();
    };
    struct Route {
        const char* name;
        std::function<std::string(const std::string& authorization)> request;
        std::string answered;  // how the answer with the right credentials begins
    };
    const std::string form = "application/x-www-form-urlencoded";
    const std::vector<Route> routes = {
        {"GET a page", [](auto& a) { return "GET /tiddly-a.html HTTP/1.1\r\n" + a + "\r\n"; }, "HTTP/1.1 200 OK\r\n"},
        {"HEAD /", [](auto& a) { return "HEAD / HTTP/1.1\r\n" + a + "\r\n"; }, "HTTP/1.1 200 OK\r\n"},
        {"the list", [](auto& a) { return "GET /tiddly HTTP/1.1\r\n" + a + "\r\n"; }, "HTTP/1.1 200 OK\r\n"},
        {"OPTIONS", [](auto& a) { return "OPTIONS /tiddly-a.html HTTP/1.1\r\n" + a + "\r\n"; }, "HTTP/1.1 200 OK\r\n"},
        {"PUT", [](auto& a) { return putRequest("/tiddly-a.html", "saved by PUT", a); }, "HTTP/1.1 204 No Content\r\n"},
        {"the history page",
         [](auto& a) { return "GET /tiddly/history?page=tiddly-a.html HTTP/1.1\r\n" + a + "\r\n"; },
         "HTTP/1.1 200 OK\r\n"},
        {"a restore",
         [&](auto& a) {
             return withBody("POST /tiddly/history HTTP/1.1\r\n" + a, form,
                             "page=tiddly-a.html&version=" + versionName());
         },
         "HTTP/1.1 303 See Other\r\n"},
        {"an upload", [](auto& a) { return saveRequest(a, "saved by upload"); }, "HTTP/1.1 200 OK\r\n"},
        {"a script by GET", [](auto& a) { return "GET /run.php HTTP/1.1\r\n" + a + "\r\n"; }, "HTTP/1.1 200 OK\r\n"},
        {"a script by POST", [&](auto& a) { return withBody("POST /run.php HTTP/1.1\r\n" + a, form, "x=1"); },
         "HTTP/1.1 200 OK\r\n"},
        {"a method nobody answers", [](auto& a) { return "DELETE /tiddly-a.html HTTP/1.1\r\n" + a + "\r\n"; }, ""},
        {"a request line without a target", [](auto& a) { return "GET\r\n" + a + "\r\n"; }, "HTTP/1.1 400 "},
    };
    const std::pair<const char*, std::string> refused[] = {
        {"none", ""},
        {"wrong password", credentials("me", "correct horse")},
        {"wrong user", credentials("you", password)},
        {"the hash for the password", credentials("me", printed.substr(10, printed.size() - 12))},
        {"not Basic", "Authorization: Bearer " + password + "\r\n"},
    };
    for (const Route& route : routes) {
        // Answered only once the server is done with the request before, whose
        // replaced files it removes after its answer.
        exchange(server.port(), "GET / HTTP/1.1\r\n\r\n");
        for (const auto& [how, authorization] : refused) {
            const auto before = snapshot(dir.path());
            std::string answer = exchange(server.port(), route.request(authorization));
            EXPECT_TRUE(answer.starts_with(unauthorized)) << route.name << ", " << how << ":\n" << answer;
            EXPECT_NE(answer.find(challenge), std::string::npos) << route.name << ", " << how;
            EXPECT_EQ(snapshot(dir.path()), before) << route.name << ", " << how;
        }
        // The Linux php-cgi cannot serve the Windows program under Wine: the refusals are what counts
        // there, and a right login stands in for the script's, forgiving the wrong ones.
        if (serverUnderWine && std::string(route.name).starts_with("a script")) {
            EXPECT_TRUE(exchange(server.port(), "GET / HTTP/1.1\r\n" + right + "\r\n").starts_with("HTTP/1.1 200 OK"));
            continue;
        }
        std::string answer = exchange(server.port(), route.request(right), route.answered.empty() ? 500ms : 10s);
        EXPECT_TRUE(answer.starts_with(route.answered) && (route.answered.empty() || !answer.empty()))
            << route.name << ":\n" << answer;
    }
    EXPECT_EQ(dir.read("tiddly-a.html"), "saved by upload");

    // A client still sending its body reads the refusal, not a reset.
    RawClient big(server.port());
    std::string put = putRequest("/tiddly-a.html", std::string(8 << 20, 'x'));
    big.send(std::string_view(put).substr(0, 1000));
    std::this_thread::sleep_for(200ms);
    EXPECT_NO_THROW(big.send(std::string_view(put).substr(1000)));
    std::string answer = big.readAll();
    EXPECT_TRUE(answer.starts_with(unauthorized)) << answer.substr(0, 200);
    EXPECT_EQ(dir.read("tiddly-a.html"), "saved by upload");

    const std::string& console = server.output();
    EXPECT_EQ(console.find("correct horse"), std::string::npos) << console;
    EXPECT_EQ(console.find(right.substr(21, 20)), std::string::npos) << "the offered credentials";
    EXPECT_NE(console.find("\nconfig data for password is ********\n"), std::string::npos) << console;
    EXPECT_NE(console.find("\nrequest refused: no user name and password given\n"), std::string::npos);
    EXPECT_NE(console.find("\nrequest refused: wrong user name or password from 127.0.0.1\n"), std::string::npos);
}

// 80 wrong logins, 10 from each of 8 addresses, none locked out, may check
// passwords for a quarter of the time together; the rest get 429 at once,
// and the owner's remembered login is answered meanwhile.
TEST(AccessBlackBox, GuessesFromManyAddressesShareABudgetOfChecks) {
    TempDir dir;
    dir.write("tiddly-a.html", "owner's page");
    int status = -1;
    dir.write("fernhollow.cfg", "user: me;\n" + runBinary({"--hash-password"}, dir.path(), "right one\n", status));
    ServerProcess server({"--config", "fernhollow.cfg"}, dir.path());
    const std::string owner = "GET /tiddly-a.html HTTP/1.1\r\n" + credentials("me", "right one") + "\r\n";
    ASSERT_TRUE(exchange(server.port(), owner).ends_with("\r\n\r\nowner's page"));
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < 80; ++i) {
        flood.push_back(std::make_unique<RawClient>(server.port(), "127.0.0." + std::to_string(2 + i % 8)));
        flood.back()->send("GET /tiddly-a.html HTTP/1.1\r\n" + credentials("me", "guess " + std::to_string(i)) + "\r\n");
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(exchange(server.port(), owner).ends_with("\r\n\r\nowner's page"));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::cout << "the owner's remembered login was answered in " << waited.count() << " ms\n";
    EXPECT_LT(waited, 3s) << "a generous bound: 80 checks take 10 s or more";
    int deferred = 0;
    for (auto& client : flood) {
        std::string refused = client->readAll();
        deferred += refused.starts_with("HTTP/1.1 429 ") && refused.find("\r\nRetry-After: ") != std::string::npos;
    }
    EXPECT_GT(deferred, 40) << "most are refused at once, without a check";
    EXPECT_NE(server.output().find("\nrequest refused: checking passwords has taken its 25 % of the time: 127.0.0."),
              std::string::npos);
    EXPECT_EQ(server.output().find("locked out"), std::string::npos) << "not counted as failures";
}

// Guests read without the password and change nothing; ten wrong logins from
// one address lock that address out, even with the right password, until the
// window has passed, while other addresses go on.
TEST(AccessBlackBox, GuestsReadAndGuessingLocksOneAddressOut) {
    TempDir dir;
    dir.write("tiddly-a.html", "original");
    ServerProcess server({"--password", "pw-plain", "--guests", "read", "--login-window", "2"}, dir.path());
    EXPECT_TRUE(server.waitForOutput("\nsaving, restoring and scripts need the user name and password; anyone may read\n"
                                     "the password is kept in plain text in the settings: fernhollow --hash-password "
                                     "prints a hash to keep there instead\n"))
        << server.output();

    const auto before = snapshot(dir.path());
    for (std::string read : {"GET /tiddly-a.html", "HEAD /tiddly-a.html?x", "GET /tiddly", "OPTIONS /tiddly-a.html",
                             "GET /tiddly/history?page=tiddly-a.html"}) {
        std::string answer = exchange(server.port(), read + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << read << "\n" << answer;
    }
    for (std::string change : {putRequest("/tiddly-a.html", "guest"), saveRequest("", "guest"),
                               std::string("GET /run.php HTTP/1.1\r\n\r\n"),
                               withBody("POST /tiddly/history HTTP/1.1\r\n", "application/x-www-form-urlencoded",
                                        "page=tiddly-a.html&version=x")}) {
        std::string answer = exchange(server.port(), change);
        EXPECT_TRUE(answer.starts_with(unauthorized)) << change.substr(0, 40) << "\n" << answer;
    }
    EXPECT_EQ(snapshot(dir.path()), before);
    // Any user name goes with a password given without one; the wiki's own copy of it stays off the console.
    EXPECT_EQ(exchange(server.port(), saveRequest(credentials("anyone", "pw-plain"), "saved", "backupDir=;password=pw-plain;")),
              "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(dir.read("tiddly-a.html"), "saved");

    auto from = [&](const std::string& address, const std::string& head) {
        RawClient client(server.port(), address);
        client.send("GET /tiddly-a.html HTTP/1.1\r\n" + head + "\r\n");
        return client.readAll();
    };
    for (int i = 1; i <= 10; ++i) {
        std::string answer = from("127.0.0.2", credentials("", "guess " + std::to_string(i)));
        EXPECT_TRUE(answer.starts_with(unauthorized)) << i << "\n" << answer;
    }
    EXPECT_TRUE(server.waitForOutput("\nrequest refused: wrong user name or password from 127.0.0.2: 10 within 2 s, so "
                                     "its requests are refused for 2 s\n"))
        << server.output();
    for (const std::string& head : {credentials("", "pw-plain"), std::string()}) {
        std::string locked = from("127.0.0.2", head);
        EXPECT_TRUE(locked.starts_with("HTTP/1.1 429 Too Many Requests\r\n")) << locked;
        EXPECT_TRUE(locked.find("\r\nRetry-After: 2\r\n") != std::string::npos ||
                    locked.find("\r\nRetry-After: 1\r\n") != std::string::npos) << locked;
    }
    EXPECT_NE(server.output().find("\nrequest refused: 127.0.0.2 is locked out for "), std::string::npos);
    EXPECT_TRUE(from("127.0.0.3", credentials("", "pw-plain")).ends_with("\r\n\r\nsaved")) << "another address";
    std::this_thread::sleep_for(2100ms);
    EXPECT_TRUE(from("127.0.0.2", credentials("", "pw-plain")).ends_with("\r\n\r\nsaved")) << "after the window";

    EXPECT_NE(server.output().find("\npassword is set: ********\n"), std::string::npos) << server.output();
    EXPECT_EQ(server.output().find("pw-plain"), std::string::npos) << server.output();
}
