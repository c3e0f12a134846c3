#include "config.h"

#include "platform/console.h"
#include "platform/files.h"
#include "text.h"

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

// Reads the records key ":" value ";" of a configuration text into the table.
void readRecords(std::string_view text) {
    for (;;) {
        std::string_view key = text, rest;
        if (auto colon = text.find(':'); colon != std::string_view::npos) {
            key = text.substr(0, colon);
            rest = text.substr(colon + 1);
        }
        if (key.empty()) return;
        consoleLine("config item: " + std::string(key));
        std::string_view value = rest, remainder;
        if (auto semicolon = rest.find(';'); semicolon != std::string_view::npos) {
            value = rest.substr(0, semicolon);
            remainder = rest.substr(semicolon + 1);
        }
        if (!value.empty()) {
            std::string trimmedKey = trimWhiteSpace(key);
            consoleLine("config data for " + trimmedKey + " is " + shownValue(trimmedKey, value));
            configTable.insert_or_assign(trimmedKey, ConfigItem(value));
        }
        text = remainder;
    }
}

} // namespace

void parseConfig(const std::string& fileName) {
    try {
        consoleLine("config.parseConfig reading config from file: " + fileName);
        if (platform::entryKind(fileName) != platform::EntryKind::File) {
            consoleLine("cannot process " + fileName);
        } else {
            std::string text = platform::readWholeFile(fileName);
            if (hasWideByteOrderMark(text) || !isValidUtf8(text))
                throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence), "read " + fileName);
            readRecords(text);
            for (const auto& [key, item] : configTable) consoleLine(key + " " + shownValue(key, item.value));
        }
    } catch (const std::exception&) {
        consoleLine("failed while parsing config file");
    }
    configTable.insert_or_assign("version", ConfigItem(versionString()));
}

int timeoutSetting(const std::string& key, int fallback) {
    std::string text = getConfig(key);
    if (text.empty() || text.size() > 6) return fallback;
    int seconds = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return fallback;
        seconds = seconds * 10 + (c - '0');
    }
    return seconds > 0 ? seconds : fallback;
}

} // namespace fernhollow
