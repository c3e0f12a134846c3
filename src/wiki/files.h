// Answers with the files of the document root: GET and HEAD of a page,
// a kept version (shown with a notice that it is one), or any other file.
#pragma once

#include "http/answer.h"
#include "http/request.h"

#include <string>

namespace fernhollow {

// Answers GET of a file of the root ("/" is index.html), or the 404 page;
// a ".php" file's answer is its script's output.
Answer fileAnswer(const std::string& root, const Request& request);

// Answers HEAD of a file of the root with the head GET gets.
Answer fileHeadAnswer(const std::string& root, const Request& request);

} // namespace fernhollow
