// The console: whole lines on standard output, each written at once, or
// while the server's loop serves, held for the loop's pass and written together
// before it waits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fernhollow::platform {

// Writes `line` and a line feed to standard output in one write, at once.
void consoleLine(std::string_view line);
// From now on every console line passes through `transform` before it is
// written (the server escapes what requests could have put into a line).
void transformConsoleLines(std::string (*transform)(std::string_view));
// From now on (`hold`) console lines are held until flushConsoleLines, or
// until many are held; otherwise each is written at once.
void holdConsoleLines(bool hold);
// Writes the console lines held, in one write.
void flushConsoleLines();
// Writes `text` to standard error (reports of failures that end the program).
void errorReport(std::string_view text);

// The system's own writes, each of the whole text at once; a console that is
// gone is not the server's failure, so neither raises.
void writeStandardOutput(std::string_view text);
void writeStandardError(std::string_view text);

// Whether standard input is a terminal (a console window on Windows), where a person types.
bool standardInputIsTerminal();
// One line of standard input without its line end, not echoed when the input
// is a terminal (a prompt `prompt` goes to standard error then); nothing at
// the end of the input before any byte.
std::optional<std::string> readSecretLine(std::string_view prompt);

} // namespace fernhollow::platform
