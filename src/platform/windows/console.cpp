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

} // namespace

void writeStandardOutput(std::string_view text) {
    writeStandard(STD_OUTPUT_HANDLE, text);
}

void writeStandardError(std::string_view text) {
    writeStandard(STD_ERROR_HANDLE, text);
}

} // namespace fernhollow::platform
