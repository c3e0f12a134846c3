// Which requests may reach the wikis: Host names under DNS rebinding and the
// origin of POSTs.
#include "access/access.h"

#include <gtest/gtest.h>

using namespace fernhollow;

namespace {

TEST(Access, HostNamesAllowedOnALoopbackListener) {
    struct Case {
        const char* host;
        bool allowed;
    };
    const Case cases[] = {
        {"127.0.0.1:9090", true}, {"127.0.0.1", true},       {"localhost:9090", true},
        {"LocalHost", true},      {"wiki.localhost:1", true}, {"[::1]:9090", true},
        {"[::1]", true},          {"10.1.2.3", true},         {"my-laptop", true},  // the configured ip text
        {"evil.example:9090", false}, {"localhost.evil.example", false}, {"127.0.0.1.nip.io", false},
        {"", false},              {":9090", false},           {"localhost:", false},
        {"localhost:90a", false}, {"[::1", false},            {"[evil]:80", false},
        {"a b", false},           {"local\x01host", false},   {"::1", false},  // IPv6 needs brackets
        {"localhost:123456", false}, {"1.2.3.256", false},
    };
    for (const Case& c : cases) EXPECT_EQ(hostAllowed(c.host, "my-laptop"), c.allowed) << c.host;
}

TEST(Access, PostOrigins) {
    using Lines = std::vector<std::string>;
    struct Case {
        Lines head;
        bool allowed;
    };
    const Case cases[] = {
        {{"POST /savetiddly HTTP/1.1", "Host: 127.0.0.1:9090", ""}, true},  // a command-line client
        {{"POST / HTTP/1.1", "Sec-Fetch-Site: same-origin", "Origin: http://127.0.0.1:9090", ""}, true},
        {{"POST / HTTP/1.1", "sec-fetch-site:none", ""}, true},
        {{"POST / HTTP/1.1", "Sec-Fetch-Site: same-site", "Origin: http://127.0.0.1:9090", "Host: 127.0.0.1:9090", ""}, false},
        {{"POST / HTTP/1.1", "Sec-Fetch-Site: cross-site", ""}, false},
        {{"POST / HTTP/1.1", "Sec-Fetch-Site: Same-Origin", ""}, false},
        {{"POST / HTTP/1.1", "Host: 127.0.0.1:9090", "Origin: http://127.0.0.1:9090", ""}, true},
        {{"POST / HTTP/1.1", "Host: LOCALHOST", "origin: http://localhost:80", ""}, true},
        {{"POST / HTTP/1.1", "Host: [::1]:9090", "Origin: http://[::1]:9090", ""}, true},
        {{"POST / HTTP/1.1", "Host: 127.0.0.1:9090", "Origin: http://127.0.0.1:9091", ""}, false},
        {{"POST / HTTP/1.1", "Host: 127.0.0.1:9090", "Origin: http://localhost:9090", ""}, false},
        {{"POST / HTTP/1.1", "Host: 127.0.0.1:9090", "Origin: null", ""}, false},
        {{"POST / HTTP/1.1", "Host: 127.0.0.1:9090", "Origin: https://127.0.0.1:9090", ""}, false},
        {{"POST / HTTP/1.1", "Host: 127.0.0.1:9090", "Origin: http://127.0.0.1:9090/x", ""}, false},
        {{"POST / HTTP/1.1", "Origin: http://127.0.0.1:9090", ""}, false},  // no Host to compare with
        {{"POST / HTTP/1.1", "Host: a", "Host: b", ""}, false},
        {{"POST / HTTP/1.1", "Sec-Fetch-Site: none", "Sec-Fetch-Site: none", ""}, false},
    };
    for (const Case& c : cases) EXPECT_EQ(postAllowed(c.head), c.allowed) << ::testing::PrintToString(c.head);
}

TEST(Access, RequestsThatSaveOrRunSomething) {
    // A GET's path and a HEAD's whole target, as routing hands them on, by the content table.
    for (const char* line : {"POST /anything HTTP/1.1", "PUT /index.html HTTP/1.1", "GET /run.php?x=1 HTTP/1.1", "HEAD /run.php HTTP/1.1",
                             "GET /admin.php HTTP/1.1", "HEAD /x?.php HTTP/1.1",
                             "GET /run%2ephp HTTP/1.1", "HEAD /run%2Ephp?x HTTP/1.1"})
        EXPECT_TRUE(actsOnServer(line)) << line;
    for (const char* line : {"GET /page.php.html HTTP/1.1", "HEAD /a.html?x.php HTTP/1.1", "GET /x?.php HTTP/1.1",
                             "GET /index.html HTTP/1.1", "OPTIONS /run.php HTTP/1.1", "get /run.php HTTP/1.1", "GET",
                             "GET /run%2ephp%00 HTTP/1.1"})
        EXPECT_FALSE(actsOnServer(line)) << line;
}

TEST(Access, HeaderValues) {
    bool malformed = false;
    std::vector<std::string> head{"GET / HTTP/1.1", "HOST: \t example:1 \t", "X: y", ""};
    EXPECT_EQ(headerValue(head, "Host", malformed), "example:1");
    EXPECT_EQ(headerValue(head, "Origin", malformed), std::nullopt);
    EXPECT_FALSE(malformed);
    // The request line is never a header, whatever it holds.
    EXPECT_EQ(headerValue({"Host: x", ""}, "Host", malformed), std::nullopt);
}

} // namespace
