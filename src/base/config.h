// The settings store: text values under text keys, filled at start-up from
// defaults, options and configuration files, then only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace fernhollow {

class ConfigItem {
public:
    // An item made from a text holds it with white space trimmed.
    explicit ConfigItem(std::string_view text);
    // Assigning later keeps the text exactly as given.
    std::string value;
};

// Every setting of the run, by key.
extern std::unordered_map<std::string, ConfigItem> configTable;

// The value stored under `key`, or the empty text.
std::string getConfig(const std::string& key);
// Adds (trimmed) or updates (untrimmed) one setting, with its console line.
void setConfig(const std::string& key, const std::string& value);
// A setting's value as the console shows it: the password masked.
std::string shownValue(std::string_view key, std::string_view value);
// Whether `key` names a setting the server reads (a key added to the
// options or read anywhere belongs in its list too).
bool isSettingKey(std::string_view key);
// Reads one configuration file into the table; reports its own problems,
// except a password record the file's format may have cut short: that
// raises std::system_error (invalid_argument), to stop the start.
void parseConfig(const std::string& fileName);
// Ten lowercase hex digits fixed when the program was built.
std::string versionString();

// The bounds that keep one client from holding up or exhausting the server.
namespace limits {
// How long one send may block before its connection is given up.
inline constexpr int sendTimeoutSeconds = 30;
// How long a script may run before it is ended ("script-timeout" overrides).
inline constexpr int defaultScriptTimeoutSeconds = 30;
// How long a connection may stay silent before it is closed ("idle-timeout" overrides).
inline constexpr int defaultIdleTimeoutSeconds = 60;
// The most a request head may take, its empty line included.
inline constexpr std::size_t maxHeadBytes = std::size_t{1} << 20;
// The most lines a request head may have, its empty line included: each
// line is kept as a string of its own, which costs far more than a short
// line's bytes.
inline constexpr std::size_t maxHeadLines = 1000;
// The most a request body may take.
inline constexpr std::int64_t maxBodyBytes = std::int64_t{1} << 30;
// The most the bodies of all open connections may hold together: announced
// lengths of bodies still arriving, and the received bytes of bodies that
// announce none. Each body alone may come close to maxBodyBytes, and about a
// thousand connections are admitted.
inline constexpr std::int64_t maxHeldBodyBytes = std::int64_t{1} << 30;
// The most room made for a body before its bytes arrive: enough for large
// wikis, while a client announcing more than it sends claims little.
inline constexpr std::int64_t maxReservedBodyBytes = std::int64_t{64} << 20;
// Descriptors never given to connections: the standard streams, the
// listener, the spare one, and the files and pipes one answer opens.
inline constexpr std::int64_t reservedDescriptors = 16;
} // namespace limits

} // namespace fernhollow
