// What the Windows implementations of the platform services share: UTF-8 to
// UTF-16 at every call, descriptors as handle values, and failures carrying
// the calling function's name.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace fernhollow::platform::win32 {

// UTF-16 of a UTF-8 text; raises (invalid_argument) for bytes that are not
// UTF-8 or hold a NUL, since such a text names nothing on Windows.
std::wstring wide(std::string_view text);
// UTF-8 of a UTF-16 text.
std::string narrow(std::wstring_view text);

// Handle values keep their meaning in 32 bits (Windows sign-extends them
// between 32- and 64-bit processes), so descriptors stay an int.
inline HANDLE toHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }
inline int fromHandle(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }
inline SOCKET toSocket(int fd) { return static_cast<SOCKET>(static_cast<std::intptr_t>(fd)); }
inline int fromSocket(SOCKET socket) { return static_cast<int>(static_cast<std::intptr_t>(socket)); }

// The errno value closest to a Win32 or Winsock error, so that code above the
// platform compares error conditions the same on every system.
int errnoOf(DWORD error);

// Raises std::system_error for `call` with GetLastError().
[[noreturn]] void raiseLastError(const std::string& call);
// Raises std::system_error for `call` with the given Win32 error.
[[noreturn]] void raiseError(DWORD error, const std::string& call);
// Raises NetworkError for `call` with WSAGetLastError().
[[noreturn]] void raiseLastSocketError(const std::string& call);

// Starts Windows Sockets once; every socket service calls it first.
void startSockets();

} // namespace fernhollow::platform::win32
