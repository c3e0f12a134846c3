// The script exchange files, in the working directory: a script request's
// body goes in through the first, the interpreter's answer comes back
// through the second. Nothing else may read or write them, so every layer
// that touches files knows their names.
#pragma once

#include "platform/paths.h"

#include <string>

namespace fernhollow {

inline const std::string phpInPath = std::string(".") + platform::pathSeparator + "php-in";
inline const std::string phpOutPath = std::string(".") + platform::pathSeparator + "php-out";

// Whether `path` names one of the exchange files (by file identity, so any
// spelling of the working directory counts).
bool isExchangeFile(const std::string& path);

} // namespace fernhollow
