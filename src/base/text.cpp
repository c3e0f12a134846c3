#include "base/text.h"

#include "platform/paths.h"

#include <array>
#include <system_error>

namespace fernhollow {

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    if (text.empty()) return pieces;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos || separator.empty()) break;
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

bool beginsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool contains(std::string_view text, std::string_view needle) {
    return text.find(needle) != std::string_view::npos;
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string result;
    result.reserve(text.size());
    std::size_t start = 0;
    while (!from.empty()) {
        std::size_t at = text.find(from, start);
        if (at == std::string_view::npos) break;
        result.append(text.substr(start, at - start)).append(to);
        start = at + from.size();
    }
    result.append(text.substr(start));
    return result;
}

bool skipPast(std::string_view& text, std::string_view separator) {
    std::size_t at = text.find(separator);
    if (at == std::string_view::npos) return false;
    text.remove_prefix(at + separator.size());
    return true;
}

std::string removeAll(std::string_view text, char c) {
    std::string result;
    result.reserve(text.size());
    for (char byte : text)
        if (byte != c) result.push_back(byte);
    return result;
}

std::vector<std::string_view> headerLines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (text.empty()) return lines;
    // Cut line by line and stop at the empty line: the text is often a head
    // followed by megabytes of body that must not be cut up for nothing.
    std::size_t start = 0;
    for (;;) {
        std::size_t at = text.find("\r\n", start);
        std::string_view line = at == std::string_view::npos ? text.substr(start) : text.substr(start, at - start);
        if (lines.empty() && line == "--") return {line};
        lines.push_back(line);
        if (line.empty() || at == std::string_view::npos) break;
        start = at + 2;
    }
    return lines;
}

std::string lowerAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

namespace {

// Length of the Unicode white-space character that starts at `at`, or 0.
std::size_t whiteAt(std::string_view text, std::size_t at) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    auto next = [&](std::size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
    if (c == 0xC2 && (next(1) == 0x85 || next(1) == 0xA0)) return 2;  // NEL, NBSP
    if (c == 0xE1 && next(1) == 0x9A && next(2) == 0x80) return 3;    // OGHAM SPACE MARK
    if (c == 0xE2 && next(1) == 0x80) {
        unsigned char d = next(2);
        if ((d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF) return 3;
    }
    if (c == 0xE2 && next(1) == 0x81 && next(2) == 0x9F) return 3;    // MEDIUM MATHEMATICAL SPACE
    if (c == 0xE3 && next(1) == 0x80 && next(2) == 0x80) return 3;    // IDEOGRAPHIC SPACE
    return 0;
}

// Length of the white-space character that ends just before `end`, or 0.
std::size_t whiteBefore(std::string_view text, std::size_t end) {
    for (std::size_t size : std::array<std::size_t, 3>{1, 2, 3})
        if (end >= size && whiteAt(text, end - size) == size) return size;
    return 0;
}

} // namespace

std::string trimWhiteSpace(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t size = whiteAt(text, start);
        if (size == 0) break;
        start += size;
    }
    std::size_t end = text.size();
    while (end > start) {
        std::size_t size = whiteBefore(text, end);
        if (size == 0 || end - size < start) break;
        end -= size;
    }
    return std::string(text.substr(start, end - start));
}

std::int64_t parseSigned64(std::string_view text, const char* what) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
        negative = digits[0] == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) throw std::system_error(std::make_error_code(std::errc::invalid_argument), what);
    // Accumulate towards the negative side, which holds one more value.
    std::int64_t value = 0;
    constexpr std::int64_t lowest = INT64_MIN;
    for (char c : digits) {
        if (c < '0' || c > '9') throw std::system_error(std::make_error_code(std::errc::invalid_argument), what);
        int digit = c - '0';
        if (value < (lowest + digit) / 10) throw std::system_error(std::make_error_code(std::errc::result_out_of_range), what);
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) throw std::system_error(std::make_error_code(std::errc::result_out_of_range), what);
        value = -value;
    }
    return value;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hasParentSegment(std::string_view path) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/' || path[i] == '\\') {
            if (path.substr(start, i - start) == "..") return true;
            start = i + 1;
        }
    }
    return false;
}

std::string systemPathForm(std::string_view joined) {
    std::string separated = replaceAll(joined, "/", platform::separatorText);
    return replaceAll(separated, platform::doubledSeparator, platform::separatorText);
}

namespace {

// Whether one path segment is a name Windows reads as something else.
bool isWindowsAlias(std::string_view segment) {
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (segment.back() == '.' || segment.back() == ' ') return true;
    for (char c : segment) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || c == ':' || c == '<' || c == '>' || c == '"' || c == '|' || c == '*' || c == '?') return true;
    }
    // The device is named by what stands before the first dot, blanks at its
    // end left out ("nul .txt" is NUL too).
    std::string base = lowerAscii(segment.substr(0, segment.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static constexpr std::array<std::string_view, 6> devices{"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (std::string_view device : devices)
        if (base == device) return true;
    if (beginsWith(base, "com") || beginsWith(base, "lpt")) {
        std::string_view number = std::string_view(base).substr(3);
        // The digits 1-9, and the superscripts 1, 2 and 3 that Windows also takes.
        if (number.size() == 1 && number[0] >= '1' && number[0] <= '9') return true;
        if (number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3") return true;
    }
    return false;
}

} // namespace

bool hasWindowsAliasSegment(std::string_view path) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/' || path[i] == '\\') {
            if (isWindowsAlias(path.substr(start, i - start))) return true;
            start = i + 1;
        }
    }
    return false;
}

std::string escapeBytes(std::string_view text, std::string_view prefix, std::string_view digits,
                        bool (*keep)(unsigned char)) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (keep(byte)) {
            escaped.push_back(c);
            continue;
        }
        escaped.append(prefix);
        escaped.push_back(digits[byte >> 4]);
        escaped.push_back(digits[byte & 0x0F]);
    }
    return escaped;
}

std::string escapeControlBytes(std::string_view line) {
    return escapeBytes(line, "\\x", "0123456789abcdef",
                       [](unsigned char byte) { return byte >= 0x20 && byte != 0x7F; });
}

std::string plainAnswer(std::string_view status, std::string_view text, std::string_view headers) {
    std::string answer = "HTTP/1.1 ";
    answer.append(status)
        .append("\r\nContent-Type: text/plain\r\nContent-Length: ")
        .append(std::to_string(text.size()))
        .append("\r\n")
        .append(headers)
        .append("\r\n")
        .append(text);
    return answer;
}

} // namespace fernhollow
