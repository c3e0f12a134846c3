#include "platform/errors.h"

namespace fernhollow::platform {

void raiseErrno(const std::string& call) {
    throw std::system_error(errno, std::generic_category(), call);
}

void raiseNetworkErrno(const std::string& call) {
    throw NetworkError(errno, std::generic_category(), call);
}

} // namespace fernhollow::platform
