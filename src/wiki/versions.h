// The history of a wiki page as the browser shows it: a page listing every
// kept version with a link that opens it and a button that restores it, and
// the restore itself, which replaces the page as a save does.
#pragma once

#include "http/answer.h"
#include "http/body.h"
#include "http/request.h"
#include "wiki/history.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
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

// The live page as its history page shows it.
struct CurrentPage {
    std::int64_t size = 0;
    std::tm saved{};  // local time of its last save
};

// A size exact to the byte, thousands separated: "2,431,005 bytes".
std::string exactSize(std::int64_t size);
// A change of size: "+1,204", "-3", "no change".
std::string sizeChange(std::int64_t change);
// What the history keeps, in one sentence, with the configured numbers.
std::string keptSentence(const HistorySettings& settings);

// The HTML history page of `relativePage` (its path below the root): what is
// kept, the `current` page first (when there is one), then `versions` newest
// first, each with when (versions of one second told apart), its exact size
// and change from the next older one, its kind, an "open" link and a link to
// confirm its restore; `restored` names the version a restore just brought
// back, if any.
std::string historyPage(std::string_view relativePage, std::vector<Version> versions, std::string_view restored,
                        const std::optional<CurrentPage>& current, const HistorySettings& settings);

// The page that asks before `version` of `relativePage` is restored: the
// version beside the `current` page, and the form whose POST restores it.
std::string restoreConfirmationPage(std::string_view relativePage, const Version& version,
                                    const std::optional<CurrentPage>& current);

// Where the opening <body> tag of a page ends in `head` (its first bytes):
// the offset just past its ">", or nothing when it is not there.
std::optional<std::size_t> bodyTagEnd(std::string_view head);

// The notice shown at the top of a kept version of `relativePage` (its path
// below the root) opened from the history: which page it is an earlier
// version of, when it was kept, and that saving it changes nothing.
std::string versionNotice(std::string_view relativePage, const Version& version);

// The page and the version a path below the root names when it is a kept
// version in the history ("history/<page>/<version name>"); nothing otherwise.
struct KeptVersion {
    std::string page;
    Version version;
};
std::optional<KeptVersion> keptVersionAt(std::string_view relative);

// Answers with the history page of the page the query names, or the
// confirmation of the restore it asks for; HEAD with the head GET gets.
Answer historyPageAnswer(const std::string& root, const Request& request);

// Takes a restore form's body; once whole, brings back the version it names.
BodyStart startRestore(const std::string& root, const Request& request, const PostHeaders& framing);

} // namespace fernhollow
