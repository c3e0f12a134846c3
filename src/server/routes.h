// The route table: which handler answers a request, by its method and path.
// Handlers compose an answer from the request and never see the socket.
#pragma once

#include "http/answer.h"
#include "http/body.h"
#include "http/request.h"

#include <string>
#include <string_view>

namespace fernhollow {

// How a row's path is compared with the request's decoded path.
enum class Match {
    Any,     // every path
    Exact,   // the row's path exactly
    Prefix,  // any path beginning with the row's path
    Script,  // a path naming a script (".php")
};

// One row of the route table: a handler that answers at once, or one that
// takes the request's body first.
struct Route {
    std::string_view method;
    Match match = Match::Any;
    std::string_view path;
    // Answers at once, given the document root.
    Answer (*answer)(const std::string& root, const Request& request) = nullptr;
    // Starts taking the body, given the document root; with neither, the
    // body is read and nothing answers it.
    BodyStart (*takeBody)(const std::string& root, const Request& request, const PostHeaders& framing) = nullptr;
};

// The row that answers `request`; none for a method no row takes.
const Route* findRoute(const Request& request);

} // namespace fernhollow
