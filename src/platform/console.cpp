#include "platform/console.h"

#include <string>

namespace fernhollow::platform {

namespace {

std::string (*lineTransform)(std::string_view) = nullptr;

} // namespace

void transformConsoleLines(std::string (*transform)(std::string_view)) {
    lineTransform = transform;
}

void consoleLine(std::string_view line) {
    std::string whole;
    if (lineTransform != nullptr) {
        whole = lineTransform(line);
    } else {
        whole.reserve(line.size() + 1);
        whole.append(line);
    }
    whole.push_back('\n');
    writeStandardOutput(whole);
}

void errorReport(std::string_view text) {
    std::string whole(text);
    whole.push_back('\n');
    writeStandardError(whole);
}

} // namespace fernhollow::platform
