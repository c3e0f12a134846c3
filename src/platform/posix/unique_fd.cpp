#include "platform/unique_fd.h"

#include <unistd.h>

namespace fernhollow::platform {

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

} // namespace fernhollow::platform
