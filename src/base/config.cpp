#include "base/config.h"

#include "platform/console.h"
#include "platform/files.h"
#include "base/text.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

std::unordered_map<std::string, ConfigItem> configTable;

ConfigItem::ConfigItem(std::string_view text) : value(trimWhiteSpace(text)) {}

std::string getConfig(const std::string& key) {
    auto found = configTable.find(key);
    return found == configTable.end() ? std::string() : found->second.value;
}

std::string shownValue(std::string_view key, std::string_view value) {
    // The console is often kept in a file or seen by others: a password never goes there.
    if (key == "password" && !value.empty()) return "********";
    return std::string(value);
}

void setConfig(const std::string& key, const std::string& value) {
    auto found = configTable.find(key);
    if (found != configTable.end()) {
        consoleLine("updating key " + key + " with " + shownValue(key, value));
        found->second.value = value;
    } else {
        consoleLine("adding key " + key + " with " + shownValue(key, value));
        configTable.emplace(key, ConfigItem(value));
    }
}

bool isSettingKey(std::string_view key) {
    static constexpr std::string_view keys[] = {
        "port",           "ip",           "root",         "php-path",       "history",      "history-newest",
        "history-hours",  "history-days", "history-months", "history-max-mb", "user",       "password",
        "guests",         "login-window", "login-share", "script-timeout", "idle-timeout"};
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

std::string versionString() {
    return FERNHOLLOW_REVISION;
}

namespace {

// Whether `bytes` is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) { ++i; continue; }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) length = 2;
        else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else return false;
        if (i + length > bytes.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            unsigned char d = static_cast<unsigned char>(bytes[i + k]);
            if (d < (k == 1 ? low : 0x80) || d > (k == 1 ? high : 0xBF)) return false;
        }
        i += length;
    }
    return true;
}

// Whether the text starts with a UTF-16 or UTF-32 byte-order mark.
bool hasWideByteOrderMark(std::string_view bytes) {
    return beginsWith(bytes, std::string_view("\xFF\xFE", 2)) || beginsWith(bytes, std::string_view("\xFE\xFF", 2)) ||
           beginsWith(bytes, std::string_view("\x00\x00\xFE\xFF", 4));
}

// Reads the records key ":" value ";" of a configuration text into the
// table; false when it stops at the record after a password, which names no
// setting: the password's own ";" may have ended its record, and the rest of
// it would be taken for the next key.
bool readRecords(std::string_view text) {
    bool afterPassword = false;
    for (;;) {
        std::string_view key = text, rest;
        if (auto colon = text.find(':'); colon != std::string_view::npos) {
            key = text.substr(0, colon);
            rest = text.substr(colon + 1);
        }
        // Checked before the key goes to the console, where it would show the password's rest.
        if (afterPassword && !trimWhiteSpace(text).empty() && !isSettingKey(trimWhiteSpace(key))) return false;
        if (key.empty()) return true;
        consoleLine("config item: " + std::string(key));
        std::string_view value = rest, remainder;
        if (auto semicolon = rest.find(';'); semicolon != std::string_view::npos) {
            value = rest.substr(0, semicolon);
            remainder = rest.substr(semicolon + 1);
        }
        std::string trimmedKey = trimWhiteSpace(key);
        if (!value.empty()) {
            consoleLine("config data for " + trimmedKey + " is " + shownValue(trimmedKey, value));
            configTable.insert_or_assign(trimmedKey, ConfigItem(value));
        }
        afterPassword = trimmedKey == "password";
        text = remainder;
    }
}

} // namespace

void parseConfig(const std::string& fileName) {
    bool whole = true;
    try {
        consoleLine("config.parseConfig reading config from file: " + fileName);
        if (platform::entryKind(fileName) != platform::EntryKind::File) {
            consoleLine("cannot process " + fileName);
        } else {
            std::string text = platform::readWholeFile(fileName);
            if (hasWideByteOrderMark(text) || !isValidUtf8(text))
                throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), "read " + fileName);
            whole = readRecords(text);
            if (whole)
                for (const auto& [key, item] : configTable) consoleLine(key + " " + shownValue(key, item.value));
        }
    } catch (const std::exception&) {
        consoleLine("failed while parsing config file");
    }
    if (!whole)
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                fileName + ": the record after the password names no setting, so the password may "
                                           "hold a \";\", which ends a record and cuts the password short there: "
                                           "keep the line fernhollow --hash-password prints instead (a hash never "
                                           "holds \";\")");
    configTable.insert_or_assign("version", ConfigItem(versionString()));
}

} // namespace fernhollow
