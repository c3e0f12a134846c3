#include "scripts/gateway.h"

#include "base/settings.h"
#include "http/handling.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "server/server.h"
#include "base/text.h"

#include <array>
#include <chrono>
#include <optional>
#include <system_error>
#include <utility>

namespace fernhollow {

using platform::consoleLine;

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

constexpr std::string_view okStatusLine = "HTTP/1.1 200 OK\r\n";

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
    std::string_view statusLine = okStatusLine;
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
        answer.response.reserve(okStatusLine.size() + output.size());
        answer.response.append(okStatusLine);
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

namespace {

// Reads from `fd` into `bytes` behind what it holds, at most `size` bytes; 0 at the end.
std::size_t readMore(int fd, std::string& bytes, std::size_t size) {
    std::size_t had = bytes.size();
    bytes.resize(had + size);
    std::size_t got = 0;
    try {
        got = platform::readSome(fd, bytes.data() + had, size);
    } catch (...) {
        bytes.resize(had);
        throw;
    }
    bytes.resize(had + got);
    return got;
}

// Sends the interpreter's output, read from the start of `output`, as the
// answer: its head translated, then (when it passes whole) the rest straight
// from the file, so that it is never held whole however large it is.
void sendScriptAnswer(Connection& connection, platform::UniqueFd output) {
    std::string received;
    bool ended = false;
    std::size_t headSize = std::string::npos;
    try {
        platform::rewindFile(output.get());
        while (headSize == std::string::npos && received.size() < maxCgiHeadBytes) {
            ended = readMore(output.get(), received, cgiPieceSize) == 0;
            headSize = cgiHeadSize(received, ended);
        }
    } catch (const std::system_error&) {
        consoleLine("failed to read php output");
        received.clear();
        ended = true;
        headSize = 0;
    }

    std::string pending;
    if (headSize == std::string::npos) {
        // No header block ends within the limit: no "Status:" line of it can
        // be told apart from body text, so the output passes unchanged.
        consoleLine("script output has no end of its head within " + std::to_string(maxCgiHeadBytes) +
                    " bytes: sent unchanged behind 200 OK");
        pending.reserve(okStatusLine.size() + received.size());
        pending.append(okStatusLine);
        pending.append(received);
    } else {
        CgiAnswer answer = translateCgiOutput(std::string_view(received).substr(0, headSize));
        for (const std::string& message : answer.messages) consoleLine(message);
        // A recognised status line sends no body: the rest is never read.
        if (!answer.passesOutput) return connection.send(answer.response);
        pending = std::move(answer.response);
        pending.append(received, headSize);
    }
    if (ended) return connection.send(pending);
    connection.sendPart(pending);
    connection.sendFile(std::move(output), -1);
}

} // namespace

bool isExchangeFile(const std::string& path) {
    // The exchange files are looked at first: mostly there are none, and the
    // path then needs no look at all.
    return platform::sameFile(phpInPath, path) || platform::sameFile(phpOutPath, path);
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

void RequestHandler::handlePhpRequest(const std::string& method, const std::string& url) {
    script_ = std::make_unique<ScriptRun>();
    script_->method = method;
    script_->url = url;
    if (scripts_ && scripts_->taken) return;
    startScript();
    if (scripts_ || !script_) return;
    // No loop to notice the end: the script is waited for here.
    answerScript(script_->child->waitFor(std::chrono::seconds(script_->timeoutSeconds)));
}

void RequestHandler::startScript() {
    // Copies: a refusal lets script_ go.
    const std::string method = script_->method;
    const std::string url = script_->url;
    std::string root = settings().root;
    // The exchange files hold a request body and an answer: run as a script,
    // the body would be code any client could send. Checked as the files
    // stand, before anything is written.
    std::string script = interpreterScriptPath(requestScriptFile(root, request.pathOrEmpty(), url));
    auto refuseExchangeFile = [&] {
        consoleLine("request refused: the script " + script + " is an exchange file");
        script_.reset();
        send(notFoundPage(root));
    };
    if (isExchangeFile(script)) return refuseExchangeFile();

    std::string program = settings().phpPath;
    if (program.empty()) {
        // Without an interpreter this one request fails; the server goes on.
        consoleLine(missingPhpPathMessage);
        script_.reset();
        send(plainAnswer("500 Internal Server Error", std::string(missingPhpPathMessage) + "\n"));
        return;
    }

    CgiRequest cgiRequest{method,   url,  request.headLines, request.pathOrEmpty(), request.query.value_or(""),
                          root,     std::to_string(settings().port), settings().ip, request.peer};
    CgiEnvironment cgi = buildCgiEnvironment(cgiRequest);
    for (const std::string& message : cgi.messages) consoleLine(message);
    cgi.variables["SCRIPT_FILENAME"] = script;
    std::map<std::string, std::string> environment = platform::currentEnvironment();
    for (auto& [name, value] : cgi.variables) environment[name] = std::move(value);

    // The turn is this request's from here on, until its output has gone.
    if (scripts_) scripts_->taken = true;
    // Fresh exchange files for every request, private to the server: whoever
    // held, linked or replaced the old ones (a script, or what it left
    // running) reaches neither the new body nor the new answer. The output
    // is read back through this very descriptor, never reopened by name.
    script_->output = platform::createFreshPrivateFile(phpOutPath);
    script_->input = platform::createFreshPrivateFile(phpInPath);
    // A script naming an exchange file that did not stand before is one now.
    if (isExchangeFile(script)) return refuseExchangeFile();
    // Only a POST has a body to pass on; a GET or HEAD gives an empty input.
    if (method == "POST") platform::writeAll(script_->input.get(), body);
    platform::rewindFile(script_->input.get());

    script_->script = script;
    script_->timeoutSeconds = static_cast<int>(settings().scriptTimeout.count());
    script_->child.emplace(platform::spawnProgram(program, environment, script_->input.get(), script_->output.get()));
    // The exit status does not matter: whatever the interpreter wrote is the
    // answer, unless it runs so long that it would hold up every script after it.
    script_->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(script_->timeoutSeconds);
}

void RequestHandler::advanceScript(std::chrono::steady_clock::time_point now) {
    if (!script_) return;
    if (!script_->child) {
        if (scripts_ && scripts_->taken) return;
        return startScript();
    }
    if (script_->child->waitFor(std::chrono::milliseconds(0))) return answerScript(true);
    if (now >= script_->deadline) {
        script_->child->kill();
        answerScript(false);
    }
}

bool RequestHandler::holdsScriptTurn() const {
    return (script_ && script_->child) || (scriptOutputSent_ && socket->holdsFile());
}

void RequestHandler::answerScript(bool finished) {
    std::unique_ptr<ScriptRun> run = std::move(script_);
    // Whatever it started has been ended with it.
    run->child.reset();
    run->input.reset();
    if (!finished) {
        std::string limit = std::to_string(run->timeoutSeconds) + " s";
        consoleLine("script " + run->script + " ended: still running after " + limit);
        send(plainAnswer("504 Gateway Timeout",
                         "Gateway Timeout: the script did not finish within " + limit + " and was ended.\n"));
        return;
    }
    scriptOutputSent_ = true;
    sendScriptAnswer(*socket, std::move(run->output));
}

} // namespace fernhollow
