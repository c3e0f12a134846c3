// Version names both ways. A name of arbitrary bytes that reads as a version
// is exactly the name the server would give that version (no two names for
// one version); and the name made for any time, kind and attempt from the
// input reads back as just that.
#include "wiki/history.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

namespace {

// The input's bytes from `at` as an unsigned number of `count` bytes (0 past its end).
std::uint32_t number(std::string_view input, std::size_t at, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value << 8 | (i < input.size() ? std::uint8_t(input[i]) : 0);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fernhollow;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (std::optional<Version> read = parseVersionName(input)) {
        if (read->name != input) std::abort();
        if (versionName(read->local, read->kind, versionAttempt(input)) != input) std::abort();
        if (versionAttempt(input) < 1) std::abort();
    }

    // A time from the first bytes: any year the name's four digits hold from 1970 on.
    std::tm when{};
    when.tm_year = 1970 + static_cast<int>(number(input, 0, 2) % 8030) - 1900;
    when.tm_mon = static_cast<int>(number(input, 2, 1) % 12);
    when.tm_mday = 1 + static_cast<int>(number(input, 3, 1) % 28);
    when.tm_hour = static_cast<int>(number(input, 4, 1) % 24);
    when.tm_min = static_cast<int>(number(input, 5, 1) % 60);
    when.tm_sec = static_cast<int>(number(input, 6, 1) % 60);
    VersionKind kind = static_cast<VersionKind>(number(input, 7, 1) % 4);
    int attempt = 1 + static_cast<int>(number(input, 8, 4) % 999'999'999);
    std::string name = versionName(when, kind, attempt);
    std::optional<Version> back = parseVersionName(name);
    if (!back || back->kind != kind || versionAttempt(name) != attempt || back->local.tm_year != when.tm_year ||
        back->local.tm_mon != when.tm_mon || back->local.tm_mday != when.tm_mday ||
        back->local.tm_hour != when.tm_hour || back->local.tm_min != when.tm_min || back->local.tm_sec != when.tm_sec)
        std::abort();
    return 0;
}
