#include "wiki/history.h"
#include "wiki/versions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace fernhollow;

namespace {

// Sets TZ (nothing: unset) and makes the C library read it again.
void setTimeZone(const std::optional<std::string>& value) {
#ifdef _WIN32
    ::_putenv_s("TZ", value ? value->c_str() : "");
    ::_tzset();
#else
    if (value) ::setenv("TZ", value->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
#endif
}

// Local time is UTC while a test runs, so that mktime gives the same seconds everywhere;
// "UTC0" reads the same to glibc and to the Windows C library.
class History : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* zone = std::getenv("TZ")) saved_ = zone;
        setTimeZone("UTC0");
    }
    void TearDown() override { setTimeZone(saved_); }

private:
    std::optional<std::string> saved_;
};

std::tm localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return t;
}

} // namespace

TEST_F(History, NamesMadeAndParsedBack) {
    struct Case {
        std::tm when;
        VersionKind kind;
        int attempt;
        std::string name;
        std::int64_t savedAt;
    };
    const Case cases[] = {
        {localTime(2024, 6, 15, 12, 30, 0), VersionKind::Saved, 1, "2024-06-15_12-30-00.saved.html", 1718454600},
        {localTime(2024, 6, 15, 12, 30, 0), VersionKind::BeforeShrink, 2, "2024-06-15_12-30-00-2.before-shrink.html",
         1718454600},
        {localTime(1999, 1, 2, 3, 4, 5), VersionKind::Conflict, 1, "1999-01-02_03-04-05.conflict.html", 915246245},
        {localTime(2024, 2, 29, 23, 59, 59), VersionKind::BeforeRestore, 17,
         "2024-02-29_23-59-59-17.before-restore.html", 1709251199},
        {localTime(2000, 12, 31, 0, 0, 0), VersionKind::Saved, 1000, "2000-12-31_00-00-00-1000.saved.html",
         978220800},
        {localTime(1970, 1, 1, 0, 0, 0), VersionKind::Saved, 0, "1970-01-01_00-00-00.saved.html", 0},
        {localTime(2100, 3, 1, 0, 0, 0), VersionKind::Conflict, 9, "2100-03-01_00-00-00-9.conflict.html",
         4107542400},
        // Before 1970 (a page's file time 0 west of UTC), and the second mktime answers -1 for.
        {localTime(1969, 12, 31, 16, 0, 0), VersionKind::Saved, 1, "1969-12-31_16-00-00.saved.html", -28800},
        {localTime(1969, 12, 31, 23, 59, 59), VersionKind::Saved, 2, "1969-12-31_23-59-59-2.saved.html", -1},
        {localTime(1, 1, 1, 0, 0, 0), VersionKind::Conflict, 1, "0001-01-01_00-00-00.conflict.html", -62135596800},
        // File times past what four digits hold are named by the nearest name.
        {localTime(12000, 1, 1, 0, 0, 0), VersionKind::Saved, 1, "9999-12-31_23-59-59.saved.html", 253402300799},
        {localTime(-5, 6, 1, 0, 0, 0), VersionKind::Saved, 1, "0000-01-01_00-00-00.saved.html", -62167219200},
    };
    for (const Case& c : cases) {
        std::string name = versionName(c.when, c.kind, c.attempt);
        EXPECT_EQ(name, c.name);
        std::optional<Version> version = parseVersionName(name);
        ASSERT_TRUE(version.has_value()) << name;
        EXPECT_EQ(version->name, name);
        EXPECT_EQ(version->kind, c.kind) << name;
        EXPECT_EQ(version->savedAt, c.savedAt) << name;
        EXPECT_EQ(version->size, 0) << name;
        EXPECT_EQ(versionName(version->local, version->kind, versionAttempt(name)), name);
        EXPECT_EQ(versionAttempt(name), std::max(c.attempt, 1)) << name;
    }
    EXPECT_EQ(versionName(localTime(2024, 6, 15, 12, 30, 0), VersionKind::Saved), "2024-06-15_12-30-00.saved.html");
}

TEST_F(History, MalformedNamesAreNotVersions) {
    const std::string_view names[] = {
        "",
        "index.html",
        "x.saving-0123456789ab",
        "2024-06-15_12-30-00.saved.html.saving-0123456789ab",
        "2024-06-15_12-30-00.saved.html.bak",
        "2024-6-15_12-30-00.saved.html",
        "24-06-15_12-30-00.saved.html",
        "02024-06-15_12-30-00.saved.html",
        "2024-06-015_12-30-00.saved.html",
        "2024-06-15_12-30-0.saved.html",
        "2024-06-15_12-30-000.saved.html",
        "2024-06-15_2-30-00.saved.html",
        "2024-13-01_12-30-00.saved.html",
        "2024-00-01_12-30-00.saved.html",
        "2024-06-00_12-30-00.saved.html",
        "2024-06-31_12-30-00.saved.html",
        "2023-02-29_12-30-00.saved.html",
        "2100-02-29_12-30-00.saved.html",
        "2024-06-15_24-00-00.saved.html",
        "2024-06-15_12-60-00.saved.html",
        "2024-06-15_12-30-60.saved.html",
        "2024-06-15 12-30-00.saved.html",
        "2024-06-15_12:30:00.saved.html",
        "2024/06/15_12-30-00.saved.html",
        "+024-06-15_12-30-00.saved.html",
        " 2024-06-15_12-30-00.saved.html",
        "2024-06-15_12-30-00.html",
        "2024-06-15_12-30-00..html",
        "2024-06-15_12-30-00.saved",
        "2024-06-15_12-30-00.saved.",
        "2024-06-15_12-30-00.saved.htm",
        "2024-06-15_12-30-00.saved.txt",
        "2024-06-15_12-30-00.saved.HTML",
        "2024-06-15_12-30-00.Saved.html",
        "2024-06-15_12-30-00.shrink.html",
        "2024-06-15_12-30-00.conflict-copy.html",
        "2024-06-15_12-30-00savedhtml",
        "2024-06-15_12-30-00_saved.html",
        "2024-06-15_12-30-00-2_saved.html",
        "2024-06-15_12-30-00",
        "2024-06-15_12-30-00-1.saved.html",
        "2024-06-15_12-30-00-0.saved.html",
        "2024-06-15_12-30-00-02.saved.html",
        "2024-06-15_12-30-00-.saved.html",
        "2024-06-15_12-30-00-2x.saved.html",
        "2024-06-15_12-30-00--2.saved.html",
        "2024-06-15_12-30-00-1234567890.saved.html",
        "2024-06-15_12-30-00_2.saved.html",
    };
    for (std::string_view name : names) EXPECT_FALSE(parseVersionName(name).has_value()) << name;
    // Leap days where the calendar has them, and the largest "-N".
    const std::string_view valid[] = {"2024-02-29_00-00-00.saved.html", "2000-02-29_00-00-00.conflict.html",
                                      "2024-06-30_23-59-59-123456789.before-restore.html",
                                      "1969-06-15_12-00-00.saved.html", "0000-02-29_00-00-00.saved.html"};
    for (std::string_view name : valid) EXPECT_TRUE(parseVersionName(name).has_value()) << name;
}

TEST(HistoryKinds, ReplacedKind) {
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t oldSize, newSize;
        VersionKind kind;
    };
    const Case cases[] = {
        {1000, 499, VersionKind::BeforeShrink}, {1000, 500, VersionKind::Saved},
        {1000, 501, VersionKind::Saved},        {1001, 500, VersionKind::BeforeShrink},
        {1001, 501, VersionKind::Saved},        {1, 0, VersionKind::BeforeShrink},
        {2, 1, VersionKind::Saved},             {0, 0, VersionKind::Saved},
        {1000, 0, VersionKind::BeforeShrink},   {1000, 5000, VersionKind::Saved},
        {most, most / 2, VersionKind::BeforeShrink}, {most, most / 2 + 1, VersionKind::Saved},
        {most, most, VersionKind::Saved},
    };
    for (const Case& c : cases)
        EXPECT_EQ(replacedKind(c.oldSize, c.newSize), c.kind) << c.oldSize << " replaced by " << c.newSize;
}

TEST(HistoryKinds, KindText) {
    EXPECT_EQ(kindText(VersionKind::Saved), "saved");
    EXPECT_EQ(kindText(VersionKind::BeforeShrink), "saved (before the page shrank)");
    EXPECT_EQ(kindText(VersionKind::Conflict), "conflict copy");
    EXPECT_EQ(kindText(VersionKind::BeforeRestore), "before a restore");
}

TEST_F(History, Thinning) {
    // A version by its stamp ("YYYY-MM-DD_HH-MM-SS", maybe "-N"), its kind word and size.
    struct Row {
        std::string stamp;
        std::string word = "saved";
        std::int64_t size = 1000;
        std::int64_t keptAt = 0;  // the same for all: the names tell which is newest
    };
    struct Case {
        std::string what;
        std::string now;  // a stamp
        HistorySettings settings;
        std::vector<Row> versions;
        std::vector<std::string> kept;  // stamps
    };
    auto burst = [](std::string minute, int count, std::int64_t size = 1000) {
        // `count` saves five seconds apart within one minute.
        std::vector<Row> rows;
        for (int i = 0; i < count; ++i) {
            std::string second = std::to_string(i * 5);
            rows.push_back({minute + "-" + (second.size() == 1 ? "0" : "") + second, "saved", size});
        }
        return rows;
    };
    auto join = [](std::vector<Row> rows, const std::vector<Row>& more) {
        rows.insert(rows.end(), more.begin(), more.end());
        return rows;
    };
    auto stamps = [](const std::vector<Row>& rows) {
        std::vector<std::string> result;
        for (const Row& row : rows) result.push_back(row.stamp);
        return result;
    };
    auto join2 = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::string now = "2024-06-15_12-30-00";
    const HistorySettings defaults;
    const HistorySettings onlyNewest{.newest = 1, .hours = 0, .days = 0, .months = 0};
    std::vector<Row> twelveBurst = burst("2024-06-15_11-29", 12);
    std::vector<Row> tenBurst = burst("2024-06-15_12-20", 10, 500);

    const Case cases[] = {
        {"a long history with a burst of saves",
         now,
         defaults,
         join({{"2022-12-01_10-00-00"}, {"2023-06-20_10-00-00"}, {"2023-07-01_09-00-00"}, {"2023-07-05_10-00-00"},
               {"2024-01-10_08-00-00"}, {"2024-01-20_08-00-00"}, {"2024-03-03_03-03-03"}, {"2024-05-10_10-00-00"},
               {"2024-05-16_12-00-00"}, {"2024-05-16_13-00-00"}, {"2024-05-20_08-00-00"}, {"2024-05-20_18-00-00"},
               {"2024-06-14_12-00-00"}, {"2024-06-14_12-45-00"}, {"2024-06-14_12-50-00"}, {"2024-06-14_20-00-00"},
               {"2024-06-14_20-30-00"}, {"2024-06-15_12-10-00"}},
              twelveBurst),
         join2({"2023-07-05_10-00-00", "2024-01-20_08-00-00", "2024-03-03_03-03-03", "2024-05-16_13-00-00",
                "2024-05-20_18-00-00", "2024-06-14_12-50-00", "2024-06-14_20-30-00", "2024-06-15_12-10-00"},
               stamps({twelveBurst.begin() + 3, twelveBurst.end()}))},
        {"the newest ten are kept however old",
         now,
         defaults,
         {{"2010-01-01_00-00-00"}, {"2011-01-01_00-00-00"}, {"2012-01-01_00-00-00"}, {"2013-01-01_00-00-00"},
          {"2014-01-01_00-00-00"}, {"2015-01-01_00-00-00"}, {"2016-01-01_00-00-00"}, {"2017-01-01_00-00-00"},
          {"2018-01-01_00-00-00"}, {"2019-01-01_00-00-00"}, {"2020-01-01_00-00-00"}, {"2021-01-01_00-00-00"}},
         {"2012-01-01_00-00-00", "2013-01-01_00-00-00", "2014-01-01_00-00-00", "2015-01-01_00-00-00",
          "2016-01-01_00-00-00", "2017-01-01_00-00-00", "2018-01-01_00-00-00", "2019-01-01_00-00-00",
          "2020-01-01_00-00-00", "2021-01-01_00-00-00"}},
        {"conflict and before-shrink versions are kept for thirty days",
         now,
         onlyNewest,
         {{"2024-06-15_12-00-00"},
          {"2024-06-15_11-30-00"},
          {"2024-06-15_11-00-00", "before-restore"},
          {"2024-06-14_10-00-00", "conflict"},
          {"2024-05-17_12-00-00", "before-shrink"},
          {"2024-05-16_12-30-01", "conflict"},
          {"2024-05-16_12-30-00", "before-shrink"},
          {"2024-05-01_00-00-00", "conflict"},
          {"2023-01-01_00-00-00", "before-shrink"}},
         {"2024-06-15_12-00-00", "2024-06-14_10-00-00", "2024-05-17_12-00-00", "2024-05-16_12-30-01"}},
        {"no protection",
         now,
         {.newest = 1, .hours = 0, .days = 0, .months = 0, .protectDays = 0},
         {{"2024-06-15_12-00-00"}, {"2024-06-15_11-59-00", "conflict"}, {"2024-06-15_11-58-00", "before-shrink"}},
         {"2024-06-15_12-00-00"}},
        {"protection for two days",
         now,
         {.newest = 1, .hours = 0, .days = 0, .months = 0, .protectDays = 2},
         {{"2024-06-15_12-00-00"}, {"2024-06-13_12-30-01", "conflict"}, {"2024-06-13_12-30-00", "before-shrink"}},
         {"2024-06-15_12-00-00", "2024-06-13_12-30-01"}},
        {"over the cap the oldest go first, protected ones too",
         now,
         {.capBytes = 8000},
         join(tenBurst, {{"2024-06-14_20-00-00", "saved", 2000},
                         {"2024-06-01_10-00-00", "conflict", 2000},
                         {"2024-03-01_10-00-00", "saved", 2000},
                         {"2023-12-01_10-00-00", "saved", 2000}}),
         join2(stamps(tenBurst), {"2024-06-14_20-00-00"})},
        {"reaching the cap exactly is over it",
         now,
         {.capBytes = 7000},
         join(tenBurst, {{"2024-06-14_20-00-00", "saved", 2000},
                         {"2024-06-01_10-00-00", "conflict", 2000},
                         {"2024-03-01_10-00-00", "saved", 2000},
                         {"2023-12-01_10-00-00", "saved", 2000}}),
         stamps(tenBurst)},
        {"versions thinned away do not count against the cap",
         now,
         {.capBytes = 12000},
         join(tenBurst, {{"2024-06-14_20-00-00", "saved", 2000},
                         {"2024-06-01_10-00-00", "conflict", 2000},
                         {"2024-06-01_09-00-00", "saved", 100000},
                         {"2024-03-01_10-00-00", "saved", 2000},
                         {"2023-12-01_10-00-00", "saved", 2000},
                         {"2022-01-01_00-00-00", "saved", 100000}}),
         join2(stamps(tenBurst), {"2024-06-14_20-00-00", "2024-06-01_10-00-00", "2024-03-01_10-00-00"})},
        {"the newest ten stay over the cap",
         now,
         {.capBytes = 1000},
         join(tenBurst, {{"2024-06-15_11-00-00", "saved", 500}, {"2024-06-15_10-00-00", "conflict", 1}}),
         stamps(tenBurst)},
        {"the newest three stay over the cap",
         now,
         {.newest = 3, .capBytes = 1000},
         {{"2024-06-15_12-00-00", "saved", 400},
          {"2024-06-15_11-00-00", "saved", 400},
          {"2024-06-15_10-00-00", "saved", 400},
          {"2024-06-15_09-00-00", "saved", 400},
          {"2024-06-15_08-00-00", "saved", 400}},
         {"2024-06-15_12-00-00", "2024-06-15_11-00-00", "2024-06-15_10-00-00"}},
        {"only the newest three",
         now,
         {.newest = 3, .hours = 0, .days = 0, .months = 0},
         burst("2024-06-15_12-29", 6),
         {"2024-06-15_12-29-15", "2024-06-15_12-29-20", "2024-06-15_12-29-25"}},
        {"hours within the last two",
         now,
         {.newest = 3, .hours = 2, .days = 0, .months = 0},
         {{"2024-06-15_12-20-00"},
          {"2024-06-15_12-10-00"},
          {"2024-06-15_12-05-00"},
          {"2024-06-15_12-00-00"},
          {"2024-06-15_11-40-00"},
          {"2024-06-15_11-20-00"},
          {"2024-06-15_10-30-01"}},
         {"2024-06-15_12-20-00", "2024-06-15_12-10-00", "2024-06-15_12-05-00", "2024-06-15_11-40-00",
          "2024-06-15_10-30-01"}},
        {"two hours old exactly is past the hours",
         now,
         {.newest = 1, .hours = 2, .days = 0, .months = 0},
         {{"2024-06-15_12-20-00"}, {"2024-06-15_10-30-00"}},
         {"2024-06-15_12-20-00"}},
        {"calendar days within the last two days",
         now,
         {.newest = 1, .hours = 0, .days = 2, .months = 0},
         {{"2024-06-15_12-00-00"},
          {"2024-06-15_08-00-00"},
          {"2024-06-14_23-00-00"},
          {"2024-06-14_01-00-00"},
          {"2024-06-13_12-30-01"}},
         {"2024-06-15_12-00-00", "2024-06-14_23-00-00", "2024-06-13_12-30-01"}},
        {"the same day of two months",
         now,
         {.newest = 1, .hours = 0, .days = 40, .months = 0},
         {{"2024-06-15_12-00-00"}, {"2024-06-10_12-00-00"}, {"2024-05-10_12-00-00"}},
         {"2024-06-15_12-00-00", "2024-06-10_12-00-00", "2024-05-10_12-00-00"}},
        {"two days old exactly is past the days",
         now,
         {.newest = 1, .hours = 0, .days = 2, .months = 0},
         {{"2024-06-15_12-00-00"}, {"2024-06-13_12-30-00"}},
         {"2024-06-15_12-00-00"}},
        {"calendar months: this one and the two before",
         now,
         {.newest = 1, .hours = 0, .days = 0, .months = 3},
         {{"2024-06-15_12-00-00"},
          {"2024-06-01_00-00-00"},
          {"2024-05-31_23-59-59"},
          {"2024-04-01_00-00-00"},
          {"2024-03-31_23-59-59"}},
         {"2024-06-15_12-00-00", "2024-05-31_23-59-59", "2024-04-01_00-00-00"}},
        {"calendar months across the new year",
         "2024-01-15_12-00-00",
         {.newest = 1, .hours = 0, .days = 0, .months = 2},
         {{"2024-01-10_00-00-00"}, {"2023-12-31_23-59-59"}, {"2023-12-01_00-00-00"}, {"2023-11-30_23-59-59"}},
         {"2024-01-10_00-00-00", "2023-12-31_23-59-59"}},
        {"saves within one second: the last is the newest",
         now,
         onlyNewest,
         {{"2024-06-15_12-00-00"}, {"2024-06-15_12-00-00-2"}, {"2024-06-15_12-00-00-3"}},
         {"2024-06-15_12-00-00-3"}},
        {"saves within one second: -10 after -9",
         now,
         onlyNewest,
         {{"2024-06-15_12-00-00-9"}, {"2024-06-15_12-00-00-10"}},
         {"2024-06-15_12-00-00-10"}},
        {"versions from the future (the clock was set back) count as just saved",
         now,
         {.newest = 1, .hours = 24, .days = 0, .months = 0},
         {{"2024-06-16_13-00-00"}, {"2024-06-16_09-00-00"}, {"2024-06-16_09-30-00"}, {"2024-06-15_12-00-00"}},
         {"2024-06-16_13-00-00", "2024-06-16_09-30-00", "2024-06-15_12-00-00"}},
        {"no hours, days or months keep a version from the future",
         now,
         {.newest = 1, .hours = 0, .days = 0, .months = 0},
         {{"2024-08-01_00-00-00"}, {"2024-07-10_00-00-00"}, {"2024-06-15_12-00-00"}},
         {"2024-08-01_00-00-00"}},
        {"history off removes nothing here",
         now,
         {.enabled = false, .newest = 0, .hours = 0, .days = 0, .months = 0, .capBytes = 0, .protectDays = 0},
         {{"2020-01-01_00-00-00"}, {"2024-06-15_12-00-00"}, {"2024-06-15_12-00-00-2"}},
         {"2020-01-01_00-00-00", "2024-06-15_12-00-00", "2024-06-15_12-00-00-2"}},
        {"the most recently kept stay, though their names are years old (a copied page's time)", now,
         {.newest = 3, .hours = 0, .days = 0, .months = 0},
         {{"2024-06-15_12-00-00", "saved", 1000, 100}, {"2024-06-15_11-00-00", "saved", 1000, 101},
          {"2024-06-15_10-00-00", "saved", 1000, 102}, {"2021-03-01_08-00-00", "saved", 1000, 103}},
         {"2024-06-15_11-00-00", "2024-06-15_10-00-00", "2021-03-01_08-00-00"}},
        {"the most recently kept stay over the cap, not the newest named", now, {.newest = 2, .capBytes = 1000},
         {{"2024-06-15_12-00-00", "saved", 400, 1}, {"2024-06-15_11-00-00", "saved", 400, 2},
          {"2020-01-01_00-00-00", "saved", 400, 3}},
         {"2024-06-15_11-00-00", "2020-01-01_00-00-00"}},
        {"versions before 1970 are thinned by their hours", "1970-01-01_10-00-00", {.newest = 1, .days = 0, .months = 0},
         {{"1969-12-31_23-30-00"}, {"1969-12-31_23-00-00"}, {"1969-12-31_08-00-00"}, {"1969-12-31_12-00-00"}},
         {"1969-12-31_23-30-00", "1969-12-31_12-00-00"}},
        {"no versions", now, defaults, {}, {}},
    };

    for (const Case& c : cases) {
        std::optional<Version> nowVersion = parseVersionName(c.now + ".saved.html");
        ASSERT_TRUE(nowVersion.has_value()) << c.what;
        std::vector<Version> versions;
        std::vector<std::string> expected;
        for (const Row& row : c.versions) {
            std::optional<Version> version = parseVersionName(row.stamp + "." + row.word + ".html");
            ASSERT_TRUE(version.has_value()) << c.what << ": " << row.stamp;
            version->size = row.size;
            version->keptAt = row.keptAt;
            versions.push_back(*version);
            if (std::find(c.kept.begin(), c.kept.end(), row.stamp) == c.kept.end()) expected.push_back(version->name);
        }
        ASSERT_EQ(versions.size() - expected.size(), c.kept.size()) << c.what << ": a kept stamp is not a version";
        std::sort(expected.begin(), expected.end());
        // The order the versions come in makes no difference.
        for (bool reversed : {false, true}) {
            if (reversed) std::reverse(versions.begin(), versions.end());
            std::vector<std::string> removed =
                versionsToRemove(versions, nowVersion->savedAt, nowVersion->local, c.settings);
            // Oldest first.
            std::vector<std::int64_t> times;
            for (const std::string& name : removed) times.push_back(parseVersionName(name)->savedAt);
            EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << c.what;
            std::sort(removed.begin(), removed.end());
            EXPECT_EQ(removed, expected) << c.what << (reversed ? " (reversed)" : "");
        }
    }
}

// What the history page and a kept version opened from it show.
TEST(HistoryPage, SizesNoticesAndKeptVersions) {
    const std::pair<std::int64_t, std::string> sizes[] = {
        {0, "0 bytes"}, {1, "1 byte"}, {999, "999 bytes"}, {1000, "1,000 bytes"}, {2431005, "2,431,005 bytes"}};
    for (const auto& [size, text] : sizes) EXPECT_EQ(exactSize(size), text);
    EXPECT_EQ(sizeChange(1204), "+1,204");
    EXPECT_EQ(sizeChange(-3), "-3");
    EXPECT_EQ(sizeChange(0), "no change");

    const std::pair<std::string, std::optional<std::size_t>> bodies[] = {
        {"<html><head></head><body class=\"tc-body\">x", 41}, {"<BODY>", 6}, {"<bodyx><body>", 13},
        {"<body", std::nullopt}, {"no body here", std::nullopt}};
    for (const auto& [head, end] : bodies) EXPECT_EQ(bodyTagEnd(head), end) << head;

    std::optional<KeptVersion> kept = keptVersionAt("history/work/tiddly-a.html/2026-12-08_21-33-35-2.conflict.html");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->page, "work/tiddly-a.html");
    EXPECT_EQ(kept->version.kind, VersionKind::Conflict);
    EXPECT_EQ(versionNotice(kept->page, kept->version).find("A conflict copy of work/tiddly-a.html (the edits a stale tab tried to save), kept 2026-12-08 "
                                                            "21:33:35 (2); saving here changes nothing; restore it from "
                                                            "the <a href='/tiddly/history?page=work/tiddly-a.html'>"),
              std::string("<div style=\"position:fixed;top:0;left:0;right:0;z-index:100000;padding:.5em 1em;"
                          "background:#fff3b0;color:#000;border-bottom:1px solid #c9a800;font:14px sans-serif\">")
                  .size());
    for (std::string other : {"history/tiddly-a.html", "history/tiddly-a.html/notes.txt", "work/history/a.html/"
                              "2026-12-08_21-33-35.saved.html", "tiddly-a.html"})
        EXPECT_FALSE(keptVersionAt(other)) << other;
}
