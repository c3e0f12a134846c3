// The real binary running scripts through the real php-cgi: GET, POST and
// HEAD of a script, a server without an interpreter, an interpreter that
// cannot be started, and script targets outside the root.
#include "support/blackbox.h"
#include "base/text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

using namespace fernhollow::testing;

namespace {

const std::string okLine = "HTTP/1.1 200 OK\r\n";

const char* echoScript =
    "<?php\n"
    "echo 'q=', $_GET['q'] ?? '-', ';field=', $_POST['field'] ?? '-', ';cookie=', $_COOKIE['flavour'] ?? '-',\n"
    "     ';method=', $_SERVER['REQUEST_METHOD'], ';addr=', $_SERVER['REMOTE_ADDR'];\n";

std::string postForm(const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(GatewayBlackBox, GetPostAndHeadOfAScriptRunTheRealInterpreter) {
    SKIP_UNDER_WINE("a Windows program under Wine cannot run the Linux php-cgi (see the stand-in's test)");
    TempDir dir;
    dir.write("echo.php", echoScript);
    dir.write("go.php", "<?php header('Location: /index.php');\n");
    ServerProcess server({"--php-path", "/usr/bin/php-cgi"}, dir.path());

    std::string get = exchange(server.port(), "GET /echo.php?q=hello HTTP/1.1\r\nCookie: flavour=mint\r\n\r\n");
    EXPECT_TRUE(get.starts_with(okLine)) << get;
    EXPECT_TRUE(get.ends_with("\r\n\r\nq=hello;field=-;cookie=mint;method=GET;addr=127.0.0.1")) << get;

    std::string post = exchange(server.port(), postForm("/echo.php?q=there", "field=a+b"));
    EXPECT_TRUE(post.starts_with(okLine)) << post;
    EXPECT_TRUE(post.ends_with("\r\n\r\nq=there;field=a b;cookie=-;method=POST;addr=127.0.0.1")) << post;
    EXPECT_EQ(dir.read("php-in"), "field=a+b");

    std::string head = exchange(server.port(), "HEAD /echo.php HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(head.starts_with(okLine)) << head;
    EXPECT_TRUE(head.ends_with("\r\n\r\nq=-;field=-;cookie=-;method=GET;addr=127.0.0.1")) << head;

    std::string redirect = exchange(server.port(), "GET /go.php HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(redirect.starts_with("HTTP/1.1 302 Found\r\nLocation: /index.php\r\n")) << redirect;
    EXPECT_TRUE(redirect.ends_with("\r\n\r\n\r\n")) << redirect;

    EXPECT_TRUE(server.waitForOutput("PHP request\n"));
    EXPECT_TRUE(server.waitForOutput("handle php request\nupdated cookie is flavour=mint\n"));
    EXPECT_TRUE(server.waitForOutput("updated content type is application/x-www-form-urlencoded\n"
                                     "updated content length is 9\n"));
}

TEST(GatewayBlackBox, MissingPhpPathAnswers500AndTheServerGoesOn) {
    TempDir dir;
    dir.write("echo.php", echoScript);
    dir.write("plain.txt", "still here");
    ServerProcess server({}, dir.path());
    std::string message =
        "Missing PHP path - add php-path to the config file or use --php-path <php-cgi interpreter> on the command line";
    std::string expected = fernhollow::plainAnswer("500 Internal Server Error", message + "\n");

    EXPECT_EQ(exchange(server.port(), postForm("/echo.php", "field=1")), expected);
    EXPECT_EQ(exchange(server.port(), "GET /echo.php HTTP/1.1\r\n\r\n"), expected);
    EXPECT_TRUE(server.waitForOutput(message + "\n"));
    EXPECT_EQ(server.waitExit(std::chrono::milliseconds(0)), -1) << "the server ended";

    std::string plain = exchange(server.port(), "GET /plain.txt HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(plain.starts_with(okLine)) << plain;
    EXPECT_TRUE(plain.ends_with("\r\n\r\nstill here")) << plain;
    EXPECT_FALSE(dir.exists("php-in"));
}

TEST(GatewayBlackBox, InterpreterThatCannotStartFailsOnlyThatRequest) {
    TempDir dir;
    dir.write("echo.php", echoScript);
    dir.write("plain.txt", "still here");
    ServerProcess server({"--php-path", "fernhollow-no-such-interpreter"}, dir.path());

    EXPECT_EQ(exchange(server.port(), "GET /echo.php HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n\r\n");
    EXPECT_TRUE(server.waitForOutput("something failed, exception was thrown when sending file\n"));

    // A POST's failure reaches the connection loop, which drops the connection.
    EXPECT_EQ(exchange(server.port(), postForm("/echo.php", "field=1")), "");
    EXPECT_TRUE(server.waitForOutput("Exception thrown during processPacketData()\n"));

    std::string plain = exchange(server.port(), "GET /plain.txt HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(plain.ends_with("\r\n\r\nstill here")) << plain;
}

TEST(GatewayBlackBox, ScriptTargetsClimbingOutOfTheRootGet404AndRunNothing) {
    SKIP_UNDER_WINE("a Windows program under Wine cannot run the Linux php-cgi (see the stand-in's test)");
    TempDir dir;
    dir.write("outside.php", "<?php echo 'ran outside';\n");
    dir.write("www/inside.php", "<?php echo 'ran inside';\n");
    ServerProcess server({"--php-path", "/usr/bin/php-cgi", "--root", dir.path() + "/www"}, dir.path());

    for (std::string target : {"/../outside.php", "/sub/../../outside.php", "/..\\outside.php"}) {
        std::string post = exchange(server.port(), postForm(target, "field=1"));
        EXPECT_TRUE(post.starts_with("HTTP/1.1 404 Not Found\r\n")) << target << "\n" << post;
        EXPECT_EQ(post.find("ran outside"), std::string::npos) << target;
        std::string get = exchange(server.port(), "GET " + target + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(get.starts_with("HTTP/1.1 404 Not Found\r\n")) << target << "\n" << get;
    }
    EXPECT_FALSE(dir.exists("php-in")) << "the interpreter was prepared for a refused target";

    // The same server runs the script inside its root.
    std::string inside = exchange(server.port(), postForm("/inside.php", "field=1"));
    EXPECT_TRUE(inside.ends_with("\r\n\r\nran inside")) << inside;
}

// The exact CGI variables and body, through the stand-in interpreter, which
// runs for the Linux and the Windows server alike.
TEST(GatewayBlackBox, TheStandInInterpreterSeesTheRequestOfEachMethod) {
    TempDir dir;
    dir.write("www/echo.php", "");
    dir.write("outside.php", "");
    dir.write("fernhollow.cfg", "script-timeout: 1;\n");
    ServerProcess server({"--php-path", FERNHOLLOW_CGI_STANDIN, "--root", dir.path() + "/www", "--config", "fernhollow.cfg"},
                         dir.path());
    auto page = [&](const std::string& method, const std::string& query, const std::string& cookie,
                    const std::string& length, const std::string& body) {
        return okLine + "Content-Type: text/plain\r\n\r\nREQUEST_METHOD=" + method + ";QUERY_STRING=" + query +
               ";SCRIPT_NAME=/echo.php;SCRIPT_FILENAME=" + systemForm(dir.path() + "/www/echo.php") +
               ";HTTP_COOKIE=" + cookie + ";CONTENT_LENGTH=" + length + ";REMOTE_ADDR=127.0.0.1;DOCUMENT_ROOT=" +
               dir.path() + "/www" + systemForm("/") + ";body=" + body;
    };
    EXPECT_EQ(exchange(server.port(), "GET /echo.php?q=hello HTTP/1.1\r\nCookie: flavour=mint\r\n\r\n"),
              page("GET", "q=hello", "flavour=mint", "-", ""));
    EXPECT_EQ(exchange(server.port(), "HEAD /echo.php HTTP/1.1\r\n\r\n"), page("GET", "", "-", "-", ""));
    EXPECT_EQ(exchange(server.port(), postForm("/echo.php?q=there", "field=a+b\r\nline two")),
              page("POST", "q=there", "-", "19", "field=a+b\r\nline two"));
    EXPECT_EQ(dir.read("php-in"), "field=a+b\r\nline two");

    std::string climbing = exchange(server.port(), postForm("/../outside.php", "field=1"));
    EXPECT_TRUE(climbing.starts_with("HTTP/1.1 404 Not Found\r\n")) << climbing;
    EXPECT_EQ(dir.read("php-in"), "field=a+b\r\nline two") << "the interpreter was prepared for a refused target";

    // A script that does not end is ended after the time-out, and the server goes on.
    std::string hung = exchange(server.port(), "GET /echo.php?hang HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(hung.starts_with("HTTP/1.1 504 Gateway Timeout\r\n")) << hung;
    EXPECT_EQ(exchange(server.port(), "HEAD /echo.php HTTP/1.1\r\n\r\n"), page("GET", "", "-", "-", ""));
    // The interpreter inherits neither the listener nor any connection, the
    // waiting one of another client included.
    RawClient waiting(server.port());
    EXPECT_EQ(exchange(server.port(), "GET /echo.php?sockets HTTP/1.1\r\n\r\n"),
              okLine + "Content-Type: text/plain\r\n\r\nsockets=0");
}

// The interpreter and a one-second script time-out from a configuration file.
std::vector<std::string> withShortTimeout(const TempDir& dir, std::vector<std::string> more = {}) {
    dir.write("plain.txt", "still here");
    dir.write("fernhollow.cfg", "php-path: /usr/bin/php-cgi;\nscript-timeout: 1;\n");
    more.insert(more.begin(), {"--config", "fernhollow.cfg"});
    return more;
}

bool plainServed(int port) {
    return exchange(port, "GET /plain.txt HTTP/1.1\r\n\r\n").ends_with("\r\n\r\nstill here");
}

TEST(GatewayBlackBox, ScriptThatNeverEndsIsEndedAfterTheTimeOutAndOthersAreServed) {
    SKIP_UNDER_WINE("a Windows program under Wine cannot run the Linux php-cgi (see the stand-in's test)");
    TempDir dir;
    dir.write("slow.php", "<?php echo 'partial'; flush(); sleep(600);\n");
    ServerProcess server(withShortTimeout(dir), dir.path());
    RawClient waiting(server.port());
    waiting.send("GET /slow.php HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(server.waitForOutput("handle php request\n"));
    EXPECT_TRUE(plainServed(server.port())) << "a client queued behind the script";
    std::string ended = "Gateway Timeout: the script did not finish within 1 s and was ended.\n";
    EXPECT_EQ(waiting.readAll(), fernhollow::plainAnswer("504 Gateway Timeout", ended));
    EXPECT_TRUE(server.waitForOutput("script " + systemForm("./slow.php") + " ended: still running after 1 s\n"));
    std::string pid = std::to_string(server.pid());
    EXPECT_EQ(readFile("/proc/" + pid + "/task/" + pid + "/children"), "") << "the interpreter was not reaped";
    std::string post = exchange(server.port(), postForm("/slow.php", "a=1"));
    EXPECT_TRUE(post.starts_with("HTTP/1.1 504 Gateway Timeout\r\n")) << post;
    EXPECT_TRUE(plainServed(server.port()));
}

TEST(GatewayBlackBox, ExchangeFilesArePrivateNeverServedAndNeverReachedThroughLinks) {
    SKIP_UNDER_WINE("a Windows program under Wine cannot run the Linux php-cgi (see the stand-in's test)");
    TempDir outside;
    std::string victim = outside.write("victim", "precious");
    for (int spelling = 0; spelling < 3; ++spelling) {
        TempDir dir;
        dir.write("echo.php", echoScript);
        // The working directory as the default root, by its absolute path, and by a climbing root.
        std::string name = dir.path().substr(dir.path().rfind('/') + 1);
        std::string root = spelling == 0 ? "./" : spelling == 1 ? dir.path() + "/" : "../" + name + "/";
        ServerProcess server(withShortTimeout(dir, {"--root", root}), dir.path());
        std::string post = exchange(server.port(), postForm("/echo.php", "field=secret"));
        EXPECT_TRUE(post.ends_with("field=secret;cookie=-;method=POST;addr=127.0.0.1")) << root << "\n" << post;
        EXPECT_EQ(dir.read("php-in"), "field=secret");
        std::string get = exchange(server.port(), "GET /echo.php HTTP/1.1\r\nCookie: flavour=mint\r\n\r\n");
        EXPECT_TRUE(get.ends_with("cookie=mint;method=GET;addr=127.0.0.1")) << get;
        EXPECT_EQ(dir.read("php-in"), "") << "a GET has no body to pass on";
        for (const char* file : {"php-in", "php-out"})
            EXPECT_EQ(std::filesystem::status(dir.path() + "/" + file).permissions(), std::filesystem::perms(0600));
        std::filesystem::create_symlink("php-out", dir.path() + "/peek.txt");
        for (std::string request : {"GET /php-in", "HEAD /php-out", "GET //php-out", "GET /peek.txt"}) {
            std::string answer = exchange(server.port(), request + " HTTP/1.1\r\n\r\n");
            EXPECT_TRUE(answer.starts_with("HTTP/1.1 404 Not Found\r\n")) << root << " " << request;
        }

        // A link planted as an exchange file is removed, never written
        // through: the request gets fresh files and the file it named stays.
        std::filesystem::remove(dir.path() + "/php-in");
        std::filesystem::create_symlink(victim, dir.path() + "/php-in");
        post = exchange(server.port(), postForm("/echo.php", "field=x"));
        EXPECT_TRUE(post.ends_with("field=x;cookie=-;method=POST;addr=127.0.0.1")) << post;
        EXPECT_EQ(dir.read("php-in"), "field=x");
        std::filesystem::remove(dir.path() + "/php-out");
        std::filesystem::create_hard_link(victim, dir.path() + "/php-out");
        get = exchange(server.port(), "GET /echo.php HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(get.ends_with("field=-;cookie=-;method=GET;addr=127.0.0.1")) << get;
        EXPECT_EQ(readFile(victim), "precious");
        EXPECT_FALSE(std::filesystem::is_symlink(dir.path() + "/php-in"));
        EXPECT_EQ(std::filesystem::hard_link_count(dir.path() + "/php-out"), 1u);
        EXPECT_EQ(std::filesystem::hard_link_count(victim), 1u);
        EXPECT_TRUE(plainServed(server.port()));
    }
}

TEST(GatewayBlackBox, ScriptsRunUnderARootThatClimbsOutOfTheWorkingDirectory) {
    SKIP_UNDER_WINE("a Windows program under Wine cannot run the Linux php-cgi (see the stand-in's test)");
    TempDir dir;
    dir.write("site/a.php", "<?php echo 'file=', $_SERVER['SCRIPT_FILENAME'];\n");
    dir.write("work/b.php", "<?php echo 'file=', $_SERVER['SCRIPT_FILENAME'];\n");
    std::string site = std::filesystem::canonical(dir.path() + "/site").string();
    dir.write("site/plain.txt", "still here");
    ServerProcess climbing({"--php-path", "/usr/bin/php-cgi", "--root", "../site"}, dir.path() + "/work");
    std::string get = "GET /a.php HTTP/1.1\r\n\r\n", head = "HEAD /a.php HTTP/1.1\r\n\r\n";
    for (const std::string& request : {get, head, postForm("/a.php", "x=1")}) {
        std::string answer = exchange(climbing.port(), request);
        EXPECT_TRUE(answer.ends_with("\r\n\r\nfile=" + site + "/a.php")) << answer;
    }
    // An ordinary root hands the interpreter the joined path as it always did.
    ServerProcess ordinary({"--php-path", "/usr/bin/php-cgi"}, dir.path() + "/work");
    std::string own = exchange(ordinary.port(), "GET /b.php HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(own.ends_with("\r\n\r\nfile=./b.php")) << own;
    EXPECT_TRUE(plainServed(climbing.port()));
}

// The interpreter these cases run: the real php-cgi, or the stand-in for the
// Windows program under Wine.
const char* caseInterpreter() {
    return serverUnderWine ? FERNHOLLOW_CGI_STANDIN : "/usr/bin/php-cgi";
}

// The exchange files hold a client's body and the last answer: never run as
// a script. A query never names a script, and a script path that reaches an
// exchange file (a link) gets the 404 page.
TEST(GatewayBlackBox, ExchangeFilesNamedAsScriptsGet404AndRunNothing) {
    const std::string code = "<?php echo 6*7, PHP_OS;";
    for (int spelling = 0; spelling < 2; ++spelling) {
        TempDir dir;
        dir.write("echo.php", echoScript);
        std::string root = spelling == 0 ? "./" : dir.path() + "/";
        ServerProcess server({"--php-path", caseInterpreter(), "--root", root}, dir.path());
        // The refusal is the page of a missing file, with the root as the server keeps it.
        std::string refused = exchange(server.port(), "GET /no-such-file.txt HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(refused.starts_with("HTTP/1.1 404 Not Found\r\n")) << refused;
        // Before any script ran, neither exchange file stands yet: the link
        // dangles until the request's own exchange files are made.
        std::filesystem::create_symlink("php-in", dir.path() + "/alias.php");
        EXPECT_EQ(exchange(server.port(), postForm("/alias.php", code)), refused) << root;
        EXPECT_TRUE(server.waitForOutput("alias.php is an exchange file\n"));
        EXPECT_NE(server.output().find("request refused: the script " + (serverUnderWine ? "" : root + "alias.php")),
                  std::string::npos)
            << server.output();
        std::string ran = exchange(server.port(), postForm("/echo.php", "field=1"));
        EXPECT_TRUE(ran.starts_with(okLine)) << ran;
        std::string answer = dir.read("php-out");
        struct Row {
            std::string name;
            std::string request;
            bool answered;  // the 404 page; otherwise a POST to no script: no answer
        };
        std::vector<Row> rows{
            {"body run as the input file", postForm("/php-in?.php", code), false},
            {"answer run as the output file", postForm("/php-out?.php", code), false},
            {"input file by a dot segment", postForm("/./php-in?.php", code), false},
            {"output file by a doubled slash", postForm("//php-out?.php", code), false},
            {"a GET of the input file", "GET /php-in?.php HTTP/1.1\r\n\r\n", true},
            {"a HEAD of the output file", "HEAD /php-out?.php HTTP/1.1\r\n\r\n", true},
            {"a link to the input file", postForm("/alias.php", code), true},
            {"a GET of a link to the input file", "GET /alias.php HTTP/1.1\r\n\r\n", true},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(root + ": " + row.name);
            RawClient client(server.port());
            client.send(row.request);
            // The loop reads connections in order: once a later GET is
            // answered, this request has been handled.
            EXPECT_EQ(exchange(server.port(), "GET /no-such-file.txt HTTP/1.1\r\n\r\n"), refused);
            std::string got = row.answered ? client.readAll() : client.readFor(std::chrono::milliseconds(200));
            EXPECT_EQ(got, row.answered ? refused : "");
            // Neither the real interpreter ("42Linux") nor the stand-in ran.
            EXPECT_EQ(got.find("42Linux"), std::string::npos);
            EXPECT_EQ(got.find("REQUEST_METHOD="), std::string::npos);
            // Nothing was written: the last run's body and answer are still there.
            EXPECT_EQ(dir.read("php-in"), "field=1");
            EXPECT_EQ(dir.read("php-out"), answer);
        }
    }
}

TEST(GatewayBlackBox, AScriptThatSwapsTheOutputFileGetsOnlyItsOwnAnswer) {
    SKIP_UNDER_WINE("a Windows program under Wine cannot run the Linux php-cgi (the stand-in's case is a unit test)");
    struct Row {
        std::string name;
        std::string swap;
    };
    std::vector<Row> rows{
        {"hard link to a private file", "unlink('php-out'); link('../private.txt', 'php-out');"},
        {"symbolic link to a private file", "unlink('php-out'); symlink('../private.txt', 'php-out');"},
        {"renamed away and replaced", "rename('php-out', 'gone'); file_put_contents('php-out', 'forged');"},
        {"input swapped too", "unlink('php-in'); link('../private.txt', 'php-in');"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        std::string secret = dir.write("private.txt", "private words");
        dir.write("site/echo.php", echoScript);
        dir.write("site/swap.php", "<?php echo 'own answer'; " + row.swap + "\n");
        ServerProcess server({"--php-path", "/usr/bin/php-cgi"}, dir.path() + "/site");
        std::string swapped = exchange(server.port(), "GET /swap.php HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(swapped.starts_with(okLine) && swapped.ends_with("\r\n\r\nown answer")) << row.name << "\n" << swapped;
        EXPECT_EQ(swapped.find("private"), std::string::npos) << row.name;
        // Every later script runs as before, and the private file is untouched.
        for (int again = 0; again < 2; ++again) {
            std::string next = exchange(server.port(), postForm("/echo.php", "field=next"));
            EXPECT_TRUE(next.ends_with("field=next;cookie=-;method=POST;addr=127.0.0.1")) << row.name << "\n" << next;
        }
        EXPECT_EQ(readFile(secret), "private words") << row.name;
        EXPECT_EQ(std::filesystem::hard_link_count(secret), 1u) << row.name;
    }
}

// The processes of group `group` that have not ended (zombies have).
std::vector<std::string> liveGroupMembers(const std::string& group) {
    std::vector<std::string> members;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream file(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        // After the name: state (3), parent (4), group (5).
        std::istringstream fields(stat.substr(close + 2));
        std::string state, parent, memberOf;
        fields >> state >> parent >> memberOf;
        if (memberOf == group && state != "Z") members.push_back(name + " " + stat.substr(0, close + 1));
    }
    return members;
}

TEST(GatewayBlackBox, NothingAScriptStartedOutlivesIt) {
    TempDir dir;
    dir.write("fernhollow.cfg", "script-timeout: 3;\n");
    dir.write("www/stand-in.php", "");
    // Still running when a survivor would write into the output.
    dir.write("www/later.php", "<?php sleep(2); echo 'later';\n");
    dir.write("www/echo.php", echoScript);
    // The script writes its group's id where the test finds it, then starts
    // a child that would outlive it.
    std::string groupToFile = "<?php file_put_contents('../group.txt', posix_getpgrp());\n";
    dir.write("www/sleeper.php", groupToFile + "exec('sleep 300 > /dev/null 2>&1 &'); echo 'started';\n");
    dir.write("www/hung-sleeper.php", groupToFile + "exec('sleep 300 > /dev/null 2>&1 &'); sleep(600);\n");
    dir.write("www/injector.php", groupToFile +
                                      "proc_open('(sleep 1; echo INJECTED) &', [0 => ['file', '/dev/null', 'r'],"
                                      " 1 => fopen('php://stdout', 'w'), 2 => ['file', '/dev/null', 'w']], $pipes);"
                                      " echo 'first';\n");
    std::string standIn = FERNHOLLOW_CGI_STANDIN;
    struct Row {
        std::string name;
        std::string interpreter;
        std::string target;
        std::string answerStart;
        bool real;
        std::string later;
    };
    std::string timedOut = "HTTP/1.1 504 Gateway Timeout\r\n";
    std::vector<Row> rows{
        {"a child left running by a script that ended", "/usr/bin/php-cgi", "/sleeper.php", okLine, true, "/later.php"},
        {"a child left running by a script that timed out", "/usr/bin/php-cgi", "/hung-sleeper.php", timedOut, true,
         "/later.php"},
        {"a child writing to the script's output later", "/usr/bin/php-cgi", "/injector.php", okLine, true,
         "/later.php"},
        {"the stand-in's child after it ended", standIn, "/stand-in.php?child", okLine, false, "/stand-in.php?slow"},
        {"the stand-in's child after it timed out", standIn, "/stand-in.php?child-hang", timedOut, false,
         "/stand-in.php?slow"},
    };
    for (const Row& row : rows) {
        if (row.real && serverUnderWine) continue;
        std::filesystem::remove(dir.path() + "/group.txt");
        std::filesystem::remove(dir.path() + "/www/survived.txt");
        ServerProcess server({"--php-path", row.interpreter, "--config", "../fernhollow.cfg"},
                             dir.path() + "/www");
        std::string answer = exchange(server.port(), "GET " + row.target + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(answer.starts_with(row.answerStart)) << row.name << "\n" << answer;
        if (row.real) {
            std::string group = dir.read("group.txt");
            EXPECT_NE(group, "") << row.name;
            // SIGKILL went to the whole group; a busy machine may take a moment to end them.
            std::vector<std::string> members = liveGroupMembers(group);
            for (int wait = 0; wait < 100 && !members.empty(); ++wait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                members = liveGroupMembers(group);
            }
            EXPECT_EQ(members, std::vector<std::string>()) << row.name;
        }
        // The next script runs while any survivor would write its bytes.
        std::string later = exchange(server.port(), "GET " + row.later + " HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(later.starts_with(okLine)) << row.name << "\n" << later;
        EXPECT_FALSE(dir.exists("www/survived.txt")) << row.name;
        EXPECT_EQ(later.find("INJECTED"), std::string::npos) << row.name << "\n" << later;
        EXPECT_EQ(dir.read("www/php-out").find("INJECTED"), std::string::npos) << row.name;
    }
}

// A value in kB of the process's status file ("VmHWM", "VmRSS").
long statusKilobytes(int pid, const std::string& field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return -1;
}

TEST(GatewayBlackBox, AGibibyteScriptAnswerIsStreamedWithoutBeingHeldWhole) {
    SKIP_UNDER_WINE("the server's memory is read from Linux's /proc, and the real php-cgi writes the answer");
    TempDir dir;
    dir.write("big.php", "<?php $piece = str_repeat('x', 1 << 20); for ($i = 0; $i < 1024; $i++) echo $piece;\n");
    ServerProcess server({"--php-path", "/usr/bin/php-cgi"}, dir.path());
    long before = statusKilobytes(server.pid(), "VmHWM");
    auto started = std::chrono::steady_clock::now();
    RawClient client(server.port());
    client.send("GET /big.php HTTP/1.1\r\n\r\n");
    std::string received, head;
    std::uint64_t total = 0;
    bool allX = true;
    long peakDuring = 0;
    while (client.readSome(received, std::chrono::seconds(30))) {
        if (head.size() < 200) head.append(received.substr(0, 200 - head.size()));
        if (total > 1000) allX = allX && received.find_first_not_of('x') == std::string::npos;
        total += received.size();
        received.clear();
        if (total % (64 << 20) < 65536) peakDuring = std::max(peakDuring, statusKilobytes(server.pid(), "VmRSS"));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    long peak = statusKilobytes(server.pid(), "VmHWM");
    std::uint64_t output = std::filesystem::file_size(dir.path() + "/php-out");
    std::cout << "[ figures  ] 1 GiB script answer: " << total << " bytes received of " << okLine.size() + output
              << " in " << seconds << " s; server peak resident " << peak / 1024 << " MiB (VmHWM; " << before / 1024
              << " MiB before, VmRSS up to " << peakDuring / 1024 << " MiB while sending), server CPU "
              << cpuSeconds(server.pid()) << " s" << std::endl;
    EXPECT_EQ(total, okLine.size() + output);
    EXPECT_EQ(output, (1ull << 30) + head.find("\r\n\r\n") + 4 - okLine.size());
    EXPECT_TRUE(head.starts_with(okLine)) << head;
    EXPECT_TRUE(allX);
    EXPECT_LT(peak, 64 * 1024) << "kB resident at the peak";
}

} // namespace
