// The pure pieces of saving in place: the OPTIONS answer, which URLs name
// pages, If-Match against a tag, conflict copy names and a PUT's length.
#include "wiki/put.h"

#include "wiki/pages.h"

#include <gtest/gtest.h>

using namespace fernhollow;

TEST(Put, OptionsAnswersAndPageNames) {
    EXPECT_EQ(optionsAnswer(true),
              "HTTP/1.1 200 OK\r\nDAV: 1\r\nAllow: GET, HEAD, POST, PUT, OPTIONS\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(optionsAnswer(false), "HTTP/1.1 200 OK\r\nAllow: GET, HEAD, POST, OPTIONS\r\nContent-Length: 0\r\n\r\n");
    for (const char* url : {"/a.html", "/A.HTML", "/x/b.htm", "/index.html?x=.txt", "/a.php.html"})
        EXPECT_TRUE(namesPage(url)) << url;
    for (const char* url : {"/", "/.html", "/.htm", "/a.txt", "/a.html/", "/a.html.bak", "/a.htmlx", "/x?.html", "*"})
        EXPECT_FALSE(namesPage(url)) << url;
}

TEST(Put, IfMatchComparesStronglyAndTakesListsAndStar) {
    const std::string tag = "\"1-2-3\"";
    EXPECT_TRUE(ifMatchAllows(tag, tag));
    EXPECT_TRUE(ifMatchAllows("*", tag));
    EXPECT_TRUE(ifMatchAllows(" \"9\" , \"1-2-3\" ", tag));
    EXPECT_FALSE(ifMatchAllows("W/\"1-2-3\"", tag));
    EXPECT_FALSE(ifMatchAllows("\"1-2-4\"", tag));
    EXPECT_FALSE(ifMatchAllows("1-2-3", tag));
    EXPECT_FALSE(ifMatchAllows("", tag));
}

TEST(Put, ConflictCopyNamesSortByTimeAndStayValidOnWindows) {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 8;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    EXPECT_EQ(conflictCopyName("tiddly-a.html", when, 1), "tiddly-a.conflict-20261208-090507.html");
    EXPECT_EQ(conflictCopyName("Notes.HTM", when, 3), "Notes.conflict-20261208-090507-3.html");
}

TEST(Put, TheLengthOfAPutBody) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(putLength({"PUT /a.html HTTP/1.1", "content-length:  42 ", ""}).length, 42);
    EXPECT_FALSE(putLength({"PUT /a.html HTTP/1.1", "Content-Length: 42", ""}).refusal);
    struct Row {
        Lines head;
        std::string status;
    };
    const Row rows[] = {
        {{"PUT /a.html HTTP/1.1", ""}, "HTTP/1.1 411 Length Required\r\n"},
        {{"PUT /a.html HTTP/1.1", "Content-Length: 0", ""}, "HTTP/1.1 400 Bad Request\r\n"},
        {{"PUT /a.html HTTP/1.1", "Content-Length: -1", ""}, "HTTP/1.1 400 Bad Request\r\n"},
        {{"PUT /a.html HTTP/1.1", "Content-Length: 1 2", ""}, "HTTP/1.1 400 Bad Request\r\n"},
        {{"PUT /a.html HTTP/1.1", "Content-Length: 99999999999999999999", ""}, "HTTP/1.1 400 Bad Request\r\n"},
        {{"PUT /a.html HTTP/1.1", "Content-Length: 1", "Content-Length: 1", ""}, "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const Row& row : rows) {
        PutLength length = putLength(row.head);
        ASSERT_TRUE(length.refusal) << ::testing::PrintToString(row.head);
        EXPECT_TRUE(length.refusal->starts_with(row.status)) << *length.refusal;
    }
}

TEST(Put, EntityTagsAreQuotedHexOfIdentitySizeAndTimes) {
    EXPECT_EQ(entityTag({0x1a2b, 0, 0, 0}), "\"1a2b-0-0-0\"");
    EXPECT_EQ(entityTag({1, 255, 1700000000123456789, 1700000000123456790}),
              "\"1-ff-17979cfe3d85cd15-17979cfe3d85cd16\"");
    EXPECT_NE(entityTag({1, 255, 1700000000123456789, 5}), entityTag({1, 255, 1700000000123456790, 5}));
    // The same write time, set back by a program: the change time still tells the versions apart.
    EXPECT_NE(entityTag({1, 255, 1700000000123456789, 5}), entityTag({1, 255, 1700000000123456789, 6}));
}
