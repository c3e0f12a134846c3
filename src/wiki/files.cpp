#include "wiki/files.h"

#include "http/handling.h"
#include "platform/console.h"
#include "platform/files.h"
#include "wiki/pages.h"
#include "wiki/places.h"
#include "wiki/versions.h"
#include "wiki/wikilist.h"

#include <algorithm>
#include <optional>

namespace fernhollow {

using platform::consoleLine;

namespace {

// Looks the URL text up, writing the mapping's console lines;
// the file path when it names a servable file, nothing when the 404 page is due.
std::optional<std::string> locateFile(const std::string& root, const std::string& url) {
    consoleLine("document root is " + root);
    consoleLine("filename is " + url);
    Place place = resolvePlace(root, url, PlaceUse::Read);
    if (place.mapped.rootPrefixed) consoleLine("updating path");
    consoleLine("requested: " + place.mapped.filePath);
    if (!place.allowed()) return std::nullopt;
    return place.mapped.filePath;
}


// The content choice for a URL, with the console line of an unknown type.
ContentChoice announceContentType(const std::string& url) {
    ContentChoice choice = chooseContentType(url);
    if (choice.kind == ContentKind::Unknown) consoleLine("unhandled content-type: " + url);
    if (choice.kind == ContentKind::Script) consoleLine("handle php request");
    return choice;
}


// The first bytes of a file answer: for a kept version opened from the
// history, its first bytes (read from `fd`) with the notice after its body
// tag, so a person sees it is no live page; the file on disk is unchanged.
struct AnswerStart {
    std::string bytes;
    std::int64_t fromFile = 0;  // how many of the file's bytes `bytes` holds
};
AnswerStart answerStart(const std::string& url, int fd, std::int64_t size) {
    AnswerStart start;
    std::optional<KeptVersion> kept = keptVersionAt(url);
    if (!kept) return start;
    start.bytes = platform::readUpTo(fd, static_cast<std::size_t>(std::min<std::int64_t>(size, titleSearchBytes)));
    start.fromFile = static_cast<std::int64_t>(start.bytes.size());
    if (std::optional<std::size_t> end = bodyTagEnd(start.bytes))
        start.bytes.insert(*end, versionNotice(kept->page, kept->version));
    return start;
}

} // namespace

namespace {

// Files up to this size are read whole into their answer.
constexpr std::int64_t smallFileBytes = 64 * 1024;

// Runs one file answer: any failure but the connection's (which the loop
// handles) ends the answer with the 400 head.
template <typename Compose>
Answer guarded(Compose compose) {
    try {
        return compose();
    } catch (...) {
        consoleLine("something failed, exception was thrown when sending file");
        return Answer::of(std::string(failedSendHead));
    }
}

// The URL a GET names: "/" is index.html.
std::string getUrl(const Request& request) {
    std::string url = request.pathOrEmpty();
    if (url == "/") {
        consoleLine("request for url " + url);
        url.append("index.html");
    } else if (url.starts_with("/admin")) {
        consoleLine("admin request");
    }
    return url;
}

} // namespace

Answer fileAnswer(const std::string& root, const Request& request) {
    const std::string url = getUrl(request);
    return guarded([&] {
        std::optional<std::string> filePath = locateFile(root, url);
        if (!filePath) return Answer::of(notFoundPage(root));
        platform::UniqueFd file = platform::openForReading(*filePath);
        // Size and tag from the file opened, so both describe the bytes sent.
        platform::FileStamp stamp = platform::fileStamp(file.get());
        std::int64_t size = stamp.size;
        ContentChoice choice = announceContentType(url);
        if (choice.kind == ContentKind::Script) return Answer::script("GET", url);
        consoleLine("sending file " + *filePath);
        AnswerStart start = answerStart(url, file.get(), size);
        std::int64_t length = size - start.fromFile + static_cast<std::int64_t>(start.bytes.size());
        // Exactly the announced length goes out, so the head never lies about
        // the body even when the file grows meanwhile.
        std::string head = okHead(choice.type, length, entityTag(stamp));
        std::int64_t rest = size - start.fromFile;
        if (rest > smallFileBytes) {
            Answer answer = Answer::of(head + start.bytes);
            answer.file = std::move(file);
            answer.fileLength = rest;
            return answer;
        }
        // A small file goes out with its head, in one send; one that shrank
        // meanwhile would make its head lie, so the answer fails instead.
        std::string content = platform::readUpTo(file.get(), static_cast<std::size_t>(rest));
        if (static_cast<std::int64_t>(content.size()) == rest) return Answer::of(head + start.bytes + content);
        consoleLine("something failed, exception was thrown when sending file");
        return Answer::of(head + std::string(failedSendHead));
    });
}

Answer fileHeadAnswer(const std::string& root, const Request& request) {
    // The head GET would send: "/" is index.html and the query is no part of the name.
    const std::string url = pageUrl(request.pathOrEmpty());
    return guarded([&] {
        std::optional<std::string> filePath = locateFile(root, url);
        if (!filePath) return Answer::of(notFoundPage(root));
        ContentChoice choice = announceContentType(url);
        if (choice.kind == ContentKind::Script) return Answer::script("GET", url);
        platform::FileStamp stamp = platform::fileStampAt(*filePath);
        std::int64_t length = stamp.size;
        // A kept version's first bytes are read for the notice GET would add; no other file's content is.
        if (keptVersionAt(url)) {
            platform::UniqueFd file = platform::openForReading(*filePath);
            stamp = platform::fileStamp(file.get());
            AnswerStart start = answerStart(url, file.get(), stamp.size);
            length = stamp.size - start.fromFile + static_cast<std::int64_t>(start.bytes.size());
        }
        consoleLine("sending HEAD response for " + *filePath);
        return Answer::of(okHead(choice.type, length, entityTag(stamp)));
    });
}

} // namespace fernhollow
