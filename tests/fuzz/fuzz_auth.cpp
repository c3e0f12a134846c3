// Authorization values and password settings of arbitrary bytes: what is
// read back must survive being written again unchanged, and nothing but a
// std::system_error may come out of a broken password hash.
#include "access/auth.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (std::optional<std::string> bytes = fernhollow::base64Decode(input)) {
        if (fernhollow::base64Decode(fernhollow::base64Encode(*bytes)) != *bytes) std::abort();
    }
    if (std::optional<fernhollow::Credentials> offered = fernhollow::basicCredentials(input)) {
        // The user name ends at the first ":", so one holding none reads back the same.
        if (offered->user.find(':') != std::string::npos) std::abort();
        auto again = fernhollow::basicCredentials("Basic " + fernhollow::base64Encode(offered->user + ":" + offered->password));
        if (!again || again->user != offered->user || again->password != offered->password) std::abort();
    }
    try {
        if (auto hash = fernhollow::parsePasswordHash(input)) {
            auto again = fernhollow::parsePasswordHash(fernhollow::formatPasswordHash(*hash));
            if (!again || again->iterations != hash->iterations || again->salt != hash->salt ||
                again->digest != hash->digest)
                std::abort();
        }
    } catch (const std::system_error&) {
    }
    return 0;
}
