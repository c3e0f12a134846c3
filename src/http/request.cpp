#include "http/request.h"

#include "base/text.h"

#include <algorithm>

namespace fernhollow {

namespace {

// Blanks and tabs around a header value are not part of it.
std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

} // namespace

const std::string& Request::method() const {
    static const std::string none;
    return line ? line->method : none;
}

const std::string& Request::pathOrEmpty() const {
    static const std::string none;
    return path ? *path : none;
}

std::optional<std::string> Request::decodedTarget() const {
    if (!path) return std::nullopt;
    return *path + afterPath;
}

Request parseRequestHead(std::string_view head, std::string peer) {
    Request request;
    for (std::string_view line : headerLines(head)) request.headLines.emplace_back(line);
    request.peer = std::move(peer);
    if (request.headLines.empty()) return request;
    request.line = parseRequestLine(request.headLines.front());
    if (!request.line) return request;
    SplitTarget target = splitTarget(request.line->target);
    request.query = std::move(target.query);
    request.path = decodeTargetPath(target.path);
    std::size_t question = request.line->target.find('?');
    if (question != std::string::npos) request.afterPath = request.line->target.substr(question);
    return request;
}

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

bool hasUnsupportedTransferEncoding(const std::vector<std::string>& headLines) {
    bool twice = false;
    std::optional<std::string> coding = headerValue(headLines, "Transfer-Encoding", twice);
    return twice || (coding && lowerAscii(*coding) != "identity");
}

std::optional<std::string> headerValue(const std::vector<std::string>& headLines, std::string_view name,
                                       bool& malformed) {
    std::optional<std::string> found;
    std::string wanted = lowerAscii(name) + ":";
    for (std::size_t i = 1; i < headLines.size(); ++i) {
        if (!beginsWith(lowerAscii(headLines[i].substr(0, wanted.size())), wanted)) continue;
        if (found) malformed = true;
        found = std::string(trimBlanks(std::string_view(headLines[i]).substr(wanted.size())));
    }
    return found;
}

bool expectsContinue(const std::vector<std::string>& headLines) {
    bool twice = false;
    std::optional<std::string> expect = headerValue(headLines, "Expect", twice);
    return !twice && expect && lowerAscii(*expect) == "100-continue";
}

bool comesFromBrowser(const std::vector<std::string>& headLines) {
    bool twice = false;
    bool fetchSite = headerValue(headLines, "Sec-Fetch-Site", twice).has_value() || twice;
    return fetchSite || headerValue(headLines, "Origin", twice).has_value() || twice;
}

} // namespace fernhollow
