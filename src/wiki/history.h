// Page history: every save keeps the page it replaced as a version in the
// page's own history folder, and the versions are thinned after each save so
// that a page's history stays bounded. This is the part that decides, without
// touching the disk: what a version is called, what a name says, and which
// versions go.
#pragma once

#include "base/settings.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

enum class VersionKind { Saved, BeforeShrink, Conflict, BeforeRestore };

// One kept version of a page, as its file name tells it.
struct Version {
    std::string name;          // its file name in the page's history folder
    std::tm local{};           // when it was saved, local time, to the second (from the name)
    std::int64_t savedAt = 0;  // the same moment, seconds since the epoch (std::mktime of `local`, tm_isdst = -1,
                               // or with the zone's offset of early 1970 where mktime cannot tell)
    std::int64_t size = 0;     // bytes (filled in by the caller from the file system; 0 in parse)
    std::int64_t keptAt = 0;   // when it was kept, on the caller's clock (filled in by the caller; 0 in parse)
    VersionKind kind = VersionKind::Saved;
};

// The file name of a version saved at local time `when`: "YYYY-MM-DD_HH-MM-SS" then "-N" for the N-th
// (N >= 2) version with the same second, then "." + kind word + ".html", kind words: "saved",
// "before-shrink", "conflict", "before-restore". Valid on Windows (no ':'), sorts by time as text.
std::string versionName(const std::tm& when, VersionKind kind, int attempt = 1);

// The version a file name stands for; nothing for any other name (strict: exact digit counts, a valid date).
std::optional<Version> parseVersionName(std::string_view name);

// The "-N" a version name carries (1 without one): which of the versions saved in the same second it is.
int versionAttempt(std::string_view name);

// The kind a replaced page of `oldSize` bytes gets when `newSize` bytes replace it: BeforeShrink when the
// new page is less than half the old one, otherwise Saved.
VersionKind replacedKind(std::int64_t oldSize, std::int64_t newSize);

// Which versions to remove (their names), given all versions of one page (any order), the time now
// (seconds since the epoch, and the same moment as local time) and the settings:
//  keep the `newest` most recently kept (by keptAt, whatever time their names carry: a name tells when its
//  page was saved, which a copied page can carry from years back); keep the newest version of each local clock hour among versions saved within
//  the last `hours` hours; of each local calendar day within the last `days` days; of each local calendar
//  month within the last `months` calendar months (the current month and the months-1 before it); keep
//  Conflict and BeforeShrink versions saved within the last `protectDays` days; remove the rest. Then, while
//  the kept versions together reach `capBytes` or more, remove the oldest kept one that is not among the
//  `newest` most recently kept (protected ones included; those are never removed, even over the cap).
//  With !enabled: nothing is removed by this function (the caller keeps no history at all then).
//  Ties of keptAt are ordered by savedAt; ties of savedAt by name: by the "-N" it carries (a higher N is
//  newer), then as text.
//  "Within the last H hours / D days" is an age below H * 3600 / D * 86400 seconds; the names come
//  oldest first.
std::vector<std::string> versionsToRemove(std::vector<Version> versions, std::int64_t now, const std::tm& nowLocal,
                                          const HistorySettings& settings);

// The kind as the history page shows it: "saved", "saved (before the page shrank)", "conflict copy",
// "before a restore".
std::string_view kindText(VersionKind kind);

} // namespace fernhollow
