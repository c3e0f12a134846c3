#include "platform/errors.h"

namespace fernhollow::platform {

// Code above the platform sets errno itself where it makes up a failure; the
// Win32 failures are raised with their own numbers in win32.cpp.
void raiseErrno(const std::string& call) {
    throw std::system_error(errno, std::generic_category(), call);
}

void raiseNetworkErrno(const std::string& call) {
    throw NetworkError(errno, std::generic_category(), call);
}

} // namespace fernhollow::platform
