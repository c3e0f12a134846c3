// The system's own cryptography: the slow password hash and random bytes.
// Nothing here is computed by hand; libcrypto on POSIX, BCrypt on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fernhollow::platform {

// PBKDF2-HMAC-SHA256 of `password` with `salt` over `iterations` rounds,
// `length` bytes long (raises std::system_error).
std::string pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                         std::size_t length);
// `count` bytes from the system's random source (raises std::system_error).
std::string randomBytes(std::size_t count);

} // namespace fernhollow::platform
