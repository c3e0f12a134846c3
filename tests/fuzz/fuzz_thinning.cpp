// History thinning on arbitrary sets of versions and settings. The input's
// first 8 bytes are the settings, then every 7 bytes one version: when it
// was saved (seconds before now, some after), its kind, its "-N" and its
// size. What thinning removes must be among the versions given, each once;
// the most recently kept are never removed; with no history nothing is; and thinning
// what it left removes nothing more (one save's thinning is all there is).
//
// Which versions count as the newest is decided in one place, newestFirst,
// with the Version each record makes in versionOf: when thinning learns of
// another order of recency, these two are what change.
#include "wiki/history.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace fernhollow;

// The moment thinning runs: a fixed time, so an input always means the same.
constexpr std::int64_t now = 1'780'000'000;

// The input's bytes from `at` as an unsigned number of `count` bytes.
std::uint32_t number(std::string_view input, std::size_t at, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value << 8 | std::uint8_t(input[i]);
    return value;
}

std::tm localOf(std::int64_t seconds) {
    std::time_t at = static_cast<std::time_t>(seconds);
    std::tm local{};
    ::localtime_r(&at, &local);
    return local;
}

// The version one record stands for, read back from its name as the server reads it.
std::optional<Version> versionOf(std::string_view record) {
    std::int64_t ago = static_cast<std::int64_t>(number(record, 0, 3)) * 4 - 4000;  // up to two years, or just after now
    VersionKind kind = static_cast<VersionKind>(number(record, 3, 1) % 4);
    int attempt = 1 + static_cast<int>(number(record, 4, 1) % 4);
    std::optional<Version> version = parseVersionName(versionName(localOf(now - ago), kind, attempt));
    if (!version) return version;
    version->size = static_cast<std::int64_t>(number(record, 5, 2)) * 64;
    // When it was kept need not follow its name (a page copied with its old time).
    version->keptAt = now - static_cast<std::int64_t>(number(record, 4, 1) >> 2) * 86400;
    return version;
}

// The order in which thinning takes versions for the newest: by when each
// was kept, then by when the name says it was saved, by its "-N", by the name.
bool newestFirst(const Version& a, const Version& b) {
    if (a.keptAt != b.keptAt) return a.keptAt > b.keptAt;
    if (a.savedAt != b.savedAt) return a.savedAt > b.savedAt;
    if (versionAttempt(a.name) != versionAttempt(b.name)) return versionAttempt(a.name) > versionAttempt(b.name);
    return a.name > b.name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (input.size() < 8) return 0;
    HistorySettings settings;
    settings.enabled = (input[0] & 1) == 0;
    settings.newest = static_cast<int>(number(input, 1, 1) % 16);
    settings.hours = static_cast<int>(number(input, 2, 1) % 50);
    settings.days = static_cast<int>(number(input, 3, 1) % 40);
    settings.months = static_cast<int>(number(input, 4, 1) % 16);
    settings.protectDays = static_cast<int>(number(input, 5, 1) % 40);
    settings.capBytes = static_cast<std::int64_t>(number(input, 6, 2)) * 256;

    // A folder holds each name once.
    std::vector<Version> versions;
    std::set<std::string> names;
    for (std::size_t at = 8; at + 7 <= input.size(); at += 7)
        if (std::optional<Version> version = versionOf(input.substr(at, 7)); version && names.insert(version->name).second)
            versions.push_back(std::move(*version));

    std::vector<std::string> removed = versionsToRemove(versions, now, localOf(now), settings);
    if (!settings.enabled && !removed.empty()) std::abort();
    std::set<std::string> gone;
    for (const std::string& name : removed)
        if (!names.count(name) || !gone.insert(name).second) std::abort();
    std::sort(versions.begin(), versions.end(), newestFirst);
    for (std::size_t i = 0; i < versions.size() && i < static_cast<std::size_t>(settings.newest); ++i)
        if (gone.count(versions[i].name)) std::abort();

    std::vector<Version> left;
    for (const Version& version : versions)
        if (!gone.count(version.name)) left.push_back(version);
    if (!versionsToRemove(left, now, localOf(now), settings).empty()) std::abort();
    return 0;
}
