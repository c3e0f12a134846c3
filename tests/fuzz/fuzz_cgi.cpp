// Interpreter outputs of arbitrary bytes: the answer always begins with a
// status line, and unrecognised output passes whole behind "200 OK".
#include "scripts/gateway.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view output(reinterpret_cast<const char*>(data), size);
    fernhollow::CgiAnswer answer = fernhollow::translateCgiOutput(output);
    if (answer.response.rfind("HTTP/1.1 ", 0) != 0) std::abort();
    if (answer.response.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 && answer.response.substr(17) != output) std::abort();
    return 0;
}
