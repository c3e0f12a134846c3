#include "platform/console.h"

#include "platform/windows/win32.h"

#include <string>

namespace fernhollow::platform {

namespace {

// Writes `text` to a standard handle. Files and pipes get the bytes exactly
// (no CR is added); a console window gets the text as UTF-16, so that names
// outside the console's code page show as they are. A console that is gone is
// not our failure.
void writeStandard(DWORD which, std::string_view text) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    if (::GetFileType(handle) == FILE_TYPE_CHAR && ::GetConsoleMode(handle, &mode)) {
        // Bytes that are not UTF-8 show as U+FFFD.
        int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        std::wstring wideText(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
        if (size > 0)
            ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wideText.data(), size);
        DWORD written = 0;
        ::WriteConsoleW(handle, wideText.data(), static_cast<DWORD>(wideText.size()), &written, nullptr);
        return;
    }
    while (!text.empty()) {
        DWORD written = 0;
        if (!::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return;
        text.remove_prefix(written);
    }
}

// Takes echo off a console input for its lifetime.
class EchoOff {
public:
    explicit EchoOff(HANDLE input) : input_(input) {
        if (!::GetConsoleMode(input_, &saved_)) return;
        active_ = ::SetConsoleMode(input_, saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
    }
    ~EchoOff() {
        if (!active_) return;
        ::SetConsoleMode(input_, saved_);
        writeStandardError("\n");
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    HANDLE input_;
    DWORD saved_ = 0;
    bool active_ = false;
};

} // namespace

void writeStandardOutput(std::string_view text) {
    writeStandard(STD_OUTPUT_HANDLE, text);
}

void writeStandardError(std::string_view text) {
    writeStandard(STD_ERROR_HANDLE, text);
}

bool standardInputIsTerminal() {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    return input != nullptr && input != INVALID_HANDLE_VALUE && ::GetFileType(input) == FILE_TYPE_CHAR &&
           ::GetConsoleMode(input, &mode);
}

std::optional<std::string> readSecretLine(std::string_view prompt) {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    bool console = standardInputIsTerminal();
    std::string line;
    bool anything = false;
    if (console) {
        writeStandardError(prompt);
        EchoOff echoOff(input);
        // A console gives UTF-16; read it as such so a password in any language keeps its bytes.
        std::wstring wideLine;
        for (;;) {
            wchar_t c;
            DWORD read = 0;
            if (!::ReadConsoleW(input, &c, 1, &read, nullptr)) win32::raiseLastError("ReadConsoleW");
            if (read == 0) break;
            anything = true;
            if (c == L'\n') break;
            if (c != L'\r') wideLine.push_back(c);
        }
        line = win32::narrow(wideLine);
    } else {
        for (;;) {
            char c;
            DWORD read = 0;
            if (!::ReadFile(input, &c, 1, &read, nullptr)) {
                if (::GetLastError() == ERROR_BROKEN_PIPE) break;
                win32::raiseLastError("ReadFile");
            }
            if (read == 0) break;
            anything = true;
            if (c == '\n') break;
            line.push_back(c);
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    if (!anything) return std::nullopt;
    return line;
}

} // namespace fernhollow::platform
