// A request as its head states it: the head is taken apart once, when it is
// whole, into one value that everything answering the request reads. The
// functions here only read text; none looks at a file or the console.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// The first line of a request cut at every " ": the method and the target;
// the protocol version and anything after it are not looked at.
struct RequestLine {
    std::string method;
    std::string target;
};

// One request's head, parsed.
struct Request {
    // The head's lines, the request line first and the empty line last.
    std::vector<std::string> headLines;
    // Method and target; none when the request line has fewer than two words.
    std::optional<RequestLine> line;
    // The target's path with its %XX escapes decoded; none when one decodes
    // to NUL, which names no file.
    std::optional<std::string> path;
    // The text after the target's first "?" (up to a second one), when there is one.
    std::optional<std::string> query;
    // The target from its first "?" on, as sent (empty without one).
    std::string afterPath;
    // The client as "address:port".
    std::string peer;

    // The method, or the empty text without a request line.
    const std::string& method() const;
    // The decoded path, or the empty text when there is none.
    const std::string& pathOrEmpty() const;
    // The target with its path decoded and the rest as sent; none without a path.
    std::optional<std::string> decodedTarget() const;
};

// Takes a whole head apart: `head` holds its lines, each ended by CRLF, up to
// and including the empty line (bytes after it are ignored).
Request parseRequestHead(std::string_view head, std::string peer = "");

// Method and target of a request line; nothing when it has fewer than two words.
std::optional<RequestLine> parseRequestLine(std::string_view line);

// A target cut at every "?": the path before the first one, and the text
// between the first and the next one (or the end) when there is a "?".
struct SplitTarget {
    std::string path;
    std::optional<std::string> query;
};

// Path and query of a request target.
SplitTarget splitTarget(std::string_view target);

// The target with every %XX escape of its path (the text before the first
// "?") decoded and the rest kept byte for byte, so that names in any language
// and with blanks reach their files. A "%" not followed by two hex digits
// stays as written. Nothing when an escape decodes to NUL, which names no file.
std::optional<std::string> decodeTargetPath(std::string_view target);

// What the head of a POST announces about its body.
struct PostHeaders {
    std::int64_t contentLength = 0;
    std::string boundary;
};

// Reads Content-Length and the multipart boundary from the head lines (the
// last line of each kind wins); raises std::system_error when Content-Length
// is not a signed 64-bit decimal.
PostHeaders readPostHeaders(const std::vector<std::string>& headLines);

// Whether the head announces a Transfer-Encoding other than "identity"
// (letter case ignored), which the server does not decode.
bool hasUnsupportedTransferEncoding(const std::vector<std::string>& headLines);

// The value of the only header named `name` (any letter case) among the head
// lines, trimmed of blanks and tabs; nullopt when absent; a header given
// twice yields `malformed` set to true.
std::optional<std::string> headerValue(const std::vector<std::string>& headLines, std::string_view name,
                                       bool& malformed);
// Whether the client waits for "100 Continue" before it sends its body
// (one "Expect: 100-continue", letter case ignored).
bool expectsContinue(const std::vector<std::string>& headLines);

// Whether the request comes from a browser (its head carries Sec-Fetch-Site
// or Origin, given once or more): such a client reads only a 200 answer's text.
bool comesFromBrowser(const std::vector<std::string>& headLines);

} // namespace fernhollow
