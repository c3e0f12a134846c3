#include "platform/paths.h"
#include "base/text.h"

#include <gtest/gtest.h>

using namespace fernhollow;

TEST(Text, Split) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(split("", ";"), V{});
    EXPECT_EQ(split("abc", ";"), V{"abc"});
    EXPECT_EQ(split(";a;;b;", ";"), (V{"", "a", "", "b", ""}));
    EXPECT_EQ(split("aaa", "aa"), (V{"", "a"}));
}

TEST(Text, HeaderLines) {
    using V = std::vector<std::string_view>;
    struct Case {
        std::string_view text;
        V lines;
    };
    const Case cases[] = {
        {"", V{}},
        {"GET / HTTP/1.1", V{"GET / HTTP/1.1"}},
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\nbody\r\n\r\nmore", V{"GET / HTTP/1.1", "Host: a", ""}},
        {"a\r\nb", V{"a", "b"}},
        {"a\r\n", V{"a", ""}},
        {"\r\n\r\n", V{""}},
        {"--", V{"--"}},
        {"--\r\nx\r\n\r\n", V{"--"}},
        {"x\r\n--\r\n\r\n", V{"x", "--", ""}},
        {"a\rb\nc\r\n\r\n", V{"a\rb\nc", ""}},
    };
    for (const Case& c : cases) EXPECT_EQ(headerLines(c.text), c.lines) << c.text;
}

TEST(Text, HeaderLinesOfAHeadBeforeALargeBody) {
    // Lines past the empty one are never part of the result, however many.
    std::string text = "Content-Type: text/html\r\n\r\n";
    for (int i = 0; i < 100000; ++i) text += "line\r\n";
    std::vector<std::string_view> lines = headerLines(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Content-Type: text/html");
    EXPECT_EQ(lines[1], "");
}

TEST(Text, WindowsAliasSegments) {
    struct Case {
        std::string_view path;
        bool alias;
    };
    const Case cases[] = {
        {"/index.html", false},
        {"/./a/index.html", false},
        {"/a/../b", false},  // refused as a parent step, not here
        {"", false},
        {"/index.html.", true},
        {"/index.html ", true},
        {"/dir./x.html", true},
        {"/x.html::$DATA", true},
        {"/C:/Windows/win.ini", true},
        {"/a\\C:x", true},
        {"/CON", true},
        {"/con.html", true},
        {"/sub/Nul.txt.bak", true},
        {"/aux", true},
        {"/PRN.", true},
        {"/nul .txt", true},
        {"/COM1", true},
        {"/lpt9.html", true},
        {"/com\xC2\xB9.txt", true},
        {"/CONOUT$", true},
        {"/COM0", false},
        {"/COM10", false},
        {"/console.html", false},
        {"/nullable.html", false},
        {"/x<y", true},
        {"/x|y", true},
        {"/x*", true},
        {"/a\x01" "b", true},
        {"/\xC3\x9C" "bersicht.html", false},
    };
    for (const Case& c : cases) EXPECT_EQ(hasWindowsAliasSegment(c.path), c.alias) << c.path;
}

TEST(Text, EscapeControlBytes) {
    struct Case {
        std::string_view line, escaped;
    };
    const Case cases[] = {
        {"", ""},
        {"filename is /tiddly-\xC3\x9C" "bersicht notes.html", "filename is /tiddly-\xC3\x9C" "bersicht notes.html"},
        {"a\\x0a stays as typed", "a\\x0a stays as typed"},
        {"/a\nforged line", "/a\\x0aforged line"},
        {"\x1b[2J\r\t", "\\x1b[2J\\x0d\\x09"},
        {std::string_view("\0\x1f\x20\x7e\x7f\x80\xff", 7), "\\x00\\x1f ~\\x7f\x80\xff"},
    };
    for (const Case& c : cases) EXPECT_EQ(escapeControlBytes(c.line), c.escaped) << c.line;
}

// The design's examples of a joined path (static files and SCRIPT_FILENAME),
// as POSIX and as Windows read them.
TEST(Text, SystemPathForm) {
    struct Case {
        std::string_view joined, posix, windows;
    };
    const Case cases[] = {
        {"C:/www//a/b.php", "C:/www/a/b.php", "C:\\www\\a\\b.php"},
        {"./x.php", "./x.php", ".\\x.php"},
        {".\\/index.html", ".\\/index.html", ".\\index.html"},
        {"C:\\wiki/index.html", "C:\\wiki/index.html", "C:\\wiki\\index.html"},
        {"C:\\wiki\\/index.html", "C:\\wiki\\/index.html", "C:\\wiki\\index.html"},
        {".////a", ".//a", ".\\\\a"},  // one pass: four become two
        {"a\\\\\\b", "a\\\\\\b", "a\\\\b"},  // three backslashes become two on Windows
        {"", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(systemPathForm(c.joined), fernhollow::platform::windowsFileNames ? c.windows : c.posix) << c.joined;
}
