// Upload bodies of arbitrary bytes: the first line is the boundary, the rest
// the body. Every range the parse yields must lie inside the body, and a
// parse that ran to its end gives parts that, joined by the delimiter again,
// are the body: no byte is lost or read twice, a page holding delimiters too.
#include "wiki/saving.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t newline = input.find('\n');
    std::string_view boundary = newline == std::string_view::npos ? std::string_view() : input.substr(0, newline);
    std::string_view body = newline == std::string_view::npos ? input : input.substr(newline + 1);
    fernhollow::MultipartParse parse = fernhollow::parseMultipartBody(body, boundary);
    for (auto [offset, length] : parse.parts)
        if (offset > body.size() || length > body.size() - offset) std::abort();
    if (parse.contentTaken && (parse.contentOffset > body.size() || parse.contentSize > body.size() - parse.contentOffset))
        std::abort();
    for (const auto& call : parse.optionsCalls)
        if (call.firstMessage + call.messageCount > parse.messages.size()) std::abort();
    if (!parse.failure) {
        std::string joined;
        for (std::size_t i = 0; i < parse.parts.size(); ++i) {
            if (i > 0) joined.append("\r\n--").append(boundary);
            joined.append(body.substr(parse.parts[i].first, parse.parts[i].second));
        }
        if (joined != body) std::abort();
    }
    return 0;
}
