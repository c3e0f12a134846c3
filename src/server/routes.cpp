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
#include "scripts/script_post.h"
#include "server/loop.h"
#include "server/server.h"
#include "wiki/files.h"
#include "wiki/history.h"
#include "wiki/put.h"
#include "wiki/upload.h"
#include "wiki/versions.h"
#include "wiki/wikilist.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

namespace {

// Every request the server answers, by method and path; the first row that
// matches decides.
constexpr Route routeTable[] = {
    {"GET", Match::Exact, "/tiddly", listAnswer},
    {"GET", Match::Exact, historyPagePath, historyPageAnswer},
    {"GET", Match::Any, "", fileAnswer},
    {"HEAD", Match::Exact, "/tiddly", listAnswer},
    {"HEAD", Match::Exact, historyPagePath, historyPageAnswer},
    {"HEAD", Match::Any, "", fileHeadAnswer},
    {"OPTIONS", Match::Any, "", optionsAnswerFor},
    // A script's name wins over the save's ("/savetiddly.php" is a script).
    {"POST", Match::Script, "", nullptr, startScriptPost},
    {"POST", Match::Prefix, "/savetiddly", nullptr, startUpload},
    {"POST", Match::Exact, historyPagePath, nullptr, startRestore},
    {"POST", Match::Any, "", nullptr, nullptr},
    {"PUT", Match::Any, "", nullptr, startPut},
};

// Whether `route` is for a request of `method` on the decoded `path`.
bool matches(const Route& route, const std::string& method, const std::string& path) {
    if (route.method != method) return false;
    switch (route.match) {
    case Match::Any: return true;
    case Match::Exact: return path == route.path;
    case Match::Prefix: return path.starts_with(route.path);
    case Match::Script: return namesScript(path);
    }
    return false;
}

} // namespace

const Route* findRoute(const Request& request) {
    const std::string& method = request.method();
    const std::string& path = request.pathOrEmpty();
    const Route* found = std::find_if(std::begin(routeTable), std::end(routeTable),
                                      [&](const Route& route) { return matches(route, method, path); });
    return found == std::end(routeTable) ? nullptr : found;
}

void RequestHandler::handleRequest() {
    const std::vector<std::string>& headLines = request.headLines;
    if (std::optional<std::string> reason = refusalReason(headLines, listenerIsLoopback, settings().ip)) {
        consoleLine("request refused: " + *reason);
        send(forbiddenAnswer(*reason));
        enter(Phase::Answered);
        return;
    }
    if (!admitted()) return;
    if (hasUnsupportedTransferEncoding(headLines)) {
        // Its body would be taken for raw bytes: nothing is saved or run.
        consoleLine("request refused: a Transfer-Encoding other than identity");
        send(notImplementedAnswer());
        enter(Phase::Answered);
        return;
    }
    const std::string& method = request.method();
    if (!request.line || (request.line->target.empty() && (method == "GET" || method == "POST"))) {
        send(badRequestLineAnswer());
        enter(Phase::Answered);
        return;
    }
    const Route* route = findRoute(request);
    if (route && !request.path) {
        // File names hold no NUL; letting one through would cut the name short
        // at the system call and reach another file.
        consoleLine("request refused: the path holds %00, which names no file");
        send(notFoundPage(settings().root));
        enter(Phase::Answered);
        return;
    }
    // Any other method gets no answer; the connection waits for its peer.
    if (!route) return;
    if (route->answer) {
        answer(route->answer(settings().root, request));
        enter(Phase::Answered);
        return;
    }
    startBody(*route);
}

void RequestHandler::startBody(const Route& route) {
    PostHeaders framing;
    if (request.method() == "POST") {
        framing = readPostHeaders(request.headLines);
        contentLength = framing.contentLength;
        boundary = framing.boundary;
    }
    if (!route.takeBody) return;
    BodyStart start = route.takeBody(settings().root, request, framing);
    if (start.refusal) {
        socket->deliver(std::move(*start.refusal));
        enter(Phase::Answered);
        return;
    }
    bodyHandler_ = std::move(start.handler);
    // A PUT's page is whole at the length its handler read from the head.
    if (request.method() == "PUT") contentLength = start.length;
    if (!start.interim.empty()) send(start.interim);
}

void RequestHandler::answer(Answer answer) {
    if (!answer.runsScript()) return socket->deliver(std::move(answer));
    // A POST's script that cannot be started fails its connection, which the
    // loop drops; any other fails as a file that cannot be sent: its request
    // gets the 400 head. The connection's own failures go on to the loop.
    if (answer.scriptMethod == "POST") return handlePhpRequest(answer.scriptMethod, answer.scriptUrl);
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
    enter(Phase::Answered);
    // A client waiting for "100 Continue" sends no body; any other is still
    // sending one, and closing on its unread bytes would reset the connection
    // before the client has read the answer.
    if (expectsContinue(request.headLines)) return false;
    try {
        std::int64_t announced = readPostHeaders(request.headLines).contentLength;
        if (announced > 0) {
            discardLeft_ = std::min(announced, limits::maxBodyBytes);
            enter(Phase::Discarding);
        }
    } catch (const std::system_error&) {
    }
    return false;
}

void RequestHandler::handlePost() {
    answerBody();
}

void RequestHandler::answerBody() {
    // A body no handler takes is read and left unanswered.
    if (!bodyHandler_) return;
    answer(bodyHandler_->answer(body));
    enter(Phase::Answered);
}

void RequestHandler::handlePhpRequest(const std::string& method, const std::string& url) {
    // A POST's body is its script's input, and the request reads no more of it.
    std::string input = method == "POST" ? std::move(body) : std::string();
    script_ = std::make_unique<ScriptJob>(method, url, request, std::move(input), scripts_);
    advanceScript(std::chrono::steady_clock::now());
}

void RequestHandler::advanceScript(std::chrono::steady_clock::time_point now) {
    if (!script_) return;
    std::optional<Answer> answer = script_->advance(now);
    if (!answer) return;
    script_.reset();
    scriptOutputSent_ = static_cast<bool>(answer->file);
    socket->deliver(std::move(*answer));
}

bool RequestHandler::holdsScriptTurn() const {
    return (script_ && script_->running()) || (scriptOutputSent_ && socket->holdsFile());
}

} // namespace fernhollow
