#include "base/exchange.h"

#include "platform/files.h"

namespace fernhollow {

bool isExchangeFile(const std::string& path) {
    // The exchange files are looked at first: mostly there are none, and the
    // path then needs no look at all.
    return platform::sameFile(phpInPath, path) || platform::sameFile(phpOutPath, path);
}

} // namespace fernhollow
