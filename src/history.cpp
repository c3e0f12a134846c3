#include "history.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

namespace fernhollow {

namespace {

constexpr std::string_view kindWords[] = {"saved", "before-shrink", "conflict", "before-restore"};
constexpr VersionKind kinds[] = {VersionKind::Saved, VersionKind::BeforeShrink, VersionKind::Conflict,
                                 VersionKind::BeforeRestore};
// The stamp every version name begins with; 'd' stands for one decimal digit.
constexpr std::string_view stampPattern = "dddd-dd-dd_dd-dd-dd";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The number the (checked) digits at `text[at, at + count)` spell.
int digitsAt(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Months counted from year 0, so that the distance between two months is a difference.
int monthNumber(const std::tm& t) { return (t.tm_year + 1900) * 12 + t.tm_mon; }

// Newest first: savedAt, then the "-N" of the name, then the name itself.
bool newerThan(const Version& a, const Version& b) {
    if (a.savedAt != b.savedAt) return a.savedAt > b.savedAt;
    int attemptA = versionAttempt(a.name), attemptB = versionAttempt(b.name);
    if (attemptA != attemptB) return attemptA > attemptB;
    return a.name > b.name;
}

} // namespace

std::string versionName(const std::tm& when, VersionKind kind, int attempt) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d", when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    std::string name = stamp;
    if (attempt > 1) {
        name += '-';
        name += std::to_string(attempt);
    }
    name += '.';
    name += kindWords[static_cast<int>(kind)];
    return name + ".html";
}

std::optional<Version> parseVersionName(std::string_view name) {
    if (name.size() < stampPattern.size()) return std::nullopt;
    for (std::size_t i = 0; i < stampPattern.size(); ++i) {
        bool digitWanted = stampPattern[i] == 'd';
        if (digitWanted ? !isDigit(name[i]) : name[i] != stampPattern[i]) return std::nullopt;
    }
    Version version;
    version.name = std::string(name);
    std::tm& t = version.local;
    int year = digitsAt(name, 0, 4), month = digitsAt(name, 5, 2);
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = digitsAt(name, 8, 2);
    t.tm_hour = digitsAt(name, 11, 2);
    t.tm_min = digitsAt(name, 14, 2);
    t.tm_sec = digitsAt(name, 17, 2);
    t.tm_isdst = -1;
    // The server names versions from the clock, which is past 1970 on every system.
    if (year < 1970 || month < 1 || month > 12 || t.tm_mday < 1 || t.tm_mday > daysInMonth(year, month) ||
        t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 59)
        return std::nullopt;

    std::string_view rest = name.substr(stampPattern.size());
    if (!rest.empty() && rest[0] == '-') {
        // The same second saved again: "-N" with N >= 2, written without leading zeros.
        std::size_t digits = 1;
        while (digits < rest.size() && isDigit(rest[digits])) ++digits;
        std::size_t count = digits - 1;
        if (count == 0 || count > 9 || rest[1] == '0' || (count == 1 && rest[1] == '1')) return std::nullopt;
        rest.remove_prefix(digits);
    }
    if (rest.size() < 6 || rest[0] != '.' || rest.substr(rest.size() - 5) != ".html") return std::nullopt;
    std::string_view word = rest.substr(1, rest.size() - 6);
    auto found = std::find(std::begin(kindWords), std::end(kindWords), word);
    if (found == std::end(kindWords)) return std::nullopt;
    version.kind = kinds[found - std::begin(kindWords)];

    std::tm copy = t;  // mktime normalizes its argument; `local` stays what the name says
    std::time_t at = std::mktime(&copy);
    if (at == static_cast<std::time_t>(-1)) return std::nullopt;
    version.savedAt = static_cast<std::int64_t>(at);
    return version;
}

int versionAttempt(std::string_view name) {
    std::string_view rest = name.substr(std::min(name.size(), stampPattern.size()));
    if (rest.empty() || rest[0] != '-') return 1;
    std::size_t end = 1;
    while (end < rest.size() && end <= 9 && isDigit(rest[end])) ++end;
    return end > 1 ? digitsAt(rest, 1, end - 1) : 1;
}

VersionKind replacedKind(std::int64_t oldSize, std::int64_t newSize) {
    // newSize < oldSize / 2, without rounding and without overflow.
    return newSize < oldSize - newSize ? VersionKind::BeforeShrink : VersionKind::Saved;
}

std::vector<std::string> versionsToRemove(std::vector<Version> versions, std::int64_t now, const std::tm& nowLocal,
                                          const HistorySettings& settings) {
    if (!settings.enabled) return {};
    std::sort(versions.begin(), versions.end(), newerThan);
    // A version from the future (the clock was set back) counts as just saved.
    auto within = [&](const Version& v, std::int64_t seconds) { return seconds > 0 && now - v.savedAt < seconds; };
    std::int64_t hourWindow = std::int64_t{settings.hours} * 3600;
    std::int64_t dayWindow = std::int64_t{settings.days} * 86400;
    std::int64_t protectWindow = std::int64_t{settings.protectDays} * 86400;
    int thisMonth = monthNumber(nowLocal);

    std::vector<bool> kept(versions.size(), false);
    // Buckets already holding their newest version; versions come newest first.
    std::set<std::pair<int, int>> hoursSeen, daysSeen;  // (month number, day * 24 + hour), (month number, day)
    std::set<int> monthsSeen;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const Version& v = versions[i];
        int month = monthNumber(v.local);
        bool protectedKind = v.kind == VersionKind::Conflict || v.kind == VersionKind::BeforeShrink;
        if (std::int64_t(i) < settings.newest) kept[i] = true;
        if (within(v, hourWindow) && hoursSeen.insert({month, v.local.tm_mday * 24 + v.local.tm_hour}).second)
            kept[i] = true;
        if (within(v, dayWindow) && daysSeen.insert({month, v.local.tm_mday}).second) kept[i] = true;
        if (settings.months > 0 && thisMonth - month < settings.months && monthsSeen.insert(month).second) kept[i] = true;
        if (protectedKind && within(v, protectWindow)) kept[i] = true;
    }

    std::int64_t total = 0;
    for (std::size_t i = 0; i < versions.size(); ++i)
        if (kept[i]) total += versions[i].size;
    // Over the cap, the oldest kept versions go first; the newest are never touched.
    std::size_t newestCount = static_cast<std::size_t>(std::max(settings.newest, 0));
    for (std::size_t i = versions.size(); i-- > newestCount && total >= settings.capBytes;) {
        if (!kept[i]) continue;
        kept[i] = false;
        total -= versions[i].size;
    }

    std::vector<std::string> removed;
    for (std::size_t i = versions.size(); i-- > 0;)
        if (!kept[i]) removed.push_back(versions[i].name);
    return removed;
}

std::string_view kindText(VersionKind kind) {
    switch (kind) {
    case VersionKind::Saved: return "saved";
    case VersionKind::BeforeShrink: return "saved (before the page shrank)";
    case VersionKind::Conflict: return "conflict copy";
    case VersionKind::BeforeRestore: return "before a restore";
    }
    return "saved";
}

} // namespace fernhollow
