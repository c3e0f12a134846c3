#include "platform/windows/win32.h"

#include "platform/errors.h"

#include <cerrno>
#include <system_error>

namespace fernhollow::platform::win32 {

std::wstring wide(std::string_view text) {
    if (text.empty()) return {};
    if (text.find('\0') != std::string_view::npos)
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "path with a NUL byte");
    int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), "text that is not UTF-8");
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::string narrow(std::wstring_view text) {
    if (text.empty()) return {};
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

int errnoOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_TOO_MANY_OPEN_FILES:
    case WSAEMFILE:
        return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case WSAENOBUFS:
        return ENOBUFS;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return ENOTSUP;
    case WSAEWOULDBLOCK:
        return EWOULDBLOCK;
    case WSAETIMEDOUT:
        return ETIMEDOUT;
    case WSAECONNRESET:
        return ECONNRESET;
    case WSAECONNABORTED:
        return ECONNABORTED;
    case WSAENOTCONN:
        return ENOTCONN;
    case WSAESHUTDOWN:
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    case WSAEADDRINUSE:
        return EADDRINUSE;
    case WSAENOTSOCK:
        return ENOTSOCK;
    default:
        return EIO;
    }
}

namespace {

// "call: the Windows error number N" on top of the errno text.
std::string describe(const std::string& call, DWORD error) {
    return call + " (Windows error " + std::to_string(error) + ")";
}

} // namespace

void raiseError(DWORD error, const std::string& call) {
    throw std::system_error(errnoOf(error), std::generic_category(), describe(call, error));
}

void raiseLastError(const std::string& call) {
    raiseError(::GetLastError(), call);
}

void raiseLastSocketError(const std::string& call) {
    DWORD error = static_cast<DWORD>(::WSAGetLastError());
    throw NetworkError(errnoOf(error), std::generic_category(), describe(call, error));
}

void startSockets() {
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) raiseError(static_cast<DWORD>(started), "WSAStartup");
}

} // namespace fernhollow::platform::win32
