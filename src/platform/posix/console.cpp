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

} // namespace

void writeStandardOutput(std::string_view text) {
    writeFully(STDOUT_FILENO, text);
}

void writeStandardError(std::string_view text) {
    writeFully(STDERR_FILENO, text);
}

} // namespace fernhollow::platform
