// A POST to a script: its body is the script's input, so the script runs
// once the body is whole.
#pragma once

#include "http/body.h"
#include "http/request.h"

#include <string>

namespace fernhollow {

// Takes a script POST's body; once whole, answers with the script's output
// (the 404 page for a script outside the root).
BodyStart startScriptPost(const std::string& root, const Request& request, const PostHeaders& framing);

} // namespace fernhollow
