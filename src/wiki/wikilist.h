// The list of wikis at /tiddly, the server's home page: every wiki of the
// served folder with its title, when it was last saved, its size and its
// history, and every other page that keeps versions. The page's bytes are
// decided here by pure functions; gathering the rows reads the disk.
#pragma once

#include "http/answer.h"
#include "http/request.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// How much of a page is read to find its title: a wiki's <title> is near its start.
inline constexpr std::size_t titleSearchBytes = 64 * 1024;

// The text of the first <title> element in `head` (the start of a page),
// its character references decoded and its blanks collapsed; empty when none.
std::string pageTitle(std::string_view head);

// A size as a person reads it at a glance: "812 bytes", "3.4 KB", "2.4 MB" (units of 1,000,000 bytes).
std::string approximateSize(std::int64_t size);

// One row of the list: a page below the root and what is shown of it.
struct WikiRow {
    std::string path;      // below the root, "/"-separated, no first "/"
    std::string title;     // empty: the path is shown instead
    std::int64_t size = -1;  // -1: not a file (a folder named like a wiki)
    std::tm saved{};         // local time of its last save
    int versions = 0;      // kept versions in its history
};

// The list page of the served folder `folder` (as a person knows it) with `rows` in order.
std::string wikiListPage(std::string_view folder, const std::vector<WikiRow>& rows);

// The row of the page at `path` below `root`, its title read from its first
// bytes only; only the path and versions when it is no file or cannot be read.
WikiRow wikiRow(const std::string& root, const std::string& path);

// The pages below `root` other than its own "tiddly-*.html" files that keep
// versions, found through the history folder: "index.html", "work/tiddly-w.html".
std::vector<std::string> otherPagesWithVersions(const std::string& root);

// How many versions the page at `path` below `root` keeps.
int versionCount(const std::string& root, const std::string& path);

// Answers the list page (HEAD with the head GET gets), saying each wiki of
// `root` on the console.
Answer listAnswer(const std::string& root, const Request& request);

} // namespace fernhollow
