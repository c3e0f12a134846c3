#include "http/handling.h"

#include "access/access.h"
#include "base/config.h"
#include "base/settings.h"
#include "scripts/gateway.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "wiki/pages.h"
#include "wiki/places.h"
#include "server/server.h"
#include "base/text.h"
#include "wiki/versions.h"
#include "wiki/wikilist.h"

#include <algorithm>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

std::optional<RequestLine> parseRequestLine(std::string_view line) {
    std::vector<std::string_view> words = split(line, " ");
    if (words.size() < 2) return std::nullopt;
    return RequestLine{std::string(words[0]), std::string(words[1])};
}

SplitTarget splitTarget(std::string_view target) {
    std::vector<std::string_view> pieces = split(target, "?");
    SplitTarget result;
    if (!pieces.empty()) result.path = pieces[0];
    if (pieces.size() >= 2) result.query = std::string(pieces[1]);
    return result;
}

std::optional<std::string> decodeTargetPath(std::string_view target) {
    std::size_t pathEnd = std::min(target.find('?'), target.size());
    std::string decoded;
    decoded.reserve(target.size());
    for (std::size_t i = 0; i < pathEnd; ++i) {
        int high = target[i] == '%' && i + 2 < pathEnd ? hexDigitValue(target[i + 1]) : -1;
        int low = high >= 0 ? hexDigitValue(target[i + 2]) : -1;
        if (low < 0) {
            decoded.push_back(target[i]);
            continue;
        }
        if (high == 0 && low == 0) return std::nullopt;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    decoded.append(target.substr(pathEnd));
    return decoded;
}

PostHeaders readPostHeaders(const std::vector<std::string>& headLines) {
    std::vector<std::string_view> parameters;
    std::string withoutBlanks;
    std::string_view lengthLine;
    bool lengthSeen = false;
    for (const std::string& line : headLines) {
        if (beginsWith(line, "Content-Type:") || beginsWith(line, "Content-Disposition:")) {
            std::string_view value = line;
            skipPast(value, ":");
            withoutBlanks = removeAll(value, ' ');
            parameters = split(withoutBlanks, ";");
        } else if (beginsWith(line, "Content-Length:")) {
            lengthLine = line;
            lengthSeen = true;
        }
    }
    PostHeaders headers;
    if (lengthSeen) {
        std::vector<std::string_view> words = split(lengthLine, " ");
        if (words.size() == 2) headers.contentLength = parseSigned64(words[1], "Content-Length");
    }
    for (std::string_view parameter : parameters) {
        if (!beginsWith(parameter, "boundary")) continue;
        std::vector<std::string_view> pieces = split(parameter, "=");
        if (pieces.size() == 2) headers.boundary = pieces[1];
    }
    return headers;
}

std::string badRequestLineAnswer() {
    return plainAnswer("400 Bad Request", "Bad Request: the request line needs a method and a target.\n");
}

bool beginsWithFolder(std::string_view url, std::string_view root) {
    if (!beginsWith(url, root)) return false;
    // "/srv/wiki-other" merely begins with the text of a root "/srv/wiki".
    return root.empty() || endsWith(root, "/") || endsWith(root, "\\") || url.size() == root.size() ||
           url[root.size()] == '/' || url[root.size()] == platform::pathSeparator;
}

MappedPath mapUrlToPath(std::string_view root, std::string_view url) {
    MappedPath mapped;
    std::string joined;
    if (!contains(url, "web\\MathJax") && !beginsWithFolder(url, root)) {
        mapped.rootPrefixed = true;
        joined.append(root);
    }
    joined.append(url);
    mapped.filePath = systemPathForm(joined);
    return mapped;
}

bool namesScript(std::string_view url) {
    // Windows finds "t.PHP" under "t.php": its source must never go out as a file.
    if (platform::windowsFileNames) return contains(lowerAscii(url), ".php");
    return contains(url, ".php");
}

bool endsInScriptName(std::string_view url) {
    std::string_view path = url.substr(0, url.find('?'));
    std::string_view name = path.substr(platform::lastSeparatorAt(path) + 1);
    // Windows finds "t.PHP" under "t.php": its source must never go out as a file.
    if (platform::windowsFileNames) return endsWith(lowerAscii(name), ".php");
    return endsWith(name, ".php");
}

ContentChoice chooseContentType(std::string_view url) {
    // Decided before the table, whose earlier rules would send a script named
    // "/reveal.js/notes.php" or "/a.html.php" as a file, source and all.
    if (endsInScriptName(url)) return {ContentKind::Script, ""};
    if (contains(url, ".css")) return {ContentKind::Typed, "text/css"};
    if (endsWith(url, ".txt")) return {ContentKind::Typed, "text/plain"};
    if (contains(url, ".html")) return {ContentKind::Typed, "text/html"};
    if (contains(url, ".js")) return {ContentKind::Typed, "text/javascript"};
    if (contains(url, ".png")) return {ContentKind::Typed, "image/png"};
    if (contains(url, ".gif")) return {ContentKind::Typed, "image/gif"};
    if (namesScript(url)) return {ContentKind::Script, ""};
    if (contains(url, ".ttf")) return {ContentKind::Typed, "font/ttf"};
    return {ContentKind::Unknown, ""};
}

std::string pageUrl(std::string_view path) {
    return path == "/" ? "/index.html" : std::string(path);
}

bool isScriptUrl(std::string_view url) {
    return chooseContentType(url).kind == ContentKind::Script;
}

bool hasUnsupportedTransferEncoding(const std::vector<std::string>& headLines) {
    bool twice = false;
    std::optional<std::string> coding = headerValue(headLines, "Transfer-Encoding", twice);
    return twice || (coding && lowerAscii(*coding) != "identity");
}

std::string notImplementedAnswer() {
    return plainAnswer("501 Not Implemented",
                       "Not Implemented: this server takes request bodies only as plain bytes with a Content-Length, "
                       "not in a Transfer-Encoding.\n");
}

std::string okHead(std::string_view contentType, std::int64_t size, std::string_view etag) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: ";
    head.append(contentType);
    head.append("\r\nContent-Length: ");
    head.append(std::to_string(size));
    head.append("\r\nETag: ");
    head.append(etag);
    head.append("\r\nCache-control: no-store\r\nPragma: no-cache\r\n\r\n");
    return head;
}

std::string notFoundPage(std::string_view root) {
    std::string page = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\nDOCUMENT_ROOT=";
    page.append(root);
    page.append("\r\n<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n"
                "<html><head><title>404 Not Found</title></head>"
                "<body><h1>Not Found</h1><p>The requested URL was not found on this server."
                "</p></body></html>");
    return page;
}

bool isWikiFileName(std::string_view name) {
    std::string lowered = lowerAscii(name);
    constexpr std::string_view front = "tiddly-";
    constexpr std::string_view back = ".html";
    return lowered.size() >= front.size() + back.size() && beginsWith(lowered, front) && endsWith(lowered, back);
}

WikiEntry wikiEntry(std::string_view root, std::string_view name) {
    WikiEntry entry;
    entry.fullName = root;
    if (!root.empty() && !endsWith(root, "/") && !endsWith(root, "\\")) entry.fullName.push_back(platform::pathSeparator);
    entry.fullName.append(name);
    for (std::string_view piece : split(entry.fullName, platform::separatorText)) entry.parts.emplace_back(piece);
    // The entry's own name, also when a root ending in "\" leaves no "/" to cut at.
    entry.linkText = name;
    return entry;
}

std::string partsLine(const std::vector<std::string>& parts) {
    std::string line = "parts [";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) line.append(", ");
        line.append("\"").append(parts[i]).append("\"");
    }
    line.append("]");
    return line;
}

std::string escapeHtml(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': escaped.append("&amp;"); break;
        case '<': escaped.append("&lt;"); break;
        case '>': escaped.append("&gt;"); break;
        case '"': escaped.append("&quot;"); break;
        case '\'': escaped.append("&#39;"); break;
        default: escaped.push_back(c);
        }
    }
    return escaped;
}

std::string percentEncode(std::string_view text) {
    return escapeBytes(text, "%", "0123456789ABCDEF", [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_' || c == '~' || c == '/';
    });
}

std::string wikiListResponse(std::string_view page) {
    std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: ";
    response.append(std::to_string(page.size()));
    response.append("\r\n\r\n");
    response.append(page);
    return response;
}

void RequestHandler::handleRequest() {
    if (std::optional<std::string> reason = refusalReason(headLines, listenerIsLoopback, settings().ip)) {
        consoleLine("request refused: " + *reason);
        send(forbiddenAnswer(*reason));
        keepOpen = 0;
        return;
    }
    if (!admitted()) return;
    if (hasUnsupportedTransferEncoding(headLines)) {
        // Its body would be taken for raw bytes: nothing is saved or run.
        consoleLine("request refused: a Transfer-Encoding other than identity");
        send(notImplementedAnswer());
        keepOpen = 0;
        return;
    }
    std::optional<RequestLine> line = parseRequestLine(headLines.front());
    bool emptyTarget = line && line->target.empty() && (line->method == "GET" || line->method == "POST");
    if (!line || emptyTarget) {
        send(badRequestLineAnswer());
        keepOpen = 0;
        return;
    }
    SplitTarget target = splitTarget(line->target);
    if (target.query) query = *target.query;
    bool routed = line->method == "GET" || line->method == "HEAD" || line->method == "POST" ||
                  line->method == "PUT" || line->method == "OPTIONS";
    std::optional<std::string> decodedPath = decodeTargetPath(target.path);
    if (routed && !decodedPath) {
        // File names hold no NUL; letting one through would cut the name short
        // at the system call and reach another file.
        consoleLine("request refused: the path holds %00, which names no file");
        send(notFoundPage(settings().root));
        keepOpen = 0;
        return;
    }

    if (line->method == "GET") {
        path = *decodedPath;
        std::string url = path;
        if (url == "/") {
            consoleLine("request for url " + url);
            url.append("index.html");
        } else if (beginsWith(url, "/admin")) {
            consoleLine("admin request");
        } else if (url == "/tiddly") {
            sendTiddlyList();
            keepOpen = 0;
            return;
        } else if (url == historyPagePath) {
            sendHistoryPage();
            keepOpen = 0;
            return;
        }
        sendFile(url);
        keepOpen = 0;
    } else if (line->method == "POST") {
        path = *decodedPath;
        PostHeaders headers = readPostHeaders(headLines);
        contentLength = headers.contentLength;
        boundary = headers.boundary;
    } else if (line->method == "HEAD") {
        // The head GET would send: "/" is index.html and the query is no part of the name.
        if (*decodedPath == historyPagePath) sendHistoryPage(true);
        else if (*decodedPath == "/tiddly") sendTiddlyListHead();
        else sendHead(pageUrl(*decodedPath));
        keepOpen = 0;
    } else if (line->method == "OPTIONS") {
        handleOptions(pageUrl(*decodedPath));
        keepOpen = 0;
    } else if (line->method == "PUT") {
        path = *decodedPath;
        awaitPutBody();
    }
    // Any other method gets no answer; the connection waits for its peer.
}

bool RequestHandler::admitted() {
    if (!gate_) return true;
    Verdict verdict = gate_->check(headLines, remoteAddress(socket->peerAddress()), std::chrono::steady_clock::now());
    if (verdict.kind == Verdict::Kind::Admit) return true;
    consoleLine("request refused: " + verdict.reason);
    if (verdict.kind == Verdict::Kind::TooManyAttempts) send(tooManyAttemptsAnswer(verdict.retryAfterSeconds));
    else if (verdict.kind == Verdict::Kind::TooManyChecks) send(tooManyChecksAnswer(verdict.retryAfterSeconds));
    else send(unauthorizedAnswer());
    keepOpen = 0;
    // A client waiting for "100 Continue" sends no body; any other is still
    // sending one, and closing on its unread bytes would reset the connection
    // before the client has read the answer.
    if (expectsContinue(headLines)) return false;
    try {
        std::int64_t announced = readPostHeaders(headLines).contentLength;
        if (announced > 0) {
            discardLeft_ = std::min(announced, limits::maxBodyBytes);
            keepOpen = 1;
        }
    } catch (const std::system_error&) {
    }
    return false;
}

void RequestHandler::handlePost() {
    std::optional<RequestLine> line = parseRequestLine(headLines.front());
    std::optional<std::string> decoded = line ? decodeTargetPath(line->target) : std::nullopt;
    if (!decoded) return;
    // The tests below and the script's names see the decoded path; the query
    // keeps its bytes and never decides: "/notes.txt?x.php" is no script.
    const std::string& target = *decoded;
    if (namesScript(path)) {
        consoleLine("PHP request");
        // A script outside the root must never be run.
        if (hasParentSegment(target) || (platform::windowsFileNames && hasWindowsAliasSegment(path))) {
            send(notFoundPage(settings().root));
        } else {
            handlePhpRequest("POST", target);
        }
        keepOpen = 0;
    } else if (beginsWith(path, "/savetiddly")) {
        saveTiddly();
    } else if (path == historyPagePath) {
        restoreVersion();
    }
}

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

} // namespace

namespace {

// The content choice for a URL, with the console line of an unknown type.
ContentChoice announceContentType(const std::string& url) {
    ContentChoice choice = chooseContentType(url);
    if (choice.kind == ContentKind::Unknown) consoleLine("unhandled content-type: " + url);
    if (choice.kind == ContentKind::Script) consoleLine("handle php request");
    return choice;
}

} // namespace

namespace {

// Runs one file answer. A failing connection goes on to the loop, which drops
// it; any other failure ends the answer with the 400 head.
template <typename Answer>
void answerGuarded(Connection& connection, Answer answer) {
    try {
        answer();
    } catch (const platform::NetworkError&) {
        throw;
    } catch (...) {
        consoleLine("something failed, exception was thrown when sending file");
        connection.send(failedSendHead);
    }
}

} // namespace

namespace {

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
    start.bytes = readStart(fd, static_cast<std::size_t>(std::min<std::int64_t>(size, titleSearchBytes)));
    start.fromFile = static_cast<std::int64_t>(start.bytes.size());
    if (std::optional<std::size_t> end = bodyTagEnd(start.bytes))
        start.bytes.insert(*end, versionNotice(kept->page, kept->version));
    return start;
}

} // namespace

void RequestHandler::sendFile(const std::string& url) {
    answerGuarded(*socket, [&] {
        std::string root = settings().root;
        std::optional<std::string> filePath = locateFile(root, url);
        if (!filePath) return send(notFoundPage(root));
        platform::UniqueFd file = platform::openForReading(*filePath);
        // Size and tag from the file opened, so both describe the bytes sent.
        platform::FileStamp stamp = platform::fileStamp(file.get());
        std::int64_t size = stamp.size;
        ContentChoice choice = announceContentType(url);
        if (choice.kind == ContentKind::Script) return handlePhpRequest("GET", url);
        consoleLine("sending file " + *filePath);
        AnswerStart start = answerStart(url, file.get(), size);
        std::int64_t length = size - start.fromFile + static_cast<std::int64_t>(start.bytes.size());
        // The head says more follows, so the system may put the file's first
        // bytes in the same segment. Exactly the announced length goes out,
        // so the head never lies about the body even when the file grows
        // meanwhile; what the socket does not take at once goes as it can.
        std::string head = okHead(choice.type, length, entityTag(stamp));
        if (length == 0) return send(head);
        sendPart(head);
        if (size == start.fromFile) return send(start.bytes);
        if (!start.bytes.empty()) sendPart(start.bytes);
        socket->sendFile(std::move(file), size - start.fromFile);
    });
}

void RequestHandler::sendHead(const std::string& url) {
    answerGuarded(*socket, [&] {
        std::string root = settings().root;
        std::optional<std::string> filePath = locateFile(root, url);
        if (!filePath) return send(notFoundPage(root));
        ContentChoice choice = announceContentType(url);
        if (choice.kind == ContentKind::Script) return handlePhpRequest("GET", url);
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
        send(okHead(choice.type, length, entityTag(stamp)));
    });
}

namespace {

// The list page's whole answer, with the console lines of the wikis of the root.
std::string tiddlyListAnswer() {
    std::string root = settings().root;
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

void RequestHandler::sendTiddlyList() {
    consoleLine("main.RequestHandler.sendTiddlyList");
    send(tiddlyListAnswer());
}

void RequestHandler::sendTiddlyListHead() {
    consoleLine("main.RequestHandler.sendTiddlyList");
    std::string answer = tiddlyListAnswer();
    send(answer.substr(0, answer.find("\r\n\r\n") + 4));
}

} // namespace fernhollow
