#include "platform/errors.h"

namespace fernhollow::platform {

FileFailure classifyFileFailure(std::error_code code) {
    if (code.category() != std::generic_category() && code.category() != std::system_category())
        return FileFailure::Other;
    switch (code.value()) {
    case ENOENT: return FileFailure::Missing;
    case ENOTDIR: return FileFailure::NotAFolder;
    case EISDIR: return FileFailure::IsAFolder;
    case EACCES:
    case EPERM: return FileFailure::NoPermission;
    case EROFS: return FileFailure::ReadOnly;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
        return FileFailure::DiskFull;
    case EFBIG: return FileFailure::TooLarge;
    case EXDEV: return FileFailure::OtherDisk;
    default: return FileFailure::Other;
    }
}

void raiseErrno(const std::string& call) {
    throw std::system_error(errno, std::generic_category(), call);
}

void raiseNetworkErrno(const std::string& call) {
    throw NetworkError(errno, std::generic_category(), call);
}

} // namespace fernhollow::platform
