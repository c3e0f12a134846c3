// How the system names files: the one definition of the path separator and
// of the naming rules that follow from it. Every separator rule of the server,
// and every test expectation that depends on one, reads these constants.
#pragma once

#include <string_view>

namespace fernhollow::platform {

// FERNHOLLOW_WINDOWS_PATHS builds the Linux test programs that drive the
// Windows server under Wine, so that they expect its separator.
#if defined(_WIN32) || defined(FERNHOLLOW_WINDOWS_PATHS)
inline constexpr char pathSeparator = '\\';
// Windows compares file names without regard to letter case and drops
// trailing dots and blanks; some names reach devices or other streams.
inline constexpr bool windowsFileNames = true;
#else
inline constexpr char pathSeparator = '/';
inline constexpr bool windowsFileNames = false;
#endif

// The separator as a text, and two of it in a row.
inline constexpr std::string_view separatorText{&pathSeparator, 1};
inline constexpr char doubledSeparatorBytes[] = {pathSeparator, pathSeparator, '\0'};
inline constexpr std::string_view doubledSeparator{doubledSeparatorBytes, 2};

// Where the last separator of `path` stands (Windows takes "/" for one too).
inline std::size_t lastSeparatorAt(std::string_view path) {
    return windowsFileNames ? path.find_last_of("\\/") : path.rfind(pathSeparator);
}

} // namespace fernhollow::platform
