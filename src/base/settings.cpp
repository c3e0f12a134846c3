#include "base/settings.h"

#include <optional>
#include <system_error>

namespace fernhollow {

namespace {

// The settings of the run once the server has kept them.
std::optional<Settings> keptSettings;

// A decimal number of at most six digits in `text`, or `fallback` for any other text.
int smallNumber(const std::string& text, int fallback) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return fallback;
    return std::stoi(text);
}

// The same for a span or share, where zero would stop every wait or check: it falls back too.
int positiveNumber(const std::string& text, int fallback) {
    int number = smallNumber(text, fallback);
    return number > 0 ? number : fallback;
}

[[noreturn]] void badSetting(const std::string& what) {
    throw std::system_error(std::make_error_code(std::errc::invalid_argument), what);
}

} // namespace

bool parsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

Settings readSettings(const std::unordered_map<std::string, ConfigItem>& table) {
    auto text = [&table](const std::string& key) {
        auto found = table.find(key);
        return found == table.end() ? std::string() : found->second.value;
    };
    Settings read;
    read.root = text("root");
    read.ip = text("ip");
    if (table.contains("port") && !parsePort(text("port"), read.port))
        badSetting("port \"" + text("port") + "\" is not a number from 0 to 65535");
    read.phpPath = text("php-path");
    read.user = text("user");
    read.password = text("password");
    std::string guests = text("guests");
    if (guests == "read") read.guestsRead = true;
    else if (!guests.empty()) badSetting("guests \"" + guests + "\" is not a known value: leave it out, or give read");
    using std::chrono::seconds;
    read.scriptTimeout = seconds(positiveNumber(text("script-timeout"), limits::defaultScriptTimeoutSeconds));
    read.idleTimeout = seconds(positiveNumber(text("idle-timeout"), limits::defaultIdleTimeoutSeconds));
    read.loginWindow = seconds(positiveNumber(text("login-window"), limits::defaultLoginWindowSeconds));
    read.loginShare = positiveNumber(text("login-share"), limits::defaultLoginSharePercent);

    HistorySettings& history = read.history;
    history.enabled = text("history") != "off";
    history.newest = smallNumber(text("history-newest"), history.newest);
    history.hours = smallNumber(text("history-hours"), history.hours);
    history.days = smallNumber(text("history-days"), history.days);
    history.months = smallNumber(text("history-months"), history.months);
    history.capBytes = std::int64_t{smallNumber(text("history-max-mb"), static_cast<int>(history.capBytes >> 20))} << 20;
    return read;
}

const Settings& settings() {
    if (keptSettings) return *keptSettings;
    static Settings fresh;
    fresh = readSettings(configTable);
    return fresh;
}

const Settings& keepSettings(Settings value) {
    keptSettings = std::move(value);
    return *keptSettings;
}

} // namespace fernhollow
