#include "platform/console.h"

#include <string>

namespace fernhollow::platform {

namespace {

std::string (*lineTransform)(std::string_view) = nullptr;
bool holding = false;
std::string held;
// Held lines are written before they reach this size.
constexpr std::size_t heldLimit = 64 * 1024;

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
    if (!holding) return writeStandardOutput(whole);
    held.append(whole);
    if (held.size() >= heldLimit) flushConsoleLines();
}

void holdConsoleLines(bool hold) {
    if (!hold) flushConsoleLines();
    holding = hold;
}

void flushConsoleLines() {
    if (held.empty()) return;
    writeStandardOutput(held);
    held.clear();
}

void errorReport(std::string_view text) {
    std::string whole(text);
    whole.push_back('\n');
    writeStandardError(whole);
}

} // namespace fernhollow::platform
