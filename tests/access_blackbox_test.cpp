// The real binary refuses what other sites and rebound names send it, and
// serves its own pages and command-line clients as before.
#include "support/blackbox.h"

#include <gtest/gtest.h>

using namespace fernhollow::testing;
using namespace std::chrono_literals;

namespace {

const std::string B = "xYz";
const std::string forbidden = "HTTP/1.1 403 Forbidden\r\n";

// A save of `page` to tiddly-a.html with extra head lines.
std::string saveRequest(const std::string& headLines, const std::string& page) {
    std::string body = "--" + B + "\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"tiddly-a.html\"\r\n"
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
