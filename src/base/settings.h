// The settings of a run as typed values: read from the settings table once
// the table is complete, then only read.
#pragma once

#include "base/config.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace fernhollow {

// How much history a page keeps.
struct HistorySettings {
    bool enabled = true;
    int newest = 10;      // the N newest versions are always kept
    int hours = 24;       // the newest version of each clock hour within the last `hours` hours
    int days = 30;        // the newest of each calendar day within the last `days` days
    int months = 12;      // the newest of each calendar month within the last `months` months
    std::int64_t capBytes = std::int64_t{1} << 30;  // a page's versions together stay under this
    int protectDays = 30; // Conflict and BeforeShrink versions are never thinned for this many days
};

namespace limits {
// Wrong logins within this many seconds lock an address out as long ("login-window" overrides).
inline constexpr int defaultLoginWindowSeconds = 60;
// The share of the server's time password checks may take, in per cent ("login-share" overrides).
inline constexpr int defaultLoginSharePercent = 25;
} // namespace limits

// Every setting the server reads, by its meaning.
struct Settings {
    std::string root;
    std::string ip;
    std::uint16_t port = 0;
    std::string phpPath;  // empty: no interpreter, so scripts fail
    std::string user;     // empty: any name goes with the password
    std::string password; // plain, or a hash; empty: no password
    bool guestsRead = false;
    std::chrono::seconds scriptTimeout{limits::defaultScriptTimeoutSeconds};
    std::chrono::seconds idleTimeout{limits::defaultIdleTimeoutSeconds};
    std::chrono::seconds loginWindow{limits::defaultLoginWindowSeconds};
    int loginShare = limits::defaultLoginSharePercent;
    HistorySettings history;
};

// Reads a port text: decimal digits only, 0 to 65535.
bool parsePort(std::string_view text, std::uint16_t& port);

// The settings `table` holds. A key it lacks leaves its field's default (a
// run always has "port", "ip", "php-path" and "root": processArgs stores
// them first). Time-outs, "login-window" and "login-share" take a positive
// decimal number of at most six digits, the history numbers zero too;
// anything else leaves the default. Raises std::system_error
// (invalid_argument) for a "port" that is not a port and a "guests" other
// than "read" or empty: the server must not start on either.
Settings readSettings(const std::unordered_map<std::string, ConfigItem>& table);

// The settings of the run, kept by keepSettings when the server starts.
// Until then (unit tests that fill configTable and call what reads them)
// they are read afresh from configTable at every call.
const Settings& settings();
// Makes `value` the settings of the run from now on and returns them.
const Settings& keepSettings(Settings value);

} // namespace fernhollow
