// Upload bodies of arbitrary bytes: the first line is the boundary, the rest
// the body. Every range the parse yields must lie inside the body.
#include "saving.h"

#include <cstdint>
#include <cstdlib>
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
    return 0;
}
