// The script gateway: the CGI environment and the output translation as
// tables, then whole runs through ScriptJob with a stand-in interpreter
// (for exact bytes and the environment the child sees) and with the real
// php-cgi.
#include "scripts/gateway.h"

#include "base/config.h"
#include "scripts/script_job.h"
#include "base/text.h"
#include "platform/files.h"
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

using namespace fernhollow;
using namespace std::string_literals;
using fernhollow::testing::TempDir;

namespace {

using Variables = std::map<std::string, std::string>;

// ---------------------------------------------------------------------------
// Pure functions

TEST(GatewayScriptName, CutsAtTheFirstQuestionMarkUnlessNothingIsBeforeIt) {
    struct Row {
        std::string url, expected;
    };
    for (const Row& row : std::vector<Row>{
             {"/shop/cart.php?id=3", "/shop/cart.php"},
             {"/cart.php", "/cart.php"},
             {"?x", "?x"},
             {"?", "?"},
             {"/a.php?", "/a.php"},
             {"/a.php?x=1?y=2", "/a.php"},
             {"", ""},
         })
        EXPECT_EQ(scriptName(row.url), row.expected) << row.url;
}

TEST(GatewayScriptFileName, JoinsRootAndPathAndReducesDoubledSlashesInOnePass) {
    struct Row {
        std::string root, path, expected;
    };
    for (const Row& row : std::vector<Row>{
             {"./", "/a/b.php", "./a/b.php"},
             {".", "/x.php", "./x.php"},
             {"/srv/www/", "/x.php", "/srv/www/x.php"},
             {"/srv/www", "/x.php", "/srv/www/x.php"},
             {"./", "///x.php", ".//x.php"},
             {"./", "", "./"},
             {"", "/x.php", "/x.php"},
             {"C:\\www\\", "/a.php", "C:\\www\\/a.php"},
         })
        EXPECT_EQ(scriptFileName(row.root, row.path), row.expected) << row.root << " + " << row.path;
}

TEST(GatewayRemoteAddress, IsThePeerTextBeforeItsFirstColon) {
    EXPECT_EQ(remoteAddress("127.0.0.1:50000"), "127.0.0.1");
    EXPECT_EQ(remoteAddress("10.0.0.7:1"), "10.0.0.7");
    EXPECT_EQ(remoteAddress("noport"), "noport");
    EXPECT_EQ(remoteAddress(""), "");
}

CgiRequest postToCart() {
    return CgiRequest{"POST",
                      "/shop/cart.php?id=3",
                      {"POST /shop/cart.php?id=3 HTTP/1.1", "Host: elsewhere.example:80",
                       "Cookie: a=1; b=2", "Content-Type: application/x-www-form-urlencoded",
                       "Content-Length: 42", "Accept: */*", ""},
                      "/shop/cart.php",
                      "id=3",
                      "./",
                      "9090",
                      "127.0.0.1",
                      "127.0.0.1:54321"};
}

// Every variable of a POST to /shop/cart.php?id=3 with a cookie, a form
// content type and the given Content-Length, from 127.0.0.1 to the defaults.
Variables cartVariables(const std::string& contentLength) {
    return {
        {"HTTP_COOKIE", "a=1; b=2"},
        {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
        {"CONTENT_LENGTH", contentLength},
        {"REMOTE_ADDR", "127.0.0.1"},
        {"REQUEST_METHOD", "POST"},
        {"REDIRECT_STATUS", "200"},
        {"SCRIPT_FILENAME", "./shop/cart.php"},
        {"SCRIPT_NAME", "/shop/cart.php"},
        {"REMOTE_HOST", "127.0.0.1"},
        {"QUERY_STRING", "id=3"},
        {"SERVER_PORT", "9090"},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"SERVER_SOFTWARE", "Fernhollow/1.0"},
        {"SERVER_NAME", "127.0.0.1"},
        {"HTTP_HOST", "127.0.0.1:9090"},
        {"DOCUMENT_ROOT", "./"},
    };
}

TEST(GatewayEnvironment, HoldsTheScannedHeadersAndTheThirteenFixedVariablesExactly) {
    CgiEnvironment environment = buildCgiEnvironment(postToCart());
    Variables expected = cartVariables("42");
    EXPECT_EQ(environment.variables, expected);
    EXPECT_EQ(environment.messages, (std::vector<std::string>{
                                        "updated cookie is a=1; b=2",
                                        "updated content type is application/x-www-form-urlencoded",
                                        "updated content length is 42",
                                    }));
}

TEST(GatewayEnvironment, GetWithoutBodyHeadersSetsNoneOfThemAndMissingSettingsGiveShortValues) {
    CgiRequest request{"GET", "/x.php", {"GET /x.php HTTP/1.1", "Host: a", ""}, "/x.php", "", "", "", "", "[::1]:80"};
    CgiEnvironment environment = buildCgiEnvironment(request);
    Variables expected{
        {"REMOTE_ADDR", "["},
        {"REQUEST_METHOD", "GET"},
        {"REDIRECT_STATUS", "200"},
        {"SCRIPT_FILENAME", "/x.php"},
        {"SCRIPT_NAME", "/x.php"},
        {"REMOTE_HOST", "["},
        {"QUERY_STRING", ""},
        {"SERVER_PORT", ""},
        {"SERVER_PROTOCOL", "HTTP/1.1"},
        {"SERVER_SOFTWARE", "Fernhollow/1.0"},
        {"SERVER_NAME", ""},
        {"HTTP_HOST", ":"},
        {"DOCUMENT_ROOT", ""},
    };
    EXPECT_EQ(environment.variables, expected);
    EXPECT_TRUE(environment.messages.empty());
}

TEST(GatewayEnvironment, HeadRunsTheScriptItsTargetNames) {
    // Routing keeps no path for HEAD and passes the target with its query.
    CgiRequest request{"GET", "/dir/x.php", {"HEAD /dir/x.php HTTP/1.1", ""}, "", "", "./", "9090", "127.0.0.1",
                       "127.0.0.1:1"};
    CgiEnvironment environment = buildCgiEnvironment(request);
    EXPECT_EQ(environment.variables["REQUEST_METHOD"], "GET");
    EXPECT_EQ(environment.variables["SCRIPT_NAME"], "/dir/x.php");
    EXPECT_EQ(environment.variables["SCRIPT_FILENAME"], "./dir/x.php");
}

TEST(GatewayEnvironment, HeaderScanCases) {
    struct Row {
        std::string name;
        std::vector<std::string> lines;
        Variables scanned;
        std::vector<std::string> messages;
    };
    std::vector<Row> rows{
        {"any letter case", {"COOKIE: a=1", "content-TYPE: t/x", "Content-length: 5"},
         {{"HTTP_COOKIE", "a=1"}, {"CONTENT_TYPE", "t/x"}, {"CONTENT_LENGTH", "5"}},
         {"updated cookie is a=1", "updated content type is t/x", "updated content length is 5"}},
        {"lower case", {"cookie: a=1"}, {{"HTTP_COOKIE", "a=1"}}, {"updated cookie is a=1"}},
        {"no blank: first byte of the value skipped", {"Cookie:a=1"}, {{"HTTP_COOKIE", "=1"}}, {"updated cookie is =1"}},
        {"two blanks: value keeps one", {"Cookie:  a=1 "}, {{"HTTP_COOKIE", " a=1 "}}, {"updated cookie is  a=1 "}},
        {"value bytes kept as sent", {"cOoKiE: X=Y"}, {{"HTTP_COOKIE", "X=Y"}}, {"updated cookie is X=Y"}},
        {"ends at the colon: nothing set", {"Cookie:", "Content-Type:", "content-length:"}, {}, {}},
        {"one byte after the colon: empty value", {"Cookie: "}, {{"HTTP_COOKIE", ""}}, {"updated cookie is "}},
        {"later line wins, each writes its line", {"Cookie: a=1", "Cookie: b=2"}, {{"HTTP_COOKIE", "b=2"}},
         {"updated cookie is a=1", "updated cookie is b=2"}},
        {"messages in head order", {"Content-Length: 7", "Cookie: c=1", "Content-Type: t"},
         {{"HTTP_COOKIE", "c=1"}, {"CONTENT_TYPE", "t"}, {"CONTENT_LENGTH", "7"}},
         {"updated content length is 7", "updated cookie is c=1", "updated content type is t"}},
        {"length not checked", {"Content-Length: abc"}, {{"CONTENT_LENGTH", "abc"}}, {"updated content length is abc"}},
        {"other names ignored", {"Set-Cookie: a=1", "Cookie : a=1", " Cookie: a=1", "X-Cookie: a", "Content-Types: x",
                                 "Host: h", "GET /cookie: HTTP/1.1", ""},
         {}, {}},
    };
    for (const Row& row : rows) {
        CgiRequest request = postToCart();
        request.headLines = row.lines;
        CgiEnvironment environment = buildCgiEnvironment(request);
        Variables scanned;
        for (const char* name : {"HTTP_COOKIE", "CONTENT_TYPE", "CONTENT_LENGTH"}) {
            auto found = environment.variables.find(name);
            if (found != environment.variables.end()) scanned.insert(*found);
        }
        EXPECT_EQ(scanned, row.scanned) << row.name;
        EXPECT_EQ(environment.messages, row.messages) << row.name;
        EXPECT_EQ(environment.variables.size(), 13 + row.scanned.size()) << row.name;
    }
}

struct TranslationRow {
    std::string name;
    std::string output;
    std::string response;
    int locationMessages;
};

const std::string okLine = "HTTP/1.1 200 OK\r\n";

std::string bigOutput(std::size_t padding, std::size_t body);

// Every status row, the unrecognised ones, Location handling and odd shapes.
std::vector<TranslationRow> translationRows() {
    std::string plain = "X-Powered-By: PHP\r\nContent-type: text/html\r\n\r\nHello";
    return {
        {"plain output passes whole", plain, okLine + plain, 0},
        {"302 with Location moved behind the status line",
         "Status: 302 Found\r\nX-Powered-By: PHP\r\nLocation: /index.php\r\nContent-type: text/html\r\n\r\n",
         "HTTP/1.1 302 Found\r\nLocation: /index.php\r\nX-Powered-By: PHP\r\nContent-type: text/html\r\n\r\n\r\n", 0},
        {"404 drops the body", "Status: 404 Not Found\r\nContent-type: text/html\r\n\r\nbody",
         "HTTP/1.1 404 Not Found\r\nContent-type: text/html\r\n\r\n\r\n", 0},
        {"500 with its reason", "Status: 500 Internal Server Error\r\n\r\nx",
         "HTTP/1.1 500 Internal Server Error\r\n\r\n\r\n", 0},
        {"500 with any reason", "Status: 500 Oops\r\n\r\n", "HTTP/1.1 500 Internal Server Error\r\n\r\n\r\n", 0},
        {"500 alone", "Status: 500\r\n\r\n", "HTTP/1.1 500 Internal Server Error\r\n\r\n\r\n", 0},
        {"403 Login Failed", "Status: 403 Login Failed\r\nX: y\r\n\r\n",
         "HTTP/1.1 403 Login Failed\r\nX: y\r\n\r\n\r\n", 0},
        {"a prefix is enough", "Status: 302 Foundling\r\n\r\n", "HTTP/1.1 302 Found\r\n\r\n\r\n", 0},
        {"403 Forbidden not recognised", "Status: 403 Forbidden\r\nContent-type: text/html\r\n\r\nno",
         okLine + "Status: 403 Forbidden\r\nContent-type: text/html\r\n\r\nno", 0},
        {"301 not recognised", "Status: 301 Moved Permanently\r\n\r\n",
         okLine + "Status: 301 Moved Permanently\r\n\r\n", 0},
        {"lower-case status not recognised", "status: 404 Not Found\r\n\r\n", okLine + "status: 404 Not Found\r\n\r\n", 0},
        {"no blank after the colon not recognised", "Status:404 Not Found\r\n\r\n",
         okLine + "Status:404 Not Found\r\n\r\n", 0},
        {"two status lines: the later wins and earlier Locations go",
         "Status: 404 Not Found\r\nLocation: /early\r\nStatus: 302 Found\r\nLocation: /late\r\n\r\n",
         "HTTP/1.1 302 Found\r\nLocation: /late\r\n\r\n\r\n", 0},
        {"unrecognised status line stays a header line", "Status: 301 Moved\r\nStatus: 404 Not Found\r\n\r\n",
         "HTTP/1.1 404 Not Found\r\nStatus: 301 Moved\r\n\r\n\r\n", 0},
        {"Location edge cases", "Status: 302 Found\r\nLocation:/a\r\nLocation:\r\nLocation: \r\nLocations: x\r\n\r\n",
         "HTTP/1.1 302 Found\r\nLocation: \r\nLocations: x\r\n\r\n\r\n", 2},
        {"Location without a colon but with a blank", "Status: 302 Found\r\nLocation /x\r\n\r\n",
         "HTTP/1.1 302 Found\r\nLocation /x\r\n\r\n\r\n", 0},
        {"Location lines without a status pass unchanged", "Location: /x\r\nContent-type: text/html\r\n\r\nbody",
         okLine + "Location: /x\r\nContent-type: text/html\r\n\r\nbody", 0},
        {"Location without a blank and no status: message, output unchanged", "Location:/a\r\n\r\nb",
         okLine + "Location:/a\r\n\r\nb", 1},
        {"empty output", "", okLine, 0},
        {"bare LF output is one line", "Status: 404 Not Found\nContent-type: text/html\nx\n",
         "HTTP/1.1 404 Not Found\r\n\r\n", 0},
        {"first line \"--\" is all that is examined", "--\r\nStatus: 404 Not Found\r\n\r\n",
         okLine + "--\r\nStatus: 404 Not Found\r\n\r\n", 0},
        {"no empty line: every line is a header line", "Status: 404 Not Found\r\nX: y",
         "HTTP/1.1 404 Not Found\r\nX: y\r\n\r\n", 0},
        {"binary body passes byte for byte", "Content-type: a/b\r\n\r\n\0\xff\r\n"s,
         okLine + "Content-type: a/b\r\n\r\n\0\xff\r\n"s, 0},
        {"empty first line: nothing is a header line", "\r\nStatus: 404 Not Found\r\n\r\n",
         okLine + "\r\nStatus: 404 Not Found\r\n\r\n", 0},
        {"output ending at a line end has its empty line there", "Status: 404 Not Found\r\n",
         "HTTP/1.1 404 Not Found\r\n\r\n\r\n", 0},
        {"head split between CR and LF where a piece ends, then several pieces of body", bigOutput(65530, 3 << 20),
         okLine + bigOutput(65530, 3 << 20), 0},
        {"status head longer than a piece drops the body", "Status: 404 Not Found\r\n" + bigOutput(70000, 100000),
         "HTTP/1.1 404 Not Found\r\n" + bigOutput(70000, 0) + "\r\n", 0},
    };
}

// An output of one header line "X: " and `padding` bytes, the empty line, and
// `body` bytes of every value.
std::string bigOutput(std::size_t padding, std::size_t body) {
    std::string output = "X: " + std::string(padding, 'a') + "\r\n\r\n";
    for (std::size_t i = 0; i < body; ++i) output.push_back(static_cast<char>(i * 7 % 251));
    return output;
}

TEST(GatewayTranslation, StatusTableLocationAndPassthrough) {
    for (const TranslationRow& row : translationRows()) {
        CgiAnswer answer = translateCgiOutput(row.output);
        EXPECT_EQ(answer.response, row.response) << row.name;
        EXPECT_EQ(answer.messages, std::vector<std::string>(
                                       row.locationMessages,
                                       "Expected Location header to contain a URL, nothing was there"))
            << row.name;
    }
}

TEST(GatewayHead, EndsWhereTheHeaderLinesEnd) {
    const std::size_t undecided = std::string_view::npos;
    struct Row {
        std::string name;
        std::string start;
        bool complete;
        std::size_t size;
    };
    std::vector<Row> rows{
        {"empty output", "", true, 0},
        {"nothing yet", "", false, undecided},
        {"header block with its empty line", "A: b\r\n\r\nbody", false, 8},
        {"empty line not yet whole", "A: b\r\n\r", false, undecided},
        {"no empty line yet", "A: b\r\nC: d", false, undecided},
        {"no empty line in the whole output", "A: b\r\nC: d", true, 10},
        {"ending at a line end", "A: b\r\n", true, 6},
        {"empty first line", "\r\nA: b\r\n\r\n", false, 2},
        {"first line \"--\"", "--\r\nStatus: 404 Not Found\r\n\r\n", false, 4},
        {"output \"--\"", "--", true, 2},
        {"\"--\" not yet known as a line", "--", false, undecided},
        {"first line only begins with \"--\"", "--x\r\n\r\nb", false, 7},
        {"bare LF is no line end", "A: b\n\nbody", false, undecided},
        {"first of two empty lines", "A\r\n\r\n\r\n\r\n", false, 5},
    };
    for (const Row& row : rows) EXPECT_EQ(cgiHeadSize(row.start, row.complete), row.size) << row.name;
}

TEST(GatewayHead, TheHeadTranslatedAndTheRestGiveTheAnswerOfTheWholeOutput) {
    for (const TranslationRow& row : translationRows()) {
        if (row.output.size() > 1000) continue;
        CgiAnswer whole = translateCgiOutput(row.output);
        // Every way the output can arrive: cut after each of its bytes.
        for (std::size_t cut = 0; cut <= row.output.size(); ++cut) {
            std::string_view start = std::string_view(row.output).substr(0, cut);
            std::size_t size = cgiHeadSize(start, cut == row.output.size());
            if (size == std::string_view::npos) continue;
            CgiAnswer head = translateCgiOutput(start.substr(0, size));
            std::string answer = head.response + (head.passesOutput ? row.output.substr(size) : "");
            EXPECT_EQ(answer, whole.response) << row.name << " cut at " << cut;
            EXPECT_EQ(head.messages, whole.messages) << row.name << " cut at " << cut;
            EXPECT_EQ(head.passesOutput, whole.passesOutput) << row.name;
        }
    }
}

// ---------------------------------------------------------------------------
// Whole runs through ScriptJob

// Replaces some settings for one test and puts the table back afterwards.
class SettingsOverride {
public:
    SettingsOverride() : saved_(configTable) {}
    ~SettingsOverride() { configTable = saved_; }
    void set(const std::string& key, const std::string& value) { configTable.insert_or_assign(key, ConfigItem(value)); }

private:
    std::unordered_map<std::string, ConfigItem> saved_;
};

// Makes `dir` the working directory (the exchange files go there) for one test.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~WorkingDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }

private:
    std::filesystem::path saved_;
};

// Sets (or removes) a variable of the test process and restores it afterwards.
class ProcessVariable {
public:
    ProcessVariable(std::string name, const char* value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) saved_ = old;
        if (value != nullptr) ::setenv(name_.c_str(), value, 1);
        else ::unsetenv(name_.c_str());
    }
    ~ProcessVariable() {
        if (saved_) ::setenv(name_.c_str(), saved_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> saved_;
};

class GatewayRun : public ::testing::Test {
protected:
    GatewayRun() : cwd_(dir.path()) {
        settings.set("root", "./");
        settings.set("port", "9090");
        settings.set("ip", "127.0.0.1");
        settings.set("php-path", "/usr/bin/php-cgi");
    }

    // Writes an executable shell script and returns its full path.
    std::string standIn(const std::string& name, const std::string& script) {
        std::string file = dir.write(name, "#!/bin/sh\n" + script);
        ::chmod(file.c_str(), 0755);
        return file;
    }

    // A stand-in interpreter that writes exactly `output`.
    void useOutput(const std::string& output) {
        dir.write("chosen-output", output);
        settings.set("php-path", standIn("stand-in", "cat '" + dir.path() + "/chosen-output'\n"));
    }

    // Runs one script request without a turn and returns every byte its answer sends.
    std::string run(const std::string& method, const std::string& url, std::vector<std::string> head,
                    const std::string& path, const std::string& query = "", const std::string& body = "") {
        Request request;
        request.headLines = std::move(head);
        request.path = path;
        request.query = query;
        request.peer = "127.0.0.1:50123";
        ScriptJob job(method, url, std::move(request), body);
        std::optional<Answer> answer = job.advance(std::chrono::steady_clock::now());
        EXPECT_TRUE(answer.has_value()) << url;
        return answer ? sentBytes(std::move(*answer)) : "";
    }

    // The bytes an answer sends: its own, then its file from where it stands up to its end.
    static std::string sentBytes(Answer answer) {
        std::string sent = std::move(answer.bytes);
        char buffer[65536];
        std::size_t got = 0;
        while (answer.file && (got = platform::readSome(answer.file.get(), buffer, sizeof buffer)) > 0)
            sent.append(buffer, got);
        return sent;
    }

    std::string runGet(const std::string& target) {
        return run("GET", target, {"GET " + target + " HTTP/1.1", ""}, target);
    }

    TempDir dir;
    SettingsOverride settings;

private:
    WorkingDirectory cwd_;
};

TEST_F(GatewayRun, StandInOutputIsTranslatedByteForByte) {
    for (const TranslationRow& row : translationRows()) {
        useOutput(row.output);
        ::testing::internal::CaptureStdout();
        std::string sent = runGet("/t.php");
        std::string console = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(sent, row.response) << row.name;
        EXPECT_EQ(dir.read("php-out"), row.output) << row.name;
        std::size_t messages = 0;
        for (std::size_t at = 0; (at = console.find("Expected Location header", at)) != std::string::npos; ++at)
            ++messages;
        EXPECT_EQ(messages, static_cast<std::size_t>(row.locationMessages)) << row.name;
    }
}

TEST_F(GatewayRun, HeadsNearTheLimitAreTranslatedAndLongerOnesPassUnchanged) {
    const std::string status = "Status: 404 Not Found\r\n";
    // Padding that makes the header block end exactly at the limit.
    std::size_t fits = maxCgiHeadBytes - status.size() - std::string("X: \r\n\r\n").size();
    struct Row {
        std::string name;
        std::string output;
        bool translated;
    };
    std::vector<Row> rows{
        {"head ending at the limit", status + bigOutput(fits, 5000), true},
        {"head ending a byte past the limit", status + bigOutput(fits + 1, 5000), false},
        {"no line end at all", status + std::string(maxCgiHeadBytes * 2, 'z'), false},
    };
    for (const Row& row : rows) {
        useOutput(row.output);
        ::testing::internal::CaptureStdout();
        std::string sent = runGet("/t.php");
        std::string console = ::testing::internal::GetCapturedStdout();
        std::string notice = "script output has no end of its head within 1048576 bytes: sent unchanged behind 200 OK\n";
        if (row.translated) {
            EXPECT_EQ(sent, translateCgiOutput(row.output).response) << row.name;
            EXPECT_TRUE(sent.starts_with("HTTP/1.1 404 Not Found\r\n")) << row.name;
            EXPECT_EQ(console, "") << row.name;
        } else {
            EXPECT_TRUE(sent == okLine + row.output) << row.name << ": " << sent.size() << " bytes";
            EXPECT_EQ(console, notice) << row.name;
        }
    }
}

Variables readEnvironmentDump(const std::string& dump) {
    Variables variables;
    std::size_t start = 0;
    while (start < dump.size()) {
        std::size_t end = dump.find('\0', start);
        if (end == std::string::npos) end = dump.size();
        std::string entry = dump.substr(start, end - start);
        std::size_t equals = entry.find('=');
        if (equals != std::string::npos) variables[entry.substr(0, equals)] = entry.substr(equals + 1);
        start = end + 1;
    }
    return variables;
}

TEST_F(GatewayRun, ChildSeesTheCgiVariablesOverTheServersEnvironmentAndTheBodyOnItsInput) {
    settings.set("php-path", standIn("stand-in",
                                     "env -0 > seen-environment\n"
                                     "cat > seen-input\n"
                                     "printf 'Content-type: text/plain\\r\\n\\r\\nran'\n"
                                     "exit 3\n"));
    ProcessVariable inherited("FERNHOLLOW_INHERITED", "kept as it was");
    ProcessVariable leftover("REDIRECT_STATUS", "999");
    ProcessVariable leftoverHost("HTTP_HOST", "leftover:1");
    ProcessVariable unset("GATEWAY_INTERFACE", nullptr);

    std::string body = "name=a+b&x=%41\r\n\0tail"s;
    ::testing::internal::CaptureStdout();
    std::string sent = run("POST", "/shop/cart.php?id=3",
                           {"POST /shop/cart.php?id=3 HTTP/1.1", "Host: elsewhere:1", "cookie: a=1; b=2",
                            "Content-Type: application/x-www-form-urlencoded", "Content-Length: 99", ""},
                           "/shop/cart.php", "id=3", body);
    std::string console = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(sent, okLine + "Content-type: text/plain\r\n\r\nran");
    EXPECT_EQ(console, "updated cookie is a=1; b=2\n"
                       "updated content type is application/x-www-form-urlencoded\n"
                       "updated content length is 99\n");
    EXPECT_EQ(dir.read("seen-input"), body);
    EXPECT_EQ(dir.read("php-in"), body);

    Variables seen = readEnvironmentDump(dir.read("seen-environment"));
    Variables expected = cartVariables("99");
    expected["FERNHOLLOW_INHERITED"] = "kept as it was";
    for (const auto& [name, value] : expected) {
        auto found = seen.find(name);
        ASSERT_NE(found, seen.end()) << name;
        EXPECT_EQ(found->second, value) << name;
    }
    EXPECT_EQ(seen.count("GATEWAY_INTERFACE"), 0u);
    EXPECT_EQ(seen.count("PATH_INFO"), 0u);
    // Everything else the child sees is the server's own environment.
    Variables own;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::size_t equals = text.find('=');
        if (equals != std::string::npos) own[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : own) {
        if (expected.count(name) != 0) continue;
        // The stand-in shell keeps its own PWD, SHLVL and "_", and passes on
        // only names it can hold.
        if (name == "_" || name == "PWD" || name == "SHLVL" || name == "OLDPWD") continue;
        if (!std::all_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }))
            continue;
        auto found = seen.find(name);
        ASSERT_NE(found, seen.end()) << name;
        EXPECT_EQ(found->second, value) << name;
    }
}

TEST_F(GatewayRun, VariablesTheCallDoesNotSetAreInheritedUnchanged) {
    settings.set("php-path", standIn("stand-in", "env -0 > seen-environment\n"));
    ProcessVariable leftoverCookie("HTTP_COOKIE", "from the server");
    std::string sent = runGet("/x.php");
    EXPECT_EQ(sent, okLine);
    Variables seen = readEnvironmentDump(dir.read("seen-environment"));
    EXPECT_EQ(seen["HTTP_COOKIE"], "from the server");
    EXPECT_EQ(seen.count("CONTENT_LENGTH"), 0u);
    EXPECT_EQ(seen["REQUEST_METHOD"], "GET");
    // A request without a body leaves an empty input file.
    EXPECT_TRUE(dir.exists("php-in"));
    EXPECT_EQ(dir.read("php-in"), "");
}

TEST_F(GatewayRun, BareProgramNameIsLookedUpInPath) {
    standIn("bin/fernhollow-stand-in-php", "printf 'Status: 404 Not Found\\r\\n\\r\\n'\n");
    ProcessVariable searchPath("PATH", (dir.path() + "/bin:" + std::getenv("PATH")).c_str());
    settings.set("php-path", "fernhollow-stand-in-php");
    EXPECT_EQ(runGet("/x.php"), "HTTP/1.1 404 Not Found\r\n\r\n\r\n");
}

TEST_F(GatewayRun, AnswerIsReadThroughItsOwnDescriptorWhateverTheScriptDoesToTheNames) {
    struct Row {
        std::string name;
        std::string script;
    };
    dir.write("secret.txt", "secret");
    std::vector<Row> rows{
        {"output removed", "rm php-out\n"},
        {"output replaced by a hard link to another file", "rm php-out\nln secret.txt php-out\n"},
        {"output replaced by a symbolic link", "rm php-out\nln -s secret.txt php-out\n"},
        {"output renamed away", "mv php-out moved-out\n"},
        {"input replaced by a hard link", "rm php-in\nln secret.txt php-in\n"},
    };
    for (const Row& row : rows) {
        settings.set("php-path", standIn("stand-in", "printf 'Content-type: text/plain\\r\\n\\r\\nown'\n" + row.script));
        ::testing::internal::CaptureStdout();
        std::string sent = runGet("/x.php");
        std::string console = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(sent, okLine + "Content-type: text/plain\r\n\r\nown") << row.name;
        EXPECT_EQ(console, "") << row.name;
        // The next request gets fresh exchange files of its own and leaves the linked file alone.
        useOutput("Content-type: text/plain\r\n\r\nnext");
        EXPECT_EQ(run("POST", "/x.php", {"POST /x.php HTTP/1.1", ""}, "/x.php", "", "body"),
                  okLine + "Content-type: text/plain\r\n\r\nnext") << row.name;
        EXPECT_EQ(dir.read("php-out"), "Content-type: text/plain\r\n\r\nnext") << row.name;
        EXPECT_EQ(dir.read("php-in"), "body") << row.name;
        EXPECT_EQ(dir.read("secret.txt"), "secret") << row.name;
        struct stat info{};
        for (const char* name : {"php-in", "php-out"}) {
            ASSERT_EQ(::lstat((dir.path() + "/" + name).c_str(), &info), 0) << row.name;
            EXPECT_TRUE(S_ISREG(info.st_mode) && info.st_nlink == 1 && (info.st_mode & 07777) == 0600)
                << row.name << " " << name;
        }
    }
}

TEST_F(GatewayRun, FailuresBeforeTheChildEndsAreRaisedAndNothingIsSent) {
    struct Row {
        std::string name;
        std::string phpPath;
        std::string blockingDirectory;
    };
    std::vector<Row> rows{
        {"bare name found nowhere", "fernhollow-no-such-interpreter", ""},
        {"path naming nothing", dir.path() + "/missing/php-cgi", ""},
        {"path naming a folder", dir.path(), ""},
        {"input file cannot be written", "/usr/bin/php-cgi", "php-in"},
        {"output file cannot be opened", "/usr/bin/php-cgi", "php-out"},
    };
    for (const Row& row : rows) {
        settings.set("php-path", row.phpPath);
        std::filesystem::remove_all(dir.path() + "/php-in");
        std::filesystem::remove_all(dir.path() + "/php-out");
        if (!row.blockingDirectory.empty()) std::filesystem::create_directory(dir.path() + "/" + row.blockingDirectory);
        Request request;
        request.headLines = {"POST /x.php HTTP/1.1", ""};
        request.path = "/x.php";
        ScriptJob job("POST", "/x.php", std::move(request), "a=1");
        EXPECT_THROW(job.advance(std::chrono::steady_clock::now()), std::system_error) << row.name;
    }
}

TEST_F(GatewayRun, EmptyPhpPathAnswers500AndReturns) {
    {
        settings.set("php-path", "");
        ::testing::internal::CaptureStdout();
        std::string sent = run("POST", "/x.php", {"POST /x.php HTTP/1.1", "Cookie: a=1", ""}, "/x.php", "", "b=1");
        std::string console = ::testing::internal::GetCapturedStdout();
        std::string message =
            "Missing PHP path - add php-path to the config file or use --php-path <php-cgi interpreter> on the command line";
        EXPECT_EQ(sent, plainAnswer("500 Internal Server Error", message + "\n"));
        EXPECT_EQ(console, message + "\n");
        EXPECT_FALSE(dir.exists("php-in"));
    }
}

// ---------------------------------------------------------------------------
// The real interpreter

const char* echoScript =
    "<?php\n"
    "echo 'q=', $_GET['q'] ?? '-', ';field=', $_POST['field'] ?? '-', ';cookie=', $_COOKIE['flavour'] ?? '-',\n"
    "     ';method=', $_SERVER['REQUEST_METHOD'], ';software=', $_SERVER['SERVER_SOFTWARE'];\n";

TEST_F(GatewayRun, RealInterpreterSeesQueryFormFieldAndCookie) {
    dir.write("echo.php", echoScript);
    std::string body = "field=wor+ld&other=1";
    std::string sent = run("POST", "/echo.php?q=hello",
                           {"POST /echo.php?q=hello HTTP/1.1", "Host: 127.0.0.1:9090", "Cookie: flavour=mint",
                            "Content-Type: application/x-www-form-urlencoded",
                            "Content-Length: " + std::to_string(body.size()), ""},
                           "/echo.php", "q=hello", body);
    ASSERT_TRUE(sent.starts_with(okLine)) << sent;
    EXPECT_NE(sent.find("\r\nContent-type: text/html"), std::string::npos) << sent;
    EXPECT_TRUE(sent.ends_with("\r\n\r\nq=hello;field=wor ld;cookie=mint;method=POST;software=Fernhollow/1.0")) << sent;
    // The whole output passes unchanged behind the status line.
    EXPECT_EQ(sent, okLine + dir.read("php-out"));
    EXPECT_EQ(dir.read("php-in"), body);
}

TEST_F(GatewayRun, RealInterpreterRedirectBecomes302WithLocationFirst) {
    dir.write("go.php", "<?php header('Location: /index.php'); echo 'not sent';\n");
    std::string sent = runGet("/go.php");
    ASSERT_TRUE(sent.starts_with("HTTP/1.1 302 Found\r\nLocation: /index.php\r\n")) << sent;
    EXPECT_TRUE(sent.ends_with("\r\n\r\n\r\n")) << sent;
    EXPECT_EQ(sent.find("not sent"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("Status:"), std::string::npos) << sent;
}

TEST_F(GatewayRun, RealInterpreterRunsAHeadAsGet) {
    dir.write("echo.php", echoScript);
    // A HEAD runs its script as a GET; without a decoded path the target names it.
    std::string sent = run("GET", "/echo.php", {"HEAD /echo.php HTTP/1.1", ""}, "", "q=x");
    ASSERT_TRUE(sent.starts_with(okLine)) << sent;
    EXPECT_TRUE(sent.ends_with("q=x;field=-;cookie=-;method=GET;software=Fernhollow/1.0")) << sent;
}

TEST_F(GatewayRun, RealInterpreterMissingScriptGives404) {
    std::string sent = runGet("/absent.php");
    EXPECT_TRUE(sent.starts_with("HTTP/1.1 404 Not Found\r\n")) << sent;
    EXPECT_TRUE(sent.ends_with("\r\n\r\n\r\n")) << sent;
}

} // namespace
