// The settings store and the configuration-file reader, with the console
// lines they write, and the typed settings read from the store.
#include "base/config.h"
#include "base/settings.h"
#include "support/blackbox.h"

#include <gtest/gtest.h>

using namespace fernhollow;
using fernhollow::testing::TempDir;

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { configTable.clear(); }
    void TearDown() override { configTable.clear(); }

    // Runs `step` and returns what it wrote to standard output.
    template <typename Step>
    static std::string console(Step step) {
        ::testing::internal::CaptureStdout();
        step();
        return ::testing::internal::GetCapturedStdout();
    }
    // Reads a file of `content` and returns the console lines up to the listing.
    std::string parse(std::string_view content) {
        std::string file = dir.write("site.cfg", content);
        return console([&] { parseConfig(file); });
    }
    TempDir dir;
};

TEST_F(ConfigTest, ItemsTrimOnCreationOnly) {
    ConfigItem item(" \t\r\n 8080 \xE2\x80\x83\xC2\xA0");
    EXPECT_EQ(item.value, "8080");
    item.value = "  kept  ";
    EXPECT_EQ(item.value, "  kept  ");
    EXPECT_EQ(ConfigItem("\xE3\x80\x80" "a b" "\x0B\x0C").value, "a b");
    EXPECT_EQ(ConfigItem("   ").value, "");
}

TEST_F(ConfigTest, SetConfigAddsTrimmedAndUpdatesUntrimmed) {
    std::string out = console([] {
        setConfig("port", " 9090 ");
        setConfig("port", " 8080 ");
    });
    EXPECT_EQ(out, "adding key port with  9090 \nupdating key port with  8080 \n");
    EXPECT_EQ(getConfig("port"), " 8080 ");
    configTable.clear();
    console([] { setConfig("ip", " 1.2.3.4 "); });
    EXPECT_EQ(getConfig("ip"), "1.2.3.4");
    EXPECT_EQ(getConfig("never-set"), "");
}

TEST_F(ConfigTest, RecordsOnTwoLines) {
    std::string out = parse("port: 8080;\nroot: /srv/wiki/;");
    EXPECT_EQ(getConfig("port"), "8080");
    EXPECT_EQ(getConfig("root"), "/srv/wiki/");
    std::string file = dir.path() + "/site.cfg";
    EXPECT_EQ(out.substr(0, out.find("\n", out.find("is  /srv")) + 1),
              "config.parseConfig reading config from file: " + file + "\n"
              "config item: port\n"
              "config data for port is  8080\n"
              "config item: \nroot\n"
              "config data for root is  /srv/wiki/\n");
    EXPECT_EQ(getConfig("version"), versionString());
}

TEST_F(ConfigTest, RecordRules) {
    struct Case {
        const char* content;
        std::vector<std::pair<const char*, const char*>> stored;  // key, value
        std::vector<const char*> absent;
    };
    const Case cases[] = {
        // A value may hold ":"; only the first one of a record separates.
        {"root: D:\\wiki\\;", {{"root", "D:\\wiki\\"}}, {}},
        // Two records without ";" between them are one.
        {"port: 8080\nroot: x;", {{"port", "8080\nroot: x"}}, {"root"}},
        // An empty value stores nothing; parsing goes on.
        {"key:;port:1;", {{"port", "1"}}, {"key"}},
        // An empty key text ends the records.
        {"port:1;:x;ip:2;", {{"port", "1"}}, {"ip"}},
        {":port:1;", {}, {"port"}},
        // A key of white space only is stored under the empty key.
        {"\n:v;", {{"", "v"}}, {}},
        // No ":" at all: one item line, nothing stored.
        {"just text", {}, {"just text"}},
        // The later record of a key wins.
        {"port:1;port:2;", {{"port", "2"}}, {}},
        // A UTF-8 byte-order mark stays part of the first key.
        {"\xEF\xBB\xBFport:1;", {{"\xEF\xBB\xBFport", "1"}}, {"port"}},
        // The ";" after the last record may be left out.
        {"ip: 10.0.0.1", {{"ip", "10.0.0.1"}}, {}},
    };
    for (const Case& c : cases) {
        configTable.clear();
        parse(c.content);
        for (auto [key, value] : c.stored) EXPECT_EQ(getConfig(key), value) << c.content;
        for (const char* key : c.absent) EXPECT_EQ(configTable.count(key), 0u) << c.content;
        EXPECT_EQ(getConfig("version"), versionString()) << c.content;
    }
}

TEST_F(ConfigTest, TrailingTextAndEmptyValueLines) {
    std::string out = parse("a:;\n");
    EXPECT_NE(out.find("config item: a\nconfig item: \n\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("config data for"), std::string::npos);
}

TEST_F(ConfigTest, ListingShowsEverySetting) {
    console([] { setConfig("port", "9090"); });
    std::string out = parse("ip:1.2.3.4;");
    EXPECT_NE(out.find("\nport 9090\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nip 1.2.3.4\n"), std::string::npos) << out;
    // The listing of a second file shows "version" stored after the first.
    out = parse("ip:1.2.3.5;");
    EXPECT_NE(out.find("\nversion " + versionString() + "\n"), std::string::npos) << out;
}

TEST_F(ConfigTest, ThePasswordNeverReachesTheConsole) {
    std::string out = console([] {
        setConfig("password", "s3cret-a");
        setConfig("password", " s3cret-b ");
    });
    out += parse("user: me;\npassword: s3cret-c ;\n");
    EXPECT_EQ(getConfig("password"), "s3cret-c");
    EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;
    EXPECT_NE(out.find("adding key password with ********\nupdating key password with ********\n"), std::string::npos);
    EXPECT_NE(out.find("config data for password is ********\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\npassword ********\n"), std::string::npos) << out;
    EXPECT_NE(out.find("config data for user is  me\n"), std::string::npos) << out;

    // A ";" ends a record: unless the record after a password names a setting,
    // the rest of the password would be a key, so the start stops.
    for (auto [content, stops] : {std::pair{"password: s3cret-a;s3cret-b;", true}, {"password:;s3cret-b", true},
                                  {"password: s3cret-a;s3cret-b\nuser: me;", true}, {"password: s3cret-a;b: x;", true},
                                  {"password: s3cret-a;\n user : me;\n", false}}) {
        std::string error, file = dir.write("site.cfg", content);
        std::string shown = console([&] {
            try { parseConfig(file); } catch (const std::system_error& e) { error = e.what(); }
        });
        EXPECT_EQ(error.find("fernhollow --hash-password") != std::string::npos, stops) << content << error;
        EXPECT_EQ((shown + error).find(stops ? "s3cret" : "s3cret-a"), std::string::npos) << shown << error;
    }
}

TEST_F(ConfigTest, FailuresAreReportedAndSurvived) {
    struct Case {
        std::string content;
        const char* line;
    };
    const Case cases[] = {
        {"port:1;\xC3(", "failed while parsing config file"},              // invalid UTF-8
        {"port:1;\xED\xA0\x80", "failed while parsing config file"},       // a surrogate
        {"port:1;\xC0\xAF", "failed while parsing config file"},           // overlong
        {std::string("\xFF\xFEp\0:\0", 6), "failed while parsing config file"},  // UTF-16 LE mark
        {"\xFE\xFF", "failed while parsing config file"},                   // UTF-16 BE mark
        {std::string("\0\0\xFE\xFF", 4), "failed while parsing config file"},   // UTF-32 BE mark
    };
    for (const Case& c : cases) {
        configTable.clear();
        std::string out = parse(c.content);
        EXPECT_NE(out.find(std::string(c.line) + "\n"), std::string::npos) << out;
        EXPECT_EQ(configTable.count("port"), 0u) << "a failed read stores nothing";
        EXPECT_EQ(getConfig("version"), versionString());
    }
}

TEST_F(ConfigTest, MissingFileOrDirectoryCannotBeProcessed) {
    for (std::string name : {dir.path() + "/missing.cfg", dir.path()}) {
        configTable.clear();
        std::string out = console([&] { parseConfig(name); });
        EXPECT_EQ(out, "config.parseConfig reading config from file: " + name + "\ncannot process " + name + "\n");
        EXPECT_EQ(getConfig("version"), versionString());
    }
}

TEST_F(ConfigTest, SettingsReadFromTheTable) {
    using Field = std::int64_t (*)(const Settings&);
    Field port = [](const Settings& s) -> std::int64_t { return s.port; };
    Field script = [](const Settings& s) -> std::int64_t { return s.scriptTimeout.count(); };
    Field idle = [](const Settings& s) -> std::int64_t { return s.idleTimeout.count(); };
    Field window = [](const Settings& s) -> std::int64_t { return s.loginWindow.count(); };
    Field share = [](const Settings& s) -> std::int64_t { return s.loginShare; };
    Field guests = [](const Settings& s) -> std::int64_t { return s.guestsRead; };
    Field history = [](const Settings& s) -> std::int64_t { return s.history.enabled; };
    Field newest = [](const Settings& s) -> std::int64_t { return s.history.newest; };
    Field days = [](const Settings& s) -> std::int64_t { return s.history.days; };
    Field cap = [](const Settings& s) -> std::int64_t { return s.history.capBytes; };
    struct Row {
        const char* key;
        const char* value;
        Field field;
        std::int64_t expected;
    };
    const Row rows[] = {
        {"port", "08080", port, 8080},       {"port", "0", port, 0},
        {"script-timeout", "90", script, 90}, {"script-timeout", "0", script, 30},  // zero would never wait
        {"idle-timeout", "999999", idle, 999999}, {"idle-timeout", "1234567", idle, 60},
        {"idle-timeout", " 5", idle, 60},    {"login-window", "+5", window, 60},
        {"login-window", "5", window, 5},    {"login-share", "40", share, 40},
        {"login-share", "4.5", share, 25},   {"guests", "read", guests, 1},
        {"guests", "", guests, 0},           {"history", "off", history, 0},
        {"history", "Off", history, 1},      {"history-newest", "0", newest, 0},  // zero keeps none
        {"history-days", "x", days, 30},     {"history-max-mb", "2", cap, 2 << 20},
    };
    for (const Row& row : rows) {
        std::unordered_map<std::string, ConfigItem> table{{row.key, ConfigItem("")}};
        table.at(row.key).value = row.value;  // untrimmed, as a later option stores it
        EXPECT_EQ(row.field(readSettings(table)), row.expected) << row.key << " " << row.value;
    }
    // The start stops on these, with the setting in the message.
    for (auto [key, value] : {std::pair{"port", ""}, {"port", "65536"}, {"port", "80 "}, {"guests", "write"}}) {
        std::unordered_map<std::string, ConfigItem> table{{key, ConfigItem(value)}};
        table.at(key).value = value;
        try {
            readSettings(table);
            ADD_FAILURE() << key << " " << value;
        } catch (const std::system_error& error) {
            EXPECT_NE(std::string(error.what()).find(key + std::string(" \"") + value + "\""), std::string::npos);
        }
    }
    // Until a server keeps its settings, every reading follows the table.
    configTable.insert_or_assign("root", ConfigItem("/srv/a/"));
    EXPECT_EQ(settings().root, "/srv/a/");
    configTable.insert_or_assign("root", ConfigItem("/srv/b/"));
    EXPECT_EQ(settings().root, "/srv/b/");
}

TEST(Port, OnlyPlainDecimalsUpTo65535) {
    std::uint16_t port = 1;
    EXPECT_TRUE(parsePort("0", port));
    EXPECT_EQ(port, 0);
    EXPECT_TRUE(parsePort("65535", port));
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(parsePort("08080", port));
    EXPECT_EQ(port, 8080);
    for (const char* bad : {"", "65536", "-1", "+80", " 80", "80 ", "8o", "100000", "0x50"})
        EXPECT_FALSE(parsePort(bad, port)) << bad;
}

TEST_F(ConfigTest, VersionIsTenLowercaseHexDigits) {
    std::string version = versionString();
    ASSERT_EQ(version.size(), 10u);
    for (char c : version) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << version;
}

} // namespace
