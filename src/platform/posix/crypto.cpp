#include "platform/crypto.h"

#include "platform/errors.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <system_error>

namespace fernhollow::platform {

namespace {

// Raises for a libcrypto call that reported failure (it sets no errno).
[[noreturn]] void raiseCryptoFailure(const std::string& call) {
    throw std::system_error(std::make_error_code(std::errc::io_error), call);
}

} // namespace

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                         std::size_t length) {
    if (password.size() > INT_MAX || salt.size() > INT_MAX || length > INT_MAX || iterations == 0 ||
        iterations > INT_MAX)
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "PKCS5_PBKDF2_HMAC");
    std::string derived(length, '\0');
    if (PKCS5_PBKDF2_HMAC(password.empty() ? "" : password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.empty() ? "" : salt.data()),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                          static_cast<int>(length), reinterpret_cast<unsigned char*>(derived.data())) != 1)
        raiseCryptoFailure("PKCS5_PBKDF2_HMAC");
    return derived;
}

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (count > INT_MAX || RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1)
        raiseCryptoFailure("RAND_bytes");
    return bytes;
}

} // namespace fernhollow::platform
