#include "wiki/history.h"

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

// Days from 1970-01-01 to a date of the Gregorian calendar (negative before it).
std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2;
    std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    std::int64_t yearOfEra = year - era * 400;
    std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The seconds since the epoch that `t` would stand for if it were UTC.
std::int64_t secondsAsUtc(const std::tm& t) {
    return daysFromCivil(std::int64_t{t.tm_year} + 1900, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600 +
           t.tm_min * 60 + t.tm_sec;
}

// The seconds since the epoch of the local time `local`. mktime answers -1
// both for the second before the epoch and for times it cannot give (the
// Windows C library gives none before 1970 in UTC): those take the zone's
// offset of the second day of 1970, so a page with an old file time still
// gets a time that orders it among the others.
std::int64_t localSeconds(const std::tm& local) {
    std::tm copy = local;  // mktime normalizes its argument
    std::time_t at = std::mktime(&copy);
    if (at != static_cast<std::time_t>(-1)) return static_cast<std::int64_t>(at);
    std::tm early{};
    early.tm_year = 70;
    early.tm_mday = 2;
    early.tm_isdst = -1;
    std::int64_t earlyAsUtc = secondsAsUtc(early);
    std::time_t earlyAt = std::mktime(&early);
    std::int64_t offset = earlyAt == static_cast<std::time_t>(-1) ? 0 : earlyAsUtc - static_cast<std::int64_t>(earlyAt);
    return secondsAsUtc(local) - offset;
}

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
    // A file time beyond four-digit years is named by the nearest time a name can hold.
    std::tm t = when;
    auto setTo = [&t](int year, int month, int day, int hour, int minute, int second) {
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
    };
    if (t.tm_year < -1900) setTo(0, 1, 1, 0, 0, 0);
    if (t.tm_year > 9999 - 1900) setTo(9999, 12, 31, 23, 59, 59);
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
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
    // Any year: a version is named by its page's file time, which a program may have set to any.
    if (month < 1 || month > 12 || t.tm_mday < 1 || t.tm_mday > daysInMonth(year, month) ||
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

    version.savedAt = localSeconds(t);
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

    // The `newest` most recently kept, which a save's own version always is.
    std::vector<std::size_t> byKeeping(versions.size());
    for (std::size_t i = 0; i < versions.size(); ++i) byKeeping[i] = i;
    std::stable_sort(byKeeping.begin(), byKeeping.end(),
                     [&](std::size_t a, std::size_t b) { return versions[a].keptAt > versions[b].keptAt; });
    std::size_t newestCount = std::min(static_cast<std::size_t>(std::max(settings.newest, 0)), versions.size());
    std::vector<bool> recent(versions.size(), false);
    for (std::size_t i = 0; i < newestCount; ++i) recent[byKeeping[i]] = true;

    std::vector<bool> kept = recent;
    // Buckets already holding their newest version; versions come newest first.
    std::set<std::pair<int, int>> hoursSeen, daysSeen;  // (month number, day * 24 + hour), (month number, day)
    std::set<int> monthsSeen;
    for (std::size_t i = 0; i < versions.size(); ++i) {
        const Version& v = versions[i];
        int month = monthNumber(v.local);
        bool protectedKind = v.kind == VersionKind::Conflict || v.kind == VersionKind::BeforeShrink;
        if (within(v, hourWindow) && hoursSeen.insert({month, v.local.tm_mday * 24 + v.local.tm_hour}).second)
            kept[i] = true;
        if (within(v, dayWindow) && daysSeen.insert({month, v.local.tm_mday}).second) kept[i] = true;
        if (settings.months > 0 && thisMonth - month < settings.months && monthsSeen.insert(month).second) kept[i] = true;
        if (protectedKind && within(v, protectWindow)) kept[i] = true;
    }

    std::int64_t total = 0;
    for (std::size_t i = 0; i < versions.size(); ++i)
        if (kept[i]) total += versions[i].size;
    // Over the cap, the oldest kept versions go first; the most recently kept are never touched.
    for (std::size_t i = versions.size(); i-- > 0 && total >= settings.capBytes;) {
        if (!kept[i] || recent[i]) continue;
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
