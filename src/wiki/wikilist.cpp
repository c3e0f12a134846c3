#include "wiki/wikilist.h"

#include "http/handling.h"
#include "wiki/history.h"
#include "wiki/pages.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "wiki/put.h"
#include "base/text.h"
#include "wiki/versions.h"

#include <algorithm>
#include <cstdio>

namespace fernhollow {

namespace {

// The character a reference such as "amp", "#39" or "#x27" stands for, as UTF-8; empty when unknown.
std::string referencedCharacter(std::string_view name) {
    if (name == "amp") return "&";
    if (name == "lt") return "<";
    if (name == "gt") return ">";
    if (name == "quot") return "\"";
    if (name == "apos") return "'";
    if (name == "nbsp") return " ";
    if (name.size() < 2 || name[0] != '#') return "";
    bool hex = name[1] == 'x' || name[1] == 'X';
    unsigned long code = 0;
    for (char c : name.substr(hex ? 2 : 1)) {
        int digit = hex ? hexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0 || code > 0x10FFFF) return "";
        code = code * (hex ? 16 : 10) + static_cast<unsigned long>(digit);
    }
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return "";
    std::string utf8;
    if (code < 0x80) {
        utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
        utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
        utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    return utf8;
}

// A page's text with its character references decoded and every run of blanks one blank.
std::string plainText(std::string_view text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '&') {
            std::size_t end = text.find(';', i);
            std::string decoded = end != std::string_view::npos && end - i <= 10
                                      ? referencedCharacter(text.substr(i + 1, end - i - 1))
                                      : "";
            if (!decoded.empty()) {
                plain += decoded;
                i = end;
                continue;
            }
        }
        bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (blank && (plain.empty() || plain.back() == ' ')) continue;
        plain.push_back(blank ? ' ' : c);
    }
    while (!plain.empty() && plain.back() == ' ') plain.pop_back();
    return plain;
}

// A local time to the minute, as the list shows it.
std::string shownMinute(const std::tm& when) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", when.tm_year + 1900, when.tm_mon + 1, when.tm_mday,
                  when.tm_hour, when.tm_min);
    return text;
}

// One row of the list's table.
std::string rowHtml(const WikiRow& row) {
    // The root's own wikis keep the address they always had; "/" stands for index.html.
    std::string address = row.path == "index.html" ? "./" : "./" + percentEncode(row.path);
    std::string shown = escapeHtml(row.title.empty() ? row.path : row.title);
    // A folder named like a wiki is listed too, without a time or a size.
    bool known = row.size >= 0;
    std::string html = "<tr><td><a href='" + address + "' target=\"_blank\" rel=\"noopener noreferrer\">" + shown +
                       "</a></td><td>" + escapeHtml(row.path) + "</td><td>" + (known ? shownMinute(row.saved) : "") +
                       "</td><td>" + (known ? approximateSize(row.size) : "") + "</td><td>";
    if (row.versions > 0)
        html += "<a href='" + historyPageUrl(row.path) + "'>history (" + std::to_string(row.versions) + ")</a>";
    return html + "</td></tr>";
}

// Adds to `pages` every page below `folder` (the history folder, or one
// inside it at `below`) whose own folder holds versions.
void collectPagesWithVersions(const std::string& folder, const std::string& below, int depth,
                              std::vector<std::string>& pages) {
    if (depth > 16) return;
    std::vector<std::string> names;
    try {
        names = platform::listDirectory(folder);
    } catch (const std::system_error&) {
        return;  // a folder the server may not read keeps its pages out of the list, not the list away
    }
    for (const std::string& name : names) {
        std::string path = folder + platform::pathSeparator + name;
        if (platform::entryKind(path) != platform::EntryKind::Directory) continue;
        std::string relative = below.empty() ? name : below + "/" + name;
        if (namesPage(name) && hasVersions(path)) pages.push_back(relative);
        else collectPagesWithVersions(path, relative, depth + 1, pages);
    }
}

// Fills in the size, last save and title of the page `file` (raises when it cannot be read).
void readDetails(const std::string& file, WikiRow& row) {
    platform::UniqueFd fd = platform::openForReading(file);
    platform::FileStamp stamp = platform::fileStamp(fd.get());
    row.size = stamp.size;
    row.saved = platform::localTimeOf(stamp.written);
    row.title = pageTitle(platform::readUpTo(fd.get(), titleSearchBytes));
}

} // namespace

std::string pageTitle(std::string_view head) {
    std::string lowered = lowerAscii(head);
    std::size_t open = lowered.find("<title");
    while (open != std::string::npos && open + 6 < lowered.size() && lowered[open + 6] != '>' &&
           lowered[open + 6] != ' ' && lowered[open + 6] != '\t' && lowered[open + 6] != '\n')
        open = lowered.find("<title", open + 6);
    if (open == std::string::npos) return "";
    std::size_t start = lowered.find('>', open);
    if (start == std::string::npos) return "";
    std::size_t end = lowered.find("</title", start);
    if (end == std::string::npos) return "";
    return plainText(head.substr(start + 1, end - start - 1));
}

std::string approximateSize(std::int64_t size) {
    char text[40];
    if (size < 1000) std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(size));
    else if (size < 1000 * 1000) std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(size) / 1e3);
    else if (size < 1000LL * 1000 * 1000) std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(size) / 1e6);
    else std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(size) / 1e9);
    return text;
}

std::string wikiListPage(std::string_view folder, const std::vector<WikiRow>& rows) {
    const std::string shownFolder = escapeHtml(folder);
    // The names on disk are UTF-8; without a charset a browser reads them as Windows-1252.
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Wikis in " + shownFolder +
                       "</title><style>body{font-family:sans-serif;margin:2em}td,th{padding:.3em 1em .3em 0;"
                       "text-align:left}td:nth-child(2){color:#666}</style></head><body><h1>Wikis in " +
                       shownFolder + "</h1>";
    if (rows.empty())
        return page + "<p>There is no wiki here yet. Save an empty TiddlyWiki into this folder as "
                      "<code>tiddly-NAME.html</code> (for example <code>tiddly-notes.html</code>), then reload this "
                      "page.</p></body></html>";
    page += "<table><tr><th>Wiki</th><th>File</th><th>Last saved</th><th>Size</th><th>History</th></tr>";
    for (const WikiRow& row : rows) page += rowHtml(row);
    return page + "</table></body></html>";
}

WikiRow wikiRow(const std::string& root, const std::string& path) {
    WikiRow row;
    row.path = path;
    row.versions = versionCount(root, path);
    row.size = -1;
    std::string file = systemPathForm(savePaths(root, path, "").pagePath);
    if (platform::entryKind(file) != platform::EntryKind::File) return row;
    // One page that cannot be read (no permission) is listed without its details; the list still comes.
    try {
        readDetails(file, row);
    } catch (const std::system_error&) {
        row = WikiRow{path, "", -1, {}, row.versions};
    }
    return row;
}

std::vector<std::string> otherPagesWithVersions(const std::string& root) {
    std::vector<std::string> pages;
    std::string folder = systemPathForm(savePaths(root, std::string(historyFolderName), "").pagePath);
    if (platform::entryKind(folder) != platform::EntryKind::Directory) return pages;
    std::vector<std::string> found;
    collectPagesWithVersions(folder, "", 0, found);
    for (std::string& page : found) {
        // The root's own wikis are listed already; a page that is gone has no row.
        bool ownWiki = page.find('/') == std::string::npos && isWikiFileName(page);
        std::string file = systemPathForm(savePaths(root, page, "").pagePath);
        if (!ownWiki && platform::entryKind(file) == platform::EntryKind::File) pages.push_back(std::move(page));
    }
    return pages;
}

int versionCount(const std::string& root, const std::string& path) {
    std::string folder = historyFolderOf(root, path);
    if (platform::entryKind(folder) != platform::EntryKind::Directory) return 0;
    int count = 0;
    try {
        for (const std::string& name : platform::listDirectory(folder))
            if (parseVersionName(name)) ++count;
    } catch (const std::system_error&) {
    }
    return count;
}

using platform::consoleLine;

namespace {

// The list page's whole answer, with the console lines of the wikis of the root.
std::string tiddlyListAnswer(const std::string& root) {
    std::vector<WikiRow> rows;
    for (const std::string& name : platform::listDirectory(root)) {
        if (!isWikiFileName(name)) continue;
        WikiEntry entry = wikiEntry(root, name);
        consoleLine(entry.fullName);
        consoleLine(partsLine(entry.parts));
        rows.push_back(wikiRow(root, name));
    }
    // A person looks a wiki up by its name: the folder's own order means nothing to them.
    std::sort(rows.begin(), rows.end(),
              [](const WikiRow& a, const WikiRow& b) { return lowerAscii(a.path) < lowerAscii(b.path); });
    std::vector<std::string> others = otherPagesWithVersions(root);
    std::sort(others.begin(), others.end());
    for (const std::string& page : others) rows.push_back(wikiRow(root, page));
    std::string folder = platform::resolvedPath(root.empty() ? "." : root).value_or(root);
    return wikiListResponse(wikiListPage(folder, rows));
}

} // namespace

Answer listAnswer(const std::string& root, const Request& request) {
    consoleLine("main.RequestHandler.sendTiddlyList");
    Answer answer = Answer::of(tiddlyListAnswer(root));
    if (request.method() == "HEAD") return std::move(answer).headOnly();
    return answer;
}

} // namespace fernhollow
