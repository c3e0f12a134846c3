#include "wiki/versions.h"

#include "base/settings.h"
#include "http/handling.h"
#include "wiki/pages.h"
#include "wiki/places.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "wiki/put.h"
#include "base/text.h"

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

// The time of a version, told apart from the others of its second by the "-N" of its name.
std::string shownVersionTime(const Version& version) {
    int attempt = versionAttempt(version.name);
    return shownTime(version.local) + (attempt > 1 ? " (" + std::to_string(attempt) + ")" : "");
}

// The address a kept version is opened at.
std::string versionAddress(std::string_view relativePage, const Version& version) {
    return "/" + std::string(historyFolderName) + "/" + percentEncode(relativePage) + "/" + percentEncode(version.name);
}

// The start of a history page or its confirmation: title, style and the way back to the list.
std::string pageStart(const std::string& title) {
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title +
           "</title><style>body{font-family:sans-serif;margin:2em}td,th{padding:.3em 1em .3em 0;text-align:left}"
           "tr.current td{font-weight:bold}</style></head><body><p><a href='/tiddly'>&larr; all wikis</a></p>";
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

std::string exactSize(std::int64_t size) {
    std::string digits = std::to_string(size < 0 ? -size : size);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
    return (size < 0 ? "-" : "") + digits + (size == 1 ? " byte" : " bytes");
}

std::string sizeChange(std::int64_t change) {
    if (change == 0) return "no change";
    std::string bytes = exactSize(change);
    return (change > 0 ? "+" : "") + bytes.substr(0, bytes.find(' '));
}

std::string keptSentence(const HistorySettings& settings) {
    const std::string megabytes = exactSize(settings.capBytes >> 20);
    return "Every save keeps the page it replaces. The " + std::to_string(settings.newest) +
           " newest versions are always kept; of older ones, the newest of each hour for " +
           std::to_string(settings.hours) + " hours, of each day for " + std::to_string(settings.days) +
           " days and of each month for " + std::to_string(settings.months) +
           " months. Conflict copies and versions from before the page shrank stay " +
           std::to_string(settings.protectDays) + " days. The versions of a page together stay under " +
           megabytes.substr(0, megabytes.find(' ')) + " MB: past that the oldest go first.";
}

std::string historyPage(std::string_view relativePage, std::vector<Version> versions, std::string_view restored,
                        const std::optional<CurrentPage>& current, const HistorySettings& settings) {
    std::sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
        if (a.savedAt != b.savedAt) return a.savedAt > b.savedAt;
        return versionAttempt(a.name) > versionAttempt(b.name);
    });
    const std::string page = escapeHtml(relativePage);
    std::string html = pageStart("History of " + page) + "<h1>History of <a href='/" + percentEncode(relativePage) +
                       "'>" + page + "</a></h1><p>" + keptSentence(settings) + "</p>";
    if (!restored.empty()) {
        std::string note = escapeHtml(restored);
        for (const Version& version : versions)
            if (version.name == restored) note = "the version saved " + shownVersionTime(version);
        html += "<p><strong>Restored " + note + ".</strong> The page it replaced is kept below.</p>";
    }
    if (versions.empty()) html += "<p>No earlier versions are kept of this page.</p>";
    html += "<table><tr><th>Saved</th><th>Size</th><th>Kind</th><th></th><th></th></tr>";
    // Each size with its change from the next older version that was the
    // page: a conflict copy never was, so nothing is measured against one.
    auto size = [&](std::int64_t bytes, std::size_t olderAt) {
        while (olderAt < versions.size() && versions[olderAt].kind == VersionKind::Conflict) ++olderAt;
        std::string cell = exactSize(bytes);
        if (olderAt < versions.size()) cell += " (" + sizeChange(bytes - versions[olderAt].size) + ")";
        return cell;
    };
    if (current)
        html += "<tr class=\"current\"><td>" + shownTime(current->saved) + "</td><td>" + size(current->size, 0) +
                "</td><td>current page</td><td><a href='/" + percentEncode(relativePage) +
                "' target=\"_blank\" rel=\"noopener noreferrer\">open</a></td><td></td></tr>";
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const Version& version = versions[i];
        html += "<tr><td>" + shownVersionTime(version) + "</td><td>" + size(version.size, i + 1) + "</td><td>" +
                std::string(kindText(version.kind)) + "</td><td><a href='" + versionAddress(relativePage, version) +
                "' target=\"_blank\" rel=\"noopener noreferrer\">open</a></td><td><a href='" +
                historyPageUrl(relativePage) + "&amp;restore=" + percentEncode(version.name) +
                "'>restore&hellip;</a></td></tr>";
    }
    return html + "</table></body></html>";
}

std::string restoreConfirmationPage(std::string_view relativePage, const Version& version,
                                    const std::optional<CurrentPage>& current) {
    const std::string page = escapeHtml(relativePage);
    std::string html = pageStart("Restore " + page + "?") + "<h1>Restore " + page + " to the version saved " +
                       shownVersionTime(version) + "?</h1><table><tr><th></th><th>Saved</th><th>Size</th>"
                       "<th>Kind</th></tr><tr><td>this version</td><td>" + shownVersionTime(version) + "</td><td>" +
                       exactSize(version.size) + "</td><td>" + std::string(kindText(version.kind)) +
                       "</td></tr><tr class=\"current\"><td>the current page</td><td>" +
                       (current ? shownTime(current->saved) + "</td><td>" + exactSize(current->size)
                                : std::string("</td><td>(missing)")) +
                       "</td><td>current page</td></tr></table><p>The current page is kept in the history, so a "
                       "restore can be undone the same way.</p><form method=\"post\" action=\"" +
                       std::string(historyPagePath) + "\"><input type=\"hidden\" name=\"page\" value=\"" + page +
                       "\"><input type=\"hidden\" name=\"version\" value=\"" + escapeHtml(version.name) +
                       "\"><button type=\"submit\">restore this version</button> <a href='" +
                       historyPageUrl(relativePage) + "'>cancel</a></form>";
    return html + "</body></html>";
}

std::optional<std::size_t> bodyTagEnd(std::string_view head) {
    std::string lowered = lowerAscii(head);
    for (std::size_t at = lowered.find("<body"); at != std::string::npos; at = lowered.find("<body", at + 5)) {
        char next = at + 5 < lowered.size() ? lowered[at + 5] : '\0';
        if (next != '>' && next != ' ' && next != '\t' && next != '\n' && next != '\r') continue;
        std::size_t end = lowered.find('>', at);
        if (end == std::string::npos) return std::nullopt;
        return end + 1;
    }
    return std::nullopt;
}

std::string versionNotice(std::string_view relativePage, const Version& version) {
    // A conflict copy holds edits that never were the page, often newer than it.
    const bool conflict = version.kind == VersionKind::Conflict;
    std::string what = conflict ? "A conflict copy of " + escapeHtml(relativePage) +
                                      " (the edits a stale tab tried to save)"
                                : "An earlier version of " + escapeHtml(relativePage);
    // Fixed at the top: a wiki puts its own page before everything else in its body.
    return "<div style=\"position:fixed;top:0;left:0;right:0;z-index:100000;padding:.5em 1em;background:#fff3b0;"
           "color:#000;border-bottom:1px solid #c9a800;font:14px sans-serif\">" +
           what + ", kept " + shownVersionTime(version) +
           "; saving here changes nothing; restore it from the <a href='" + historyPageUrl(relativePage) +
           "'>history page</a>.</div>";
}

std::optional<KeptVersion> keptVersionAt(std::string_view relative) {
    std::vector<std::string_view> segments = placeSegments(relative);
    if (segments.size() < 3 || !segmentsInHistory(segments)) return std::nullopt;
    std::optional<Version> version = parseVersionName(segments.back());
    if (!version) return std::nullopt;
    std::string page;
    for (std::size_t i = 1; i + 1 < segments.size(); ++i) page.append(i > 1 ? "/" : "").append(segments[i]);
    return KeptVersion{page, *version};
}

namespace {

// The page a history request names (its path below the root), when it names
// one that may have a history; nothing otherwise.
std::optional<std::string> namedPage(const std::string& root, const std::map<std::string, std::string>& fields) {
    auto page = fields.find("page");
    if (page == fields.end()) return std::nullopt;
    Place place = resolvePlace(root, page->second, PlaceUse::PageHistory);
    if (!place.allowed()) return std::nullopt;
    return place.relative;
}

// `answer` forbidding every site to show it in a frame: the restore
// buttons must never sit, unseen, under another site's decoy.
std::string unframed(std::string answer) {
    answer.insert(answer.find("\r\n") + 2, "X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n");
    return answer;
}

} // namespace

Answer historyPageAnswer(const std::string& root, const Request& request) {
    const bool headOnly = request.method() == "HEAD";
    std::map<std::string, std::string> fields = parseForm(request.query.value_or(""));
    std::optional<std::string> page = namedPage(root, fields);
    consoleLine("history page for " + (page ? *page : std::string("no page")));
    // HEAD gets exactly the head GET gets; no other site may frame these pages.
    auto answer = [&](std::string bytes) {
        Answer framed = Answer::of(unframed(std::move(bytes)));
        if (headOnly) return std::move(framed).headOnly();
        return framed;
    };
    if (!page) return answer(notFoundPage(root));
    std::vector<Version> versions = versionsIn(historyFolderOf(root, *page));
    std::optional<CurrentPage> current;
    std::string file = systemPathForm(savePaths(root, *page, "").pagePath);
    if (platform::entryKind(file) == platform::EntryKind::File) {
        platform::FileStamp stamp = platform::fileStampAt(file);
        current = CurrentPage{stamp.size, platform::localTimeOf(stamp.written)};
    }
    // Asked to restore: the confirmation names the version beside the current page and changes nothing.
    auto asked = fields.find("restore");
    if (asked != fields.end()) {
        for (const Version& version : versions)
            if (version.name == asked->second)
                return answer(wikiListResponse(restoreConfirmationPage(*page, version, current)));
        return answer(notFoundPage(root));
    }
    return answer(wikiListResponse(historyPage(*page, std::move(versions), fields["restored"], current, settings().history)));
}

namespace {

// A restore form: brings back the version it names once it is whole.
class RestoreForm : public BodyHandler {
public:
    explicit RestoreForm(std::string root) : root_(std::move(root)) {}
    Answer answer(std::string& body) override;

private:
    std::string root_;
    DeferredRemovals replaced_;
};

Answer RestoreForm::answer(std::string& body) {
    std::map<std::string, std::string> fields = parseForm(body);
    auto refuse = [&](std::string_view status, const std::string& cause) {
        consoleLine("refusing to restore: " + cause);
        return Answer::of(unframed(plainAnswer(status, "Not restored: " + cause + ".\n")));
    };
    std::optional<std::string> page = namedPage(root_, fields);
    if (!page) return refuse("404 Not Found", "the form names no page of the served folder");
    std::optional<Version> version = parseVersionName(fields["version"]);
    std::string folder = historyFolderOf(root_, *page);
    std::string versionPath = folder + platform::pathSeparator + fields["version"];
    if (!version || platform::entryKind(versionPath) != platform::EntryKind::File)
        return refuse("404 Not Found", "the form names no kept version of " + *page);

    std::string content = platform::readWholeFile(versionPath);
    // As an empty save is refused: no wiki is ever emptied by its history.
    if (content.empty()) return refuse("400 Bad Request", "the version " + version->name + " is empty");
    consoleLine("restoring " + *page + " to the version " + version->name);
    // Replaced as a save replaces it: the page it replaces joins the history.
    std::optional<ReplaceFailure> failure =
        replaceInPlace(inPlacePaths(root_, *page), *page, content, replaced_, true);
    if (failure) {
        SaveFailureReport report = describeSaveFailure(failure->step, failure->error.code(), *page, "backup");
        return refuse("500 Internal Server Error", report.cause + " (" + failure->error.what() + ")");
    }
    return Answer::of(unframed("HTTP/1.1 303 See Other\r\nLocation: " + historyPageUrl(*page, version->name) +
                               "\r\nContent-Length: 0\r\n\r\n"));
}

} // namespace

BodyStart startRestore(const std::string& root, const Request&, const PostHeaders&) {
    BodyStart start;
    start.handler = std::make_unique<RestoreForm>(root);
    return start;
}

} // namespace fernhollow
