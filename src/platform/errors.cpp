#include "platform/errors.h"

#include <cerrno>

namespace fernhollow::platform {

// Both systems raise with errno values: Windows errors are mapped to them
// where they are raised, and code that makes up a failure sets errno itself.
void raiseErrno(const std::string& call) {
    throw std::system_error(errno, std::generic_category(), call);
}

void raiseNetworkErrno(const std::string& call) {
    throw NetworkError(errno, std::generic_category(), call);
}

// Both systems report file failures as errno values (Windows errors are
// mapped to them where they are raised).
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
    case EBUSY: return FileFailure::InUse;
    default: return FileFailure::Other;
    }
}

} // namespace fernhollow::platform
