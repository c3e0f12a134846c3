// The request parser alone, fed arbitrary heads: no disk, no console, no
// socket, so the fuzzer reaches millions of inputs. What every request must
// satisfy once parsed is checked, and a breach stops the run.
#include "http/request.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fernhollow;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The connection hands over the head up to its empty line.
    std::size_t end = input.find("\r\n\r\n");
    std::string_view head = end == std::string_view::npos ? input : input.substr(0, end + 4);
    Request request = parseRequestHead(head, "127.0.0.1:50000");
    if (request.path) {
        // No escape decodes to NUL, which would cut a file name short (a NUL
        // sent as it is stays one, which the file layer refuses).
        bool sentNul = request.line->target.find('\0') != std::string::npos;
        if (!sentNul && request.path->find('\0') != std::string::npos) std::abort();
        std::optional<std::string> target = request.decodedTarget();
        if (!target || target->compare(0, request.path->size(), *request.path) != 0) std::abort();
    }
    if (request.query && request.query->find('?') != std::string::npos) std::abort();
    if (!request.line && (request.path || request.query)) std::abort();
    hasUnsupportedTransferEncoding(request.headLines);
    expectsContinue(request.headLines);
    try {
        readPostHeaders(request.headLines);
    } catch (const std::system_error&) {
        // A Content-Length that is no number: the connection answers this one.
    }
    return 0;
}
