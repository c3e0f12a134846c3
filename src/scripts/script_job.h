// One request's script from its routing to its answer, with the turn that
// lets one script run at a time. Nothing here sees the connection: the
// answer is handed back for whoever holds the connection to send.
#pragma once

#include "http/answer.h"
#include "http/request.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace fernhollow {

// Whether a script holds the turn: one runs at a time, as the exchange
// files have one name each. Owned by the connection loop, shared by its
// handlers.
struct ScriptTurn {
    bool taken = false;
};

// The answer made of the interpreter's output, read from the start of
// `output`: its head translated, then (when the output passes whole) the
// rest left in the file, so that it is never held whole however large it is.
Answer scriptOutputAnswer(platform::UniqueFd output);

// The script a request runs, from its routing to its answer.
class ScriptJob {
public:
    // The script `url` names, run for `method` with `request`'s head, path,
    // query and peer; `input` is what it reads (a POST's body). Given a
    // `turn`, it starts once the turn is free and is then looked after by
    // advance; without one it runs and is waited for at its first advance.
    ScriptJob(std::string method, std::string url, Request request, std::string input, ScriptTurn* turn = nullptr);
    ScriptJob(const ScriptJob&) = delete;
    ScriptJob& operator=(const ScriptJob&) = delete;

    // Starts the script when the turn is free, or looks whether it has
    // ended or run out of time by `now`; gives its answer once there is one
    // (after which the job is done), nothing while it waits or runs. Raises
    // std::system_error when the interpreter or its files fail.
    std::optional<Answer> advance(std::chrono::steady_clock::time_point now);
    // Whether the interpreter runs, holding the turn.
    bool running() const { return state_ == State::Running; }

private:
    enum class State { Waiting, Running, Done };
    // Starts the interpreter; the answer at once when the script may not or cannot run.
    std::optional<Answer> start();
    // The 404 page, with its console line, when `script` is an exchange file.
    std::optional<Answer> refuseExchangeFile(const std::string& script);
    // The environment the interpreter runs in: the server's own with the
    // CGI variables over it.
    std::map<std::string, std::string> environment(const std::string& script) const;
    // The answer of the script that has ended (`finished`) or been ended.
    Answer finish(bool finished);

    std::string method_;
    std::string url_;
    Request request_;
    std::string input_;
    ScriptTurn* turn_;
    State state_ = State::Waiting;
    std::optional<platform::ChildProcess> child_;
    platform::UniqueFd inputFile_;
    platform::UniqueFd outputFile_;
    std::string script_;
    int timeoutSeconds_ = 0;
    std::chrono::steady_clock::time_point deadline_;
};

} // namespace fernhollow
