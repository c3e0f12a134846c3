#include "scripts/gateway.h"

#include "platform/files.h"
#include "platform/paths.h"
#include "base/text.h"

#include <array>
#include <optional>

namespace fernhollow {

namespace {

// A head line whose name (in any letter case) sets a CGI variable.
struct ScannedHeader {
    std::string_view prefix;
    const char* variable;
    const char* message;
};

constexpr std::array<ScannedHeader, 3> scannedHeaders{{
    {"cookie:", "HTTP_COOKIE", "updated cookie is "},
    {"content-type:", "CONTENT_TYPE", "updated content type is "},
    {"content-length:", "CONTENT_LENGTH", "updated content length is "},
}};

// A "Status:" line prefix the gateway understands, and the status line it gives.
struct StatusRow {
    std::string_view prefix;
    std::string_view statusLine;
};

constexpr std::array<StatusRow, 4> statusTable{{
    {"Status: 302 Found", "HTTP/1.1 302 Found\r\n"},
    {"Status: 404 Not Found", "HTTP/1.1 404 Not Found\r\n"},
    {"Status: 500", "HTTP/1.1 500 Internal Server Error\r\n"},
    {"Status: 403 Login Failed", "HTTP/1.1 403 Login Failed\r\n"},
}};

} // namespace

std::string scriptName(std::string_view url) {
    std::size_t question = url.find('?');
    if (question == std::string_view::npos || question == 0) return std::string(url);
    return std::string(url.substr(0, question));
}

std::string scriptFileName(std::string_view root, std::string_view path) {
    std::string joined(root);
    joined.append(path);
    return systemPathForm(joined);
}

std::string requestScriptFile(std::string_view root, std::string_view path, std::string_view url) {
    // A request without a decoded path runs the script its target names.
    return path.empty() ? scriptFileName(root, scriptName(url)) : scriptFileName(root, path);
}

std::string remoteAddress(std::string_view peer) {
    return std::string(peer.substr(0, peer.find(':')));
}

CgiEnvironment buildCgiEnvironment(const CgiRequest& request) {
    CgiEnvironment environment;
    auto& variables = environment.variables;
    for (const std::string& line : request.headLines) {
        // Only the name is compared without case; the value keeps its bytes.
        std::string lowered = lowerAscii(line);
        for (const ScannedHeader& header : scannedHeaders) {
            if (!beginsWith(lowered, header.prefix)) continue;
            // The byte after the colon (normally a blank) is skipped; a line
            // that ends at the colon has no value and sets nothing.
            std::size_t valueAt = header.prefix.size() + 1;
            if (line.size() >= valueAt) {
                variables[header.variable] = line.substr(valueAt);
                environment.messages.push_back(header.message + variables[header.variable]);
            }
            break;
        }
    }
    std::string address = remoteAddress(request.peerAddress);
    std::string name = scriptName(request.url);
    variables["REMOTE_ADDR"] = address;
    variables["REQUEST_METHOD"] = request.method;
    variables["REDIRECT_STATUS"] = "200";
    variables["SCRIPT_FILENAME"] = requestScriptFile(request.root, request.path, request.url);
    variables["SCRIPT_NAME"] = name;
    variables["REMOTE_HOST"] = address;
    variables["QUERY_STRING"] = request.query;
    variables["SERVER_PORT"] = request.port;
    variables["SERVER_PROTOCOL"] = "HTTP/1.1";
    variables["SERVER_SOFTWARE"] = "Fernhollow/1.0";
    variables["SERVER_NAME"] = request.ip;
    variables["HTTP_HOST"] = request.ip + ":" + request.port;
    variables["DOCUMENT_ROOT"] = request.root;
    return environment;
}

CgiAnswer translateCgiOutput(std::string_view output) {
    CgiAnswer answer;
    std::string_view statusLine = cgiOkStatusLine;
    bool statusRecognised = false;
    std::string locationText;
    std::string pendingText;
    for (std::string_view line : headerLines(output)) {
        const StatusRow* row = nullptr;
        for (const StatusRow& candidate : statusTable) {
            if (beginsWith(line, candidate.prefix)) {
                row = &candidate;
                break;
            }
        }
        if (row != nullptr) {
            // A later status line wins, and Location lines seen before it go.
            statusLine = row->statusLine;
            locationText.clear();
            statusRecognised = true;
        } else if (beginsWith(line, "Location")) {
            if (split(line, " ").size() < 2) {
                answer.messages.emplace_back("Expected Location header to contain a URL, nothing was there");
            } else {
                locationText.append(line);
                locationText.append("\r\n");
            }
        } else {
            pendingText.append(line);
            pendingText.append("\r\n");
        }
    }
    if (statusRecognised) {
        // The body is not sent; the pending text already ends with the
        // header block's empty line, and one more "\r\n" follows it.
        answer.response.reserve(statusLine.size() + locationText.size() + pendingText.size() + 2);
        answer.response.append(statusLine);
        answer.response.append(locationText);
        answer.response.append(pendingText);
        answer.response.append("\r\n");
    } else {
        answer.response.reserve(cgiOkStatusLine.size() + output.size());
        answer.response.append(cgiOkStatusLine);
        answer.response.append(output);
        answer.passesOutput = true;
    }
    return answer;
}

std::size_t cgiHeadSize(std::string_view start, bool complete) {
    // The cuts of headerLines: an empty first line or a first line "--"
    // ends the head at once; otherwise the first CRLF CRLF does (every CRLF
    // is a cut, as two cannot overlap).
    if (start.starts_with("\r\n")) return 2;
    if (start.starts_with("--\r\n")) return 4;
    std::size_t at = start.find("\r\n\r\n");
    if (at != std::string_view::npos) return at + 4;
    return complete ? start.size() : std::string_view::npos;
}

std::string interpreterScriptPath(const std::string& fileName) {
    // The interpreter refuses any script path holding a ".." segment
    // ("No input file specified."), which a root such as "../site/" gives;
    // the same file is named by its folder resolved.
    if (!hasParentSegment(fileName)) return fileName;
    std::size_t slash = platform::lastSeparatorAt(fileName);
    std::string folder = slash == std::string::npos ? "." : fileName.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    std::optional<std::string> resolved = platform::resolvedPath(folder);
    if (!resolved) return fileName;
    if (!endsWith(*resolved, platform::separatorText)) resolved->push_back(platform::pathSeparator);
    return *resolved + name;
}

} // namespace fernhollow
