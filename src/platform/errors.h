// Failures of operating-system calls. Every failing call raises
// std::system_error carrying the call's name; a failure on a network socket
// raises NetworkError, so that the connection loop can tell the two apart.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

namespace fernhollow::platform {

class NetworkError : public std::system_error {
public:
    using std::system_error::system_error;
};

// What a failed file operation ran into, as far as a user can act on it.
enum class FileFailure {
    Missing, NotAFolder, IsAFolder, NoPermission, ReadOnly, DiskFull, TooLarge, OtherDisk,
    InUse,  // another program holds the file open (Windows)
    Other
};

// Sorts the error code of a failed file operation into what the user meets.
FileFailure classifyFileFailure(std::error_code code);

// Raises std::system_error for `call` with the current errno.
[[noreturn]] void raiseErrno(const std::string& call);
// Raises NetworkError for `call` with the current errno.
[[noreturn]] void raiseNetworkErrno(const std::string& call);

} // namespace fernhollow::platform
