#include "server/routes.h"

#include "access/access.h"
#include "base/config.h"
#include "base/settings.h"
#include "base/text.h"
#include "http/handling.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/paths.h"
#include "scripts/gateway.h"
#include "server/server.h"
#include "wiki/files.h"
#include "wiki/history.h"
#include "wiki/put.h"
#include "wiki/versions.h"
#include "wiki/wikilist.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

namespace {

Answer listPage(const std::string& root, const Request&) {
    return listAnswer(root, false);
}

Answer listHead(const std::string& root, const Request&) {
    return listAnswer(root, true);
}

Answer historyGet(const std::string& root, const Request& request) {
    return historyPageAnswer(root, request, false);
}

Answer historyHead(const std::string& root, const Request& request) {
    return historyPageAnswer(root, request, true);
}

// Every request the server answers, by method and path; the first row that
// matches decides. A row without an answer takes a body first.
constexpr Route routeTable[] = {
    {"GET", "/tiddly", listPage},
    {"GET", historyPagePath, historyGet},
    {"GET", "", fileAnswer},
    {"HEAD", "/tiddly", listHead},
    {"HEAD", historyPagePath, historyHead},
    {"HEAD", "", fileHeadAnswer},
    {"OPTIONS", "", optionsAnswerFor},
    {"POST", "", nullptr, BodyUse::Form},
    {"PUT", "", nullptr, BodyUse::Page},
};

} // namespace

const Route* findRoute(const Request& request) {
    const std::string& method = request.method();
    const std::string& path = request.pathOrEmpty();
    auto matches = [&](const Route& route) {
        return route.method == method && (route.path.empty() || route.path == path);
    };
    const Route* found = std::find_if(std::begin(routeTable), std::end(routeTable), matches);
    return found == std::end(routeTable) ? nullptr : found;
}

void RequestHandler::handleRequest() {
    const std::vector<std::string>& headLines = request.headLines;
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
    const std::string& method = request.method();
    if (!request.line || (request.line->target.empty() && (method == "GET" || method == "POST"))) {
        send(badRequestLineAnswer());
        keepOpen = 0;
        return;
    }
    bool routed = method == "GET" || method == "HEAD" || method == "POST" || method == "PUT" || method == "OPTIONS";
    if (routed && !request.path) {
        // File names hold no NUL; letting one through would cut the name short
        // at the system call and reach another file.
        consoleLine("request refused: the path holds %00, which names no file");
        send(notFoundPage(settings().root));
        keepOpen = 0;
        return;
    }
    const Route* route = findRoute(request);
    // Any other method gets no answer; the connection waits for its peer.
    if (!route) return;
    if (route->answer) {
        answer(route->answer(settings().root, request));
        keepOpen = 0;
    } else if (route->body == BodyUse::Form) {
        PostHeaders headers = readPostHeaders(headLines);
        contentLength = headers.contentLength;
        boundary = headers.boundary;
    } else {
        awaitPutBody();
    }
}

void RequestHandler::answer(Answer answer) {
    if (!answer.runsScript()) return socket->deliver(std::move(answer));
    // A script that cannot be started fails as a file that cannot be sent:
    // its request gets the 400 head, and the connection's own failures go
    // on to the loop.
    try {
        handlePhpRequest(answer.scriptMethod, answer.scriptUrl);
    } catch (const platform::NetworkError&) {
        throw;
    } catch (...) {
        consoleLine("something failed, exception was thrown when sending file");
        send(failedSendHead);
    }
}

bool RequestHandler::admitted() {
    if (!gate_) return true;
    Verdict verdict = gate_->check(request.headLines, remoteAddress(request.peer), std::chrono::steady_clock::now());
    if (verdict.kind == Verdict::Kind::Admit) return true;
    consoleLine("request refused: " + verdict.reason);
    if (verdict.kind == Verdict::Kind::TooManyAttempts) send(tooManyAttemptsAnswer(verdict.retryAfterSeconds));
    else if (verdict.kind == Verdict::Kind::TooManyChecks) send(tooManyChecksAnswer(verdict.retryAfterSeconds));
    else send(unauthorizedAnswer());
    keepOpen = 0;
    // A client waiting for "100 Continue" sends no body; any other is still
    // sending one, and closing on its unread bytes would reset the connection
    // before the client has read the answer.
    if (expectsContinue(request.headLines)) return false;
    try {
        std::int64_t announced = readPostHeaders(request.headLines).contentLength;
        if (announced > 0) {
            discardLeft_ = std::min(announced, limits::maxBodyBytes);
            keepOpen = 1;
        }
    } catch (const std::system_error&) {
    }
    return false;
}

void RequestHandler::handlePost() {
    std::optional<std::string> decoded = request.decodedTarget();
    if (!decoded) return;
    const std::string& path = *request.path;
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

} // namespace fernhollow
