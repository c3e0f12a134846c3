// What a handler answers a request with. Handlers compose answers and never
// see the socket: the connection sends the answer, as the socket takes it.
#pragma once

#include "platform/unique_fd.h"

#include <cstdint>
#include <string>
#include <utility>

namespace fernhollow {

struct Answer {
    // The head, and the body when it is held in memory.
    std::string bytes;
    // A file whose next `fileLength` bytes follow `bytes` (all up to its end
    // when negative); none: nothing follows.
    platform::UniqueFd file;
    std::int64_t fileLength = 0;
    // Set instead when the answer is a script's output: the method and URL
    // the script runs for. Its output is sent once it has ended.
    std::string scriptMethod;
    std::string scriptUrl;

    // An answer of bytes only.
    static Answer of(std::string bytes) {
        Answer answer;
        answer.bytes = std::move(bytes);
        return answer;
    }
    // The output of the script `url` names, run for `method`.
    static Answer script(std::string method, std::string url) {
        Answer answer;
        answer.scriptMethod = std::move(method);
        answer.scriptUrl = std::move(url);
        return answer;
    }
    // Whether a script is to be run for the answer.
    bool runsScript() const { return !scriptUrl.empty(); }
    // The answer as a head alone, as HEAD gets it (bytes only).
    Answer headOnly() && {
        std::size_t end = bytes.find("\r\n\r\n");
        if (end != std::string::npos) bytes.resize(end + 4);
        return std::move(*this);
    }
};

} // namespace fernhollow
