// The settings store: text values under text keys, filled at start-up from
// defaults, options and configuration files, then only read.
#pragma once

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
// Reads one configuration file into the table; reports its own problems.
void parseConfig(const std::string& fileName);
// Ten lowercase hex digits fixed when the program was built.
std::string versionString();

} // namespace fernhollow
