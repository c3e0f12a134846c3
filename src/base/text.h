// The text operations every module shares. Texts are byte strings: nothing
// here decodes, validates or case-folds unless its name says so.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// Pieces between non-overlapping occurrences of `separator`, empty pieces
// kept; a text without it is its own piece; an empty text gives no pieces.
std::vector<std::string_view> split(std::string_view text, std::string_view separator);
// Byte-exact prefix test; a shorter text never matches.
bool beginsWith(std::string_view text, std::string_view prefix);
// Byte-exact suffix test; a shorter text never matches.
bool endsWith(std::string_view text, std::string_view suffix);
// Whether `needle` stands anywhere in `text`.
bool contains(std::string_view text, std::string_view needle);
// Every non-overlapping occurrence of `from`, found from the left, replaced in one pass.
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);
// On success `text` becomes what follows the first `separator` and true is
// returned; otherwise `text` is unchanged and false is returned.
bool skipPast(std::string_view& text, std::string_view separator);
// Every occurrence of `c` removed.
std::string removeAll(std::string_view text, char c);
// Cut at every "\r\n", keeping lines up to and including the first empty one;
// a first line of exactly "--" is the whole result; an empty text gives none.
std::vector<std::string_view> headerLines(std::string_view text);
// ASCII letters lowered; every other byte kept.
std::string lowerAscii(std::string_view text);
// Leading and trailing Unicode white space removed (UTF-8 encoded).
std::string trimWhiteSpace(std::string_view text);
// A strict signed 64-bit decimal: optional "+" or "-", then digits only.
// Raises std::system_error (invalid_argument / result_out_of_range) otherwise.
std::int64_t parseSigned64(std::string_view text, const char* what);
// An answer the server composes itself (refusals, failures, limits): the
// status line, a text/plain body and its Content-Length;
// `headers` (whole lines, each ending in CR LF) follow Content-Length.
std::string plainAnswer(std::string_view status, std::string_view text, std::string_view headers = "");
// Every byte that `keep` refuses written as `prefix` and two hex digits taken
// from `digits` (upper- or lowercase); every other byte kept.
std::string escapeBytes(std::string_view text, std::string_view prefix, std::string_view digits,
                        bool (*keep)(unsigned char));
// The bytes below 0x20 and 0x7F written as "\xNN" (two lowercase hex
// digits); every other byte kept, so a line of plain bytes is unchanged.
std::string escapeControlBytes(std::string_view line);
// The value of one hex digit (either letter case), or -1 for any other byte.
int hexDigitValue(char c);
// Whether a "/" or "\" separated path holds a ".." segment.
bool hasParentSegment(std::string_view path);
// A joined path in the system's form: every "/" turned into the system's
// separator, then every doubled separator made one, each in one pass from the
// left (on POSIX only the second pass changes anything).
std::string systemPathForm(std::string_view joined);
// Whether a "/" or "\" separated path holds a segment that Windows takes for
// another file than its bytes name: one ending in "." or " " (Windows drops
// them; "." alone is the folder itself), one holding ":" (a stream or a
// drive) or a byte Windows refuses in names, or a device name (CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, CONIN$, CONOUT$, in any letter case, with any extension).
bool hasWindowsAliasSegment(std::string_view path);

} // namespace fernhollow
