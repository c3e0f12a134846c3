// The command line: defaults, the option state machine and the usage text.
#include "base/config.h"
#include "main.h"
#include "platform/paths.h"
#include "support/blackbox.h"

#include <gtest/gtest.h>

using namespace fernhollow;
using fernhollow::testing::systemForm;
using fernhollow::testing::TempDir;

namespace {

class ArgsTest : public ::testing::Test {
protected:
    void SetUp() override { configTable.clear(); }
    void TearDown() override { configTable.clear(); }
    // Runs processArgs with the program path in front; keeps the console.
    bool run(std::vector<std::string> args) {
        args.insert(args.begin(), "fernhollow");
        ::testing::internal::CaptureStdout();
        bool stop = processArgs(args);
        out = ::testing::internal::GetCapturedStdout();
        return stop;
    }
    std::string out;
    TempDir dir;
};

const std::string defaults = "adding key port with 9090\n"
                             "adding key ip with 127.0.0.1\n"
                             "adding key php-path with \n"
                             "adding key root with " + systemForm("./") + "\n";

TEST_F(ArgsTest, NoArgumentsGiveTheDefaults) {
    EXPECT_FALSE(run({}));
    EXPECT_EQ(out, defaults);
    EXPECT_EQ(getConfig("port"), "9090");
    EXPECT_EQ(getConfig("ip"), "127.0.0.1");
    EXPECT_EQ(getConfig("php-path"), "");
    EXPECT_EQ(getConfig("root"), systemForm("./"));
}

TEST_F(ArgsTest, OptionsAndTheirValues) {
    struct Case {
        std::vector<std::string> args;
        const char* key;
        const char* value;
        // What Windows stores instead, where its separator makes a difference.
        const char* windowsValue = nullptr;
    };
    const Case cases[] = {
        {{"--port", "8080", "--port", "9000"}, "port", "9000"},
        {{"--root", "/srv/wiki"}, "root", "/srv/wiki/", "/srv/wiki\\"},
        {{"--root", "/srv/wiki/"}, "root", "/srv/wiki/", "/srv/wiki/\\"},
        {{"--root", "C:\\wiki\\"}, "root", "C:\\wiki\\/", "C:\\wiki\\"},
        {{"--root", "C:\\wiki"}, "root", "C:\\wiki/", "C:\\wiki\\"},
        {{"--root", "C:\\Wikis\\\xC3\x9C" "bersicht"}, "root", "C:\\Wikis\\\xC3\x9C" "bersicht/", "C:\\Wikis\\\xC3\x9C" "bersicht\\"},
        {{"--ip", "0.0.0.0"}, "ip", "0.0.0.0"},
        {{"--php-path", "/usr/bin/php-cgi"}, "php-path", "/usr/bin/php-cgi"},
        {{"--port", " 8080 "}, "port", " 8080 "},  // command-line values stay untrimmed
        {{"--port"}, "port", "9090"},              // an option last without value does nothing
        {{"--Port", "1", "-port", "2"}, "port", "9090"},
        {{"--port=1"}, "port", "9090"},
        {{"--history", "off"}, "history", "off"},
        {{"--history-newest", "3"}, "history-newest", "3"},
        {{"--history-max-mb", "64"}, "history-max-mb", "64"},
    };
    for (const Case& c : cases) {
        configTable.clear();
        EXPECT_FALSE(run(c.args));
        bool windows = platform::windowsFileNames && c.windowsValue != nullptr;
        EXPECT_EQ(getConfig(c.key), windows ? c.windowsValue : c.value) << c.args[0];
    }
}

TEST_F(ArgsTest, RepeatedOptionWritesUpdateLines) {
    run({"--port", "8080", "--port", "9000"});
    EXPECT_EQ(out, defaults + "updating key port with 8080\nupdating key port with 9000\n");
}

TEST_F(ArgsTest, ConfigFilesAndOptionsApplyInOrder) {
    std::string file = dir.write("site.cfg", "port: 6000;");
    run({"--config", file, "--port", "7000"});
    EXPECT_EQ(getConfig("port"), "7000");
    configTable.clear();
    run({"--port", "7000", "--config", file});
    EXPECT_EQ(getConfig("port"), "6000");
}

TEST_F(ArgsTest, HelpAndVersionStopAfterTheWholeWalk) {
    std::string file = dir.write("site.cfg", "port: 6000;");
    EXPECT_TRUE(run({"--version", "--config", file}));
    EXPECT_EQ(out.substr(0, defaults.size() + 20), defaults + "version: " + versionString() + "\n");
    EXPECT_NE(out.find("config.parseConfig reading config from file: " + file), std::string::npos);
    EXPECT_EQ(getConfig("port"), "6000");
}

TEST_F(ArgsTest, AValueThatIsAnOptionActsTwice) {
    EXPECT_TRUE(run({"--root", "--help"}));
    EXPECT_EQ(getConfig("root"), "--help" + systemForm("/"));
    EXPECT_NE(out.find("Simple web server to enable saving tiddlywiki pages\n"), std::string::npos);
    configTable.clear();
    EXPECT_FALSE(run({"--ip", "--port", "5000"}));
    EXPECT_EQ(getConfig("ip"), "--port");
    EXPECT_EQ(getConfig("port"), "5000");
}

TEST_F(ArgsTest, UsageTextLineForLine) {
    EXPECT_TRUE(run({"--help"}));
    std::string usage = out.substr(defaults.size());
    std::string expected =
        "Simple web server to enable saving tiddlywiki pages\n"
        "\n"
        "--config <file> load settings from config file named 'file'\n"
        "--ip <address> set the interface to listen on (default is 127.0.0.1)\n"
        "--php-path <path> specify the full path to the php-cgi binary (no default)\n"
        "--port n  set the port to listen on (default is 9090)\n"
        "--root <path>  set the path to the document root (default is current directory)\n"
        "--history <on|off> keep earlier versions of every saved page (default is on)\n"
        "--history-newest n  always keep the n newest versions of a page (default is 10)\n"
        "--history-hours n  keep one version per hour of the last n hours (default is 24)\n"
        "--history-days n  keep one version per day of the last n days (default is 30)\n"
        "--history-months n  keep one version per month of the last n months (default is 12)\n"
        "--history-max-mb n  keep at most n MiB of versions per page (default is 1024)\n"
        "--password <password> every request needs this password (plain, or the hash --hash-password prints)\n"
        "--user <name> the user name that goes with the password (default is any name)\n"
        "--guests read  anyone may read pages and lists without the password; saving still needs it\n"
        "--login-window n  10 wrong passwords within n seconds lock an address out for n seconds (default is 60)\n"
        "--login-share n  checking passwords may take at most n % of the server's time (default is 25)\n"
        "--hash-password read a password from standard input and print its hash for the settings\n"
        "--version display the version string associated with this release\n"
        "--help this help text\n"
        "\n\n";
    ASSERT_EQ(usage.substr(0, expected.size()), expected);
    std::string rest = usage.substr(expected.size());
    std::size_t mailEnd = rest.find('\n');
    EXPECT_NE(rest.substr(0, mailEnd).find('@'), std::string::npos);
    EXPECT_EQ(rest.substr(mailEnd + 1), "\n\nversion: " + versionString() + "\n\n");
}

} // namespace
