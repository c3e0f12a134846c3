// The console: whole lines on standard output, each flushed as it is written.
#pragma once

#include <string_view>

namespace fernhollow::platform {

// Writes `line` and a line feed to standard output in one write, at once.
void consoleLine(std::string_view line);
// Writes `text` to standard error (reports of failures that end the program).
void errorReport(std::string_view text);

} // namespace fernhollow::platform
