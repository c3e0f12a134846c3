#include "scripts/script_job.h"

#include "base/settings.h"
#include "base/text.h"
#include "http/handling.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "scripts/gateway.h"

#include <cstddef>
#include <string_view>
#include <system_error>
#include <utility>

namespace fernhollow {

using platform::consoleLine;

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

} // namespace

Answer scriptOutputAnswer(platform::UniqueFd output) {
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

    Answer answer;
    if (headSize == std::string::npos) {
        // No header block ends within the limit: no "Status:" line of it can
        // be told apart from body text, so the output passes unchanged.
        consoleLine("script output has no end of its head within " + std::to_string(maxCgiHeadBytes) +
                    " bytes: sent unchanged behind 200 OK");
        answer.bytes.reserve(cgiOkStatusLine.size() + received.size());
        answer.bytes.append(cgiOkStatusLine);
        answer.bytes.append(received);
    } else {
        CgiAnswer translated = translateCgiOutput(std::string_view(received).substr(0, headSize));
        for (const std::string& message : translated.messages) consoleLine(message);
        answer.bytes = std::move(translated.response);
        // A recognised status line sends no body: the rest is never read.
        if (!translated.passesOutput) return answer;
        answer.bytes.append(received, headSize);
    }
    if (ended) return answer;
    answer.file = std::move(output);
    answer.fileLength = -1;
    return answer;
}

ScriptJob::ScriptJob(std::string method, std::string url, Request request, std::string input, ScriptTurn* turn)
    : method_(std::move(method)), url_(std::move(url)), request_(std::move(request)), input_(std::move(input)),
      turn_(turn) {}

std::optional<Answer> ScriptJob::advance(std::chrono::steady_clock::time_point now) {
    if (state_ == State::Waiting) {
        if (turn_ && turn_->taken) return std::nullopt;
        if (std::optional<Answer> refused = start()) return refused;
        if (turn_) return std::nullopt;
        // No loop to notice the end: the script is waited for here.
        return finish(child_->waitFor(std::chrono::seconds(timeoutSeconds_)));
    }
    if (state_ != State::Running) return std::nullopt;
    if (child_->waitFor(std::chrono::milliseconds(0))) return finish(true);
    if (now < deadline_) return std::nullopt;
    child_->kill();
    return finish(false);
}

std::optional<Answer> ScriptJob::refuseExchangeFile(const std::string& script) {
    if (!isExchangeFile(script)) return std::nullopt;
    consoleLine("request refused: the script " + script + " is an exchange file");
    state_ = State::Done;
    return Answer::of(notFoundPage(settings().root));
}

std::map<std::string, std::string> ScriptJob::environment(const std::string& script) const {
    CgiRequest cgiRequest{method_,
                          url_,
                          request_.headLines,
                          request_.pathOrEmpty(),
                          request_.query.value_or(""),
                          settings().root,
                          std::to_string(settings().port),
                          settings().ip,
                          request_.peer};
    CgiEnvironment cgi = buildCgiEnvironment(cgiRequest);
    for (const std::string& message : cgi.messages) consoleLine(message);
    cgi.variables["SCRIPT_FILENAME"] = script;
    std::map<std::string, std::string> environment = platform::currentEnvironment();
    for (auto& [name, value] : cgi.variables) environment[name] = std::move(value);
    return environment;
}

std::optional<Answer> ScriptJob::start() {
    // The exchange files hold a request body and an answer: run as a script,
    // the body would be code any client could send. Checked as the files
    // stand, before anything is written.
    std::string script = interpreterScriptPath(requestScriptFile(settings().root, request_.pathOrEmpty(), url_));
    if (std::optional<Answer> refused = refuseExchangeFile(script)) return refused;
    if (settings().phpPath.empty()) {
        // Without an interpreter this one request fails; the server goes on.
        consoleLine(missingPhpPathMessage);
        state_ = State::Done;
        return Answer::of(plainAnswer("500 Internal Server Error", std::string(missingPhpPathMessage) + "\n"));
    }
    std::map<std::string, std::string> variables = environment(script);

    // The turn is this request's from here on, until its output has gone.
    if (turn_) turn_->taken = true;
    // Fresh exchange files for every request, private to the server: whoever
    // held, linked or replaced the old ones (a script, or what it left
    // running) reaches neither the new body nor the new answer. The output
    // is read back through this very descriptor, never reopened by name.
    outputFile_ = platform::createFreshPrivateFile(phpOutPath);
    inputFile_ = platform::createFreshPrivateFile(phpInPath);
    // A script naming an exchange file that did not stand before is one now.
    if (std::optional<Answer> refused = refuseExchangeFile(script)) return refused;
    // Only a POST has a body to pass on; a GET or HEAD gives an empty input.
    if (method_ == "POST") platform::writeAll(inputFile_.get(), input_);
    platform::rewindFile(inputFile_.get());

    script_ = script;
    timeoutSeconds_ = static_cast<int>(settings().scriptTimeout.count());
    child_.emplace(platform::spawnProgram(settings().phpPath, variables, inputFile_.get(), outputFile_.get()));
    state_ = State::Running;
    // The exit status does not matter: whatever the interpreter wrote is the
    // answer, unless it runs so long that it would hold up every script after it.
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds_);
    return std::nullopt;
}

Answer ScriptJob::finish(bool finished) {
    state_ = State::Done;
    // Whatever it started has been ended with it.
    child_.reset();
    inputFile_.reset();
    if (!finished) {
        std::string limit = std::to_string(timeoutSeconds_) + " s";
        consoleLine("script " + script_ + " ended: still running after " + limit);
        return Answer::of(plainAnswer("504 Gateway Timeout",
                                      "Gateway Timeout: the script did not finish within " + limit + " and was ended.\n"));
    }
    return scriptOutputAnswer(std::move(outputFile_));
}

} // namespace fernhollow
