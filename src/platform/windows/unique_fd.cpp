#include "platform/unique_fd.h"

#include "platform/windows/win32.h"

namespace fernhollow::platform {

// A descriptor is a socket or a file handle, and each has its own close.
// Winsock refuses to close anything but its own sockets (WSAENOTSOCK, or
// WSANOTINITIALISED before the first socket) and leaves the handle alone;
// what it refuses is a file handle.
void UniqueFd::reset(int fd) {
    if (fd_ >= 0) {
        if (::closesocket(win32::toSocket(fd_)) != 0) {
            int error = ::WSAGetLastError();
            if (error == WSAENOTSOCK || error == WSANOTINITIALISED) ::CloseHandle(win32::toHandle(fd_));
        }
    }
    fd_ = fd;
}

} // namespace fernhollow::platform
