#include "platform/console.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace fernhollow::platform {

namespace {

// Writes all of `text` to `fd`; a console that is gone is not our failure.
void writeFully(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

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
    writeFully(STDOUT_FILENO, whole);
}

void errorReport(std::string_view text) {
    std::string whole(text);
    whole.push_back('\n');
    writeFully(STDERR_FILENO, whole);
}

} // namespace fernhollow::platform
