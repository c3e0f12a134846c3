#include "platform/console.h"

#include "platform/errors.h"

#include <cerrno>
#include <string>
#include <termios.h>
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

// Turns terminal echo off for its lifetime, when standard input is a terminal.
class EchoOff {
public:
    EchoOff() {
        if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (!active_) return;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
        // The line end typed was not echoed either.
        writeStandardError("\n");
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

} // namespace

void writeStandardOutput(std::string_view text) {
    writeFully(STDOUT_FILENO, text);
}

void writeStandardError(std::string_view text) {
    writeFully(STDERR_FILENO, text);
}

bool standardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

std::optional<std::string> readSecretLine(std::string_view prompt) {
    if (standardInputIsTerminal()) writeStandardError(prompt);
    EchoOff echoOff;
    std::string line;
    bool anything = false;
    for (;;) {
        char c;
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0) {
            if (errno == EINTR) continue;
            raiseErrno("read");
        }
        if (n == 0) break;
        anything = true;
        if (c == '\n') break;
        line.push_back(c);
    }
    if (!anything) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

} // namespace fernhollow::platform
