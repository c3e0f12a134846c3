// Restore forms of arbitrary bytes: every field read back survives being
// written again with each byte escaped, so no byte of a page or version
// name is lost or changed on the way, and a field needs its "=".
#include "wiki/versions.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

namespace {

// `text` with every byte written as %XX, as a browser may send it.
std::string escapedEveryByte(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string escaped;
    for (unsigned char c : text) escaped.append({'%', digits[c >> 4], digits[c & 15]});
    return escaped;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> fields = fernhollow::parseForm(input);
    std::size_t equals = 0;
    for (char c : input) equals += c == '=';
    if (fields.size() > equals) std::abort();
    std::string again;
    for (const auto& [name, value] : fields) {
        if (!again.empty()) again.push_back('&');
        again.append(escapedEveryByte(name)).append("=").append(escapedEveryByte(value));
    }
    if (fernhollow::parseForm(again) != fields) std::abort();
    return 0;
}
