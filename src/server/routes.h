// The route table: which handler answers a request, by its method and path.
// Handlers compose an answer from the request and never see the socket.
#pragma once

#include "http/answer.h"
#include "http/request.h"

#include <string>
#include <string_view>

namespace fernhollow {

// What a request's body is for, when its handler needs it before answering.
enum class BodyUse {
    None,  // no body: the handler answers at once
    Form,  // a POST's body: an upload, a restore form or a script's input
    Page,  // a PUT's body: the page it saves, written as it arrives
};

// One row of the route table.
struct Route {
    std::string_view method;
    // The decoded path the row is for exactly; empty: any path.
    std::string_view path;
    // The handler answering at once, given the document root; none when
    // the body comes first.
    Answer (*answer)(const std::string& root, const Request& request) = nullptr;
    BodyUse body = BodyUse::None;
};

// The row that answers `request`; none for a method no row takes.
const Route* findRoute(const Request& request);

} // namespace fernhollow
