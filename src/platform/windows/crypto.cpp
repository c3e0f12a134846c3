#include "platform/crypto.h"

#include "platform/windows/win32.h"

#include <bcrypt.h>

#include <limits>
#include <system_error>

namespace fernhollow::platform {

namespace {

// The largest size BCrypt takes (its sizes are ULONG); MinGW's headers name no MAXULONG.
constexpr std::size_t maxUlong = std::numeric_limits<ULONG>::max();

// Raises for a BCrypt call that returned a failing NTSTATUS.
[[noreturn]] void raiseStatus(NTSTATUS status, const std::string& call) {
    throw std::system_error(static_cast<int>(status), std::system_category(), call);
}

// An open BCrypt algorithm provider, closed when its owner goes.
class Algorithm {
public:
    Algorithm(const wchar_t* name, ULONG flags) {
        NTSTATUS status = ::BCryptOpenAlgorithmProvider(&handle_, name, nullptr, flags);
        if (!BCRYPT_SUCCESS(status)) raiseStatus(status, "BCryptOpenAlgorithmProvider");
    }
    ~Algorithm() { ::BCryptCloseAlgorithmProvider(handle_, 0); }
    Algorithm(const Algorithm&) = delete;
    Algorithm& operator=(const Algorithm&) = delete;
    BCRYPT_ALG_HANDLE get() const { return handle_; }

private:
    BCRYPT_ALG_HANDLE handle_ = nullptr;
};

} // namespace

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint32_t iterations,
                         std::size_t length) {
    if (password.size() > maxUlong || salt.size() > maxUlong || length > maxUlong || iterations == 0)
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "BCryptDeriveKeyPBKDF2");
    Algorithm hmac(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    std::string derived(length, '\0');
    // BCrypt takes non-const buffers it only reads.
    std::string passwordCopy(password);
    std::string saltCopy(salt);
    NTSTATUS status = ::BCryptDeriveKeyPBKDF2(
        hmac.get(), reinterpret_cast<PUCHAR>(passwordCopy.data()), static_cast<ULONG>(passwordCopy.size()),
        reinterpret_cast<PUCHAR>(saltCopy.data()), static_cast<ULONG>(saltCopy.size()), iterations,
        reinterpret_cast<PUCHAR>(derived.data()), static_cast<ULONG>(derived.size()), 0);
    if (!BCRYPT_SUCCESS(status)) raiseStatus(status, "BCryptDeriveKeyPBKDF2");
    return derived;
}

std::string randomBytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (count > maxUlong)
        throw std::system_error(std::make_error_code(std::errc::invalid_argument), "BCryptGenRandom");
    NTSTATUS status = ::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!BCRYPT_SUCCESS(status)) raiseStatus(status, "BCryptGenRandom");
    return bytes;
}

} // namespace fernhollow::platform
