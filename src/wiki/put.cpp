#include "wiki/put.h"

#include "base/settings.h"
#include "http/handling.h"
#include "wiki/pages.h"
#include "wiki/places.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "base/text.h"
#include "wiki/versions.h"

#include <cstdio>
#include <deque>
#include <map>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

std::string optionsAnswer(bool puttable) {
    std::string answer = "HTTP/1.1 200 OK\r\n";
    if (puttable) answer.append("DAV: 1\r\n");
    answer.append("Allow: ").append(puttable ? allowedMethods : methodsWithoutPut);
    return answer.append("\r\nContent-Length: 0\r\n\r\n");
}

bool namesPage(std::string_view url) {
    std::string_view path = url.substr(0, url.find('?'));
    std::string name = lowerAscii(path.substr(platform::lastSeparatorAt(path) + 1));
    return (name.size() > 5 && endsWith(name, ".html")) || (name.size() > 4 && endsWith(name, ".htm"));
}

bool ifMatchAllows(std::string_view ifMatch, std::string_view current) {
    for (std::string_view item : split(ifMatch, ",")) {
        std::string tag = trimWhiteSpace(item);
        if (tag == "*" || tag == current) return true;
    }
    return false;
}

std::string conflictCopyName(std::string_view pageName, const std::tm& when, int attempt) {
    std::string stem(pageName);
    std::string lowered = lowerAscii(stem);
    if (endsWith(lowered, ".html")) stem.resize(stem.size() - 5);
    else if (endsWith(lowered, ".htm")) stem.resize(stem.size() - 4);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, ".conflict-%04d%02d%02d-%02d%02d%02d", when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    std::string name = stem;
    name.append(stamp);
    if (attempt > 1) name.append("-").append(std::to_string(attempt));
    return name.append(".html");
}

PutLength putLength(const std::vector<std::string>& headLines) {
    PutLength result;
    bool twice = false;
    std::optional<std::string> value = headerValue(headLines, "Content-Length", twice);
    auto refuse = [&](std::string_view status, const std::string& reason) {
        result.reason = reason;
        result.refusal = plainAnswer(status, "Not saved: " + reason + ".\n");
        return result;
    };
    if (!value && !twice) return refuse("411 Length Required", "a page sent by PUT needs a Content-Length");
    bool digits = value && !value->empty() && value->size() <= 18 &&
                  value->find_first_not_of("0123456789") == std::string::npos;
    if (twice || !digits) return refuse("400 Bad Request", "the Content-Length of the PUT is not one plain number");
    result.length = std::stoll(*value);
    if (result.length == 0) return refuse("400 Bad Request", "the page sent is empty");
    return result;
}

namespace {

// The page's path below the root as a URL names it, without its first "/".
std::string relativeName(std::string_view url) {
    return std::string(url.substr(url.find_first_not_of('/') == std::string_view::npos ? url.size()
                                                                                       : url.find_first_not_of('/')));
}

// Keeps `content` under a new name in `folder` (made when missing): the
// conflict copy of the page `pageName`. Returns the copy's path (raises on failure).
std::string keepConflictCopy(const std::string& folder, std::string_view pageName, const NewPage& content) {
    platform::makeFolders(folder);
    std::tm now = platform::localTimeNow();
    for (int attempt = 1; attempt < 1000; ++attempt) {
        std::string path = folder + platform::pathSeparator + conflictCopyName(pageName, now, attempt);
        if (platform::entryKind(path) != platform::EntryKind::Missing) continue;
        keepNewPage(content, path);
        return path;
    }
    throw std::system_error(std::make_error_code(std::errc::file_exists), "no free conflict copy name in " + folder);
}

// The conflict copy each stale tab made last, by page and by the stale tag
// it sent, so that a tab autosaving on replaces its own copy instead of
// adding one per save. Held for the run; the oldest entries go first.
class TabConflictCopies {
public:
    // The copy made last for `key`, if any.
    std::optional<std::string> previous(const std::string& key) const {
        auto found = copies_.find(key);
        if (found == copies_.end()) return std::nullopt;
        return found->second;
    }
    // Notes `copy` as the one made last for `key`.
    void remember(const std::string& key, const std::string& copy) {
        if (copies_.emplace(key, copy).second) order_.push_back(key);
        else copies_[key] = copy;
        if (order_.size() > limit) {
            copies_.erase(order_.front());
            order_.pop_front();
        }
    }

private:
    static constexpr std::size_t limit = 256;
    std::map<std::string, std::string> copies_;
    std::deque<std::string> order_;
};

TabConflictCopies& tabConflictCopies() {
    static TabConflictCopies copies;
    return copies;
}

// The absolute address a person opens `path` (from the served root) at: by the
// Host the request named, or the listener's own address without one.
std::string addressOf(const std::vector<std::string>& headLines, const std::string& path) {
    bool twice = false;
    std::optional<std::string> host = headerValue(headLines, "Host", twice);
    auto plain = [](const std::string& text) {
        return !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                       "0123456789.-:[]") == std::string::npos;
    };
    std::string authority =
        host && !twice && plain(*host) ? *host : settings().ip + ":" + std::to_string(settings().port);
    return "http://" + authority + path;
}

// Keeps the page a PUT sent for a version no longer on disk (`sent` says
// which it named; the page is `writer`'s when given, else `content`) and returns the answer's text, which says where it is: a
// version in the page's history, or beside the backups without a history.
// Another tab or program saved the page meanwhile, and its version stays.
std::string keepRefusedPage(const std::string& url, const std::string& sent, PageWriter* writer, std::string_view content,
                            const std::optional<HistoryKeeping>& history, const std::string& backupFolder,
                            const std::vector<std::string>& headLines, const std::string& tabKey) {
    const std::string relative = relativeName(url);
    const std::string changed = url + " changed on disk since this tab loaded it (another tab or program saved it)";
    auto keep = [&](const NewPage& page) {
        return history ? keepVersionCopy(*history, page, VersionKind::Conflict, platform::localTimeNow())
                       : keepConflictCopy(backupFolder, relative.substr(relative.rfind('/') + 1), page);
    };
    try {
        std::string copy;
        try {
            // The bytes already written beside the page become the copy: a
            // large page is not read back into memory.
            copy = keep(writer != nullptr ? NewPage(*writer) : NewPage(content));
        } catch (const std::system_error& error) {
            // A written file that can be neither linked nor copied (held
            // open in a way that forbids it) is read back instead; a full
            // disk or a write that failed would fail again.
            platform::FileFailure failure = platform::classifyFileFailure(error.code());
            if (writer == nullptr || writer->failure() || failure == platform::FileFailure::DiskFull ||
                failure == platform::FileFailure::TooLarge)
                throw;
            std::string written = writer->readBack();
            copy = keep(NewPage(written));
        }
        consoleLine("refusing to save " + url + ": the page changed since it was loaded (" + sent +
                    "); this version kept as " + copy);
        // The same stale tab saving again: its earlier copy is replaced, nothing else.
        std::optional<std::string> earlier = tabConflictCopies().previous(tabKey);
        if (earlier && *earlier != copy) {
            try {
                platform::removeFile(*earlier);
                consoleLine("this tab's earlier conflict copy " + *earlier + " is replaced by it");
            } catch (const std::system_error&) {
            }
        }
        tabConflictCopies().remember(tabKey, copy);
        // The copy's place as the user finds it below the served folder.
        std::string shown(history ? historyFolderName : std::string_view("backup"));
        shown.append("/").append(relative);
        if (history) shown.append("/");
        else shown.resize(shown.rfind('/') + 1);
        shown.append(copy.substr(platform::lastSeparatorAt(copy) + 1));
        // An address the person can open: the page's history, which lists the copy.
        std::string where = history ? addressOf(headLines, historyPageUrl(relative)) : addressOf(headLines, "/" + shown);
        return "Not saved: " + changed + ". This tab's version was kept as " + shown +
               " in the served folder. Reload the page to get the other version; this tab's changes are in the "
               "kept copy.\n" + (history ? "Open the page's history to see it:\n" : "Open the kept copy at:\n") +
               where + "\n";
    } catch (const std::system_error& error) {
        consoleLine("refusing to save " + url + ": the page changed since it was loaded, and this version could "
                    "not be kept (" + error.what() + ")");
        return "Not saved: " + changed + ", and this tab's version could not be kept (" + error.code().message() +
               "). Copy your changes elsewhere before you reload.\n";
    }
}

} // namespace

Answer optionsAnswerFor(const std::string& root, const Request& request) {
    const std::string url = pageUrl(request.pathOrEmpty());
    bool puttable = resolvePlace(root, url, PlaceUse::ReplacePage).allowed();
    consoleLine("OPTIONS request for " + url + (puttable ? ": a page PUT may save" : ""));
    return Answer::of(optionsAnswer(puttable));
}

namespace {

// A page sent by PUT: written beside the page as it arrives when PUT may
// save the page it names, else gathered by the connection; saved once whole,
// unless the page changed since the client loaded it.
class PutSave : public BodyHandler {
public:
    PutSave(const std::string& root, const Request& request, std::int64_t length);
    void received(std::string& body) override;
    bool holdsBody() const override { return !writer_; }
    std::int64_t movedOut() const override { return writer_ ? writer_->size() : 0; }
    Answer answer(std::string& body) override;
    void drop() override { writer_.reset(); }

private:
    // The refusal of a page the place or the failure rules out, with its console line.
    Answer refuse(std::string_view status, const std::string& cause);
    std::string root_;
    Request request_;
    std::int64_t length_;
    std::unique_ptr<PageWriter> writer_;
    DeferredRemovals replaced_;
};

PutSave::PutSave(const std::string& root, const Request& request, std::int64_t length)
    : root_(root), request_(request), length_(length) {
    // A page PUT may save is written beside it as it arrives (its file is
    // the one the URL names then too); whether it may is asked again once
    // it is whole. Any other target, or a folder that takes no new file, is
    // answered with the whole body in.
    Place page = resolvePlace(root_, pageUrl(request_.pathOrEmpty()), PlaceUse::ReplacePage);
    if (!page.allowed()) return;
    try {
        writer_ = std::make_unique<PageWriter>(page.mapped.filePath);
    } catch (const std::system_error&) {
    }
}

void PutSave::received(std::string& body) {
    // The page is whole at its announced length; more is no part of it.
    if (!writer_) return;
    std::size_t wanted = static_cast<std::size_t>(length_ - writer_->size());
    writer_->append(std::string_view(body).substr(0, std::min(wanted, body.size())));
    body.clear();
}

Answer PutSave::refuse(std::string_view status, const std::string& cause) {
    consoleLine("refusing to save " + pageUrl(request_.pathOrEmpty()) + ": " + cause);
    return Answer::of(plainAnswer(status, "Not saved: " + cause + ".\n"));
}

Answer PutSave::answer(std::string& body) {
    const std::string url = pageUrl(request_.pathOrEmpty());
    consoleLine("PUT request for " + url);
    Place place = resolvePlace(root_, url, PlaceUse::ReplacePage);
    if (place.refusal == PlaceRefusal::InHistory)
        return refuse("403 Forbidden", url + " is a kept version; restore it from its history page instead");
    if (place.refusal == PlaceRefusal::NotAPage) {
        consoleLine("refusing to save " + url + ": only .html and .htm pages are saved by PUT");
        std::string refusal = plainAnswer("405 Method Not Allowed", "Not saved: only .html and .htm pages are saved by PUT.\n");
        refusal.insert(refusal.find("\r\n") + 2, "Allow: " + std::string(methodsWithoutPut) + "\r\n");
        return Answer::of(refusal);
    }
    if (!place.allowed())
        return refuse("404 Not Found", "there is no page " + url + " in the served folder to replace");
    const std::string& page = place.mapped.filePath;

    // The previous version goes to the backup folder under the page's own path.
    const std::string& relative = place.relative;
    SavePaths paths = inPlacePaths(root_, relative);
    paths.pagePath = page;

    std::string current = entityTag(platform::fileStampAt(page));
    bool twice = false;
    std::optional<std::string> ifMatch = headerValue(request_.headLines, "If-Match", twice);
    if (twice || (ifMatch && !ifMatchAllows(*ifMatch, current))) {
        std::string sent = "If-Match " + ifMatch.value_or("given twice") + ", now " + current;
        // A tab is known by the stale tag it sends: every save of it names the same one.
        std::string tabKey = relative + "\n" + ifMatch.value_or("") + (twice ? "\ntwice" : "");
        return Answer::of(plainAnswer(
            "412 Precondition Failed", keepRefusedPage(url, sent, writer_.get(), body, historyOf(root_, relative),
                                                       folderOf(paths.backupPath), request_.headLines, tabKey)));
    }

    // The tag of the page as written: a program that rewrites it right after
    // gives it another tag, so this tab's next save cannot overwrite that.
    platform::FileStamp written;
    NewPage content = writer_ ? NewPage(*writer_) : NewPage(body);
    if (std::optional<ReplaceFailure> failure = replaceInPlace(paths, relative, content, replaced_, false, &written)) {
        SaveFailureReport report = describeSaveFailure(failure->step, failure->error.code(), relative, "backup");
        consoleLine("could not save " + url + ": " + report.cause + " (" + failure->error.what() + ")");
        return Answer::of(plainAnswer("500 Internal Server Error",
                                      "Not saved: " + report.cause +
                                          ". Check the served folder, then save again; the page on disk is "
                                          "unchanged.\n"));
    }
    return Answer::of("HTTP/1.1 204 No Content\r\nETag: " + entityTag(written) + "\r\n\r\n");
}

} // namespace

BodyStart startPut(const std::string& root, const Request& request, const PostHeaders&) {
    BodyStart start;
    PutLength announced = putLength(request.headLines);
    if (announced.refusal) {
        consoleLine("refusing to save " + pageUrl(request.pathOrEmpty()) + ": " + announced.reason);
        start.refusal = Answer::of(*announced.refusal);
        return start;
    }
    start.length = announced.length;
    start.handler = std::make_unique<PutSave>(root, request, announced.length);
    // A client that waits to be asked for a large page (curl) is asked at once.
    if (expectsContinue(request.headLines)) start.interim = "HTTP/1.1 100 Continue\r\n\r\n";
    return start;
}

} // namespace fernhollow
