// The history of a wiki page as the browser shows it: a page listing every
// kept version with a link that opens it and a button that restores it, and
// the restore itself, which replaces the page as a save does.
#pragma once

#include "history.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// Where the history pages are asked for and the restore form is sent.
inline constexpr std::string_view historyPagePath = "/tiddly/history";

// The fields of an application/x-www-form-urlencoded text ("+" a blank,
// %XX escapes decoded); a later field of the same name wins.
std::map<std::string, std::string> parseForm(std::string_view text);

// The URL of the history page of `relativePage`, with an optional note of
// the version just restored.
std::string historyPageUrl(std::string_view relativePage, std::string_view restored = "");

// The HTML history page of `relativePage` (its path below the root) listing
// `versions` newest first: when, size, kind, an "open" link and a restore
// form; `restored` names the version a restore just brought back, if any.
std::string historyPage(std::string_view relativePage, std::vector<Version> versions, std::string_view restored);

} // namespace fernhollow
