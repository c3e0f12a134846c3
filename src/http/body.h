// Handlers that answer once the request's body is whole: a saved page, a
// restore form, a script's input. The connection receives the body, keeps
// it within its limits and says when it is whole; a handler never sees the
// socket, and may take the body's bytes as they arrive.
#pragma once

#include "http/answer.h"
#include "http/request.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace fernhollow {

class BodyHandler {
public:
    virtual ~BodyHandler() = default;
    // Sees the body received so far, after each receive. A handler that
    // writes the body elsewhere as it arrives moves what it wrote out of `body`.
    virtual void received(std::string& body) { (void)body; }
    // Whether the connection holds the body for it; false when it writes the
    // body elsewhere as it arrives.
    virtual bool holdsBody() const { return true; }
    // How many bytes of the body it moved out of the connection's `body`.
    virtual std::int64_t movedOut() const { return 0; }
    // Answers the request once its body (what is left of it in `body`) is whole.
    virtual Answer answer(std::string& body) = 0;
    // Lets go of what it wrote of a body that is not answered: the request
    // was refused or cut short. Called before the client learns the connection is done.
    virtual void drop() {}
};

// The start of a request's body once its head is whole: the answer of a
// refusal due at once, or the handler its body goes to, with the length to
// await (when the handler decides it) and the interim answer the client
// waits for before it sends (when it does).
struct BodyStart {
    std::optional<Answer> refusal;
    std::unique_ptr<BodyHandler> handler;
    std::int64_t length = 0;
    std::string interim;
};

} // namespace fernhollow
