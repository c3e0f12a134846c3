#include "versions.h"

#include "config.h"
#include "handling.h"
#include "pages.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "put.h"
#include "server.h"
#include "text.h"

#include <algorithm>
#include <cstdio>

namespace fernhollow {

using platform::consoleLine;

namespace {

// A form value with "+" as a blank and its %XX escapes decoded.
std::string formDecode(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        int high = text[i] == '%' && i + 2 < text.size() ? hexDigitValue(text[i + 1]) : -1;
        int low = high >= 0 ? hexDigitValue(text[i + 2]) : -1;
        if (low >= 0) {
            decoded.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            decoded.push_back(text[i] == '+' ? ' ' : text[i]);
        }
    }
    return decoded;
}

// A version's time as the page shows it.
std::string shownTime(const std::tm& when) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    return text;
}

// A size as the page shows it.
std::string shownSize(std::int64_t size) {
    char text[32];
    if (size < 1024) std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(size));
    else if (size < 1024 * 1024) std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(size) / 1024);
    else std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(size) / (1024 * 1024));
    return text;
}

} // namespace

std::map<std::string, std::string> parseForm(std::string_view text) {
    std::map<std::string, std::string> fields;
    for (std::string_view field : split(text, "&")) {
        std::size_t equals = field.find('=');
        if (equals == std::string_view::npos) continue;
        fields[formDecode(field.substr(0, equals))] = formDecode(field.substr(equals + 1));
    }
    return fields;
}

std::string historyPageUrl(std::string_view relativePage, std::string_view restored) {
    std::string url = std::string(historyPagePath) + "?page=" + percentEncode(relativePage);
    if (!restored.empty()) url += "&restored=" + percentEncode(restored);
    return url;
}

std::string historyPage(std::string_view relativePage, std::vector<Version> versions, std::string_view restored) {
    std::sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
        if (a.savedAt != b.savedAt) return a.savedAt > b.savedAt;
        return versionAttempt(a.name) > versionAttempt(b.name);
    });
    const std::string page = escapeHtml(relativePage);
    std::string html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>History of " + page +
                       "</title></head><body><h1>History of <a href='/" + percentEncode(relativePage) + "'>" + page +
                       "</a></h1>";
    if (!restored.empty()) {
        std::string note = escapeHtml(restored);
        for (const Version& version : versions)
            if (version.name == restored) note = "the version saved " + shownTime(version.local);
        html += "<p><strong>Restored " + note + ".</strong> The page it replaced is kept below.</p>";
    }
    if (versions.empty()) html += "<p>No earlier versions are kept of this page.</p>";
    else html += "<table><tr><th>Saved</th><th>Size</th><th>Kind</th><th></th><th></th></tr>";
    for (const Version& version : versions) {
        std::string link = "/";
        link.append(historyFolderName).append("/").append(percentEncode(relativePage)).append("/");
        link.append(percentEncode(version.name));
        html += "<tr><td>" + shownTime(version.local) + "</td><td>" + shownSize(version.size) + "</td><td>" +
                std::string(kindText(version.kind)) + "</td><td><a href='" + link +
                "' target=\"_blank\" rel=\"noopener noreferrer\">open</a></td><td><form method=\"post\" action=\"" +
                std::string(historyPagePath) + "\"><input type=\"hidden\" name=\"page\" value=\"" + page +
                "\"><input type=\"hidden\" name=\"version\" value=\"" + escapeHtml(version.name) +
                "\"><button type=\"submit\">restore</button></form></td></tr>";
    }
    if (!versions.empty()) html += "</table>";
    return html + "</body></html>";
}

namespace {

// The page a history request names (its path below the root), when it names
// one that may have a history: an .html/.htm name inside the root, outside
// the history itself; nothing otherwise.
std::optional<std::string> namedPage(const std::map<std::string, std::string>& fields) {
    auto page = fields.find("page");
    if (page == fields.end()) return std::nullopt;
    const std::string& name = page->second;
    std::string url = "/" + name;
    if (name.empty() || name.front() == '/' || name.front() == '\\' || name.find('\0') != std::string::npos ||
        hasParentSegment(name) || !namesPage(url) || inHistory(url) ||
        (platform::windowsFileNames && hasWindowsAliasSegment(name)))
        return std::nullopt;
    return name;
}

} // namespace

void RequestHandler::sendHistoryPage() {
    std::map<std::string, std::string> fields = parseForm(query);
    std::string root = getConfig("root");
    std::optional<std::string> page = namedPage(fields);
    consoleLine("history page for " + (page ? *page : std::string("no page")));
    if (!page) return send(notFoundPage(root));
    std::vector<Version> versions = versionsIn(historyFolderOf(root, *page));
    send(wikiListResponse(historyPage(*page, std::move(versions), fields["restored"])));
}

void RequestHandler::restoreVersion() {
    std::map<std::string, std::string> fields = parseForm(body);
    std::string root = getConfig("root");
    auto refuse = [&](std::string_view status, const std::string& cause) {
        consoleLine("refusing to restore: " + cause);
        send(plainAnswer(status, "Not restored: " + cause + ".\n"));
        keepOpen = 0;
    };
    std::optional<std::string> page = namedPage(fields);
    if (!page) return refuse("404 Not Found", "the form names no page of the served folder");
    std::optional<Version> version = parseVersionName(fields["version"]);
    std::string folder = historyFolderOf(root, *page);
    std::string versionPath = folder + platform::pathSeparator + fields["version"];
    if (!version || platform::entryKind(versionPath) != platform::EntryKind::File)
        return refuse("404 Not Found", "the form names no kept version of " + *page);

    std::string content = platform::readWholeFile(versionPath);
    // As an empty save is refused: no wiki is ever emptied by its history.
    if (content.empty()) return refuse("400 Bad Request", "the version " + version->name + " is empty");
    consoleLine("restoring " + *page + " to the version " + version->name);
    // Replaced as a save replaces it: the page it replaces joins the history.
    std::optional<ReplaceFailure> failure =
        replaceInPlace(inPlacePaths(root, *page), *page, content, replacedFiles, true);
    if (failure) {
        SaveFailureReport report = describeSaveFailure(failure->step, failure->error.code(), *page, "backup");
        return refuse("500 Internal Server Error", report.cause + " (" + failure->error.what() + ")");
    }
    send("HTTP/1.1 303 See Other\r\nLocation: " + historyPageUrl(*page, version->name) +
         "\r\nContent-Length: 0\r\n\r\n");
    keepOpen = 0;
}

} // namespace fernhollow
