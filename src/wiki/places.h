// Where a page may be read, written or kept. Every request that names a place
// below the document root asks here: GET and HEAD of a file, PUT and its
// OPTIONS probe, the upload's file name and backup folder, the history page
// and its restore. The answer is decided on the path's segments, "." and empty
// ones left out, so that no spelling of a path ("/./history", "//history",
// "/%2e/history" once decoded) reaches a place that its plain spelling may not.
#pragma once

#include "http/handling.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// What a request means to do at a place.
enum class PlaceUse {
    Read,          // serve a file by GET or HEAD; a kept version may be opened
    WriteFile,     // write a file an upload names (the page, or its backup)
    BackupFolder,  // keep an upload's previous page in this folder
    ReplacePage,   // replace an existing .html/.htm page in place (PUT; OPTIONS asks the same)
    PageHistory,   // show or restore the history of a .html/.htm page
};

// Why a place may not be used as asked.
enum class PlaceRefusal {
    LeavesRoot,    // a ".." segment climbs out of the served folder
    NotPlain,      // a NUL byte, a save's temporary name, or a name Windows reads as another
    NoName,        // nothing is left once "." and empty segments are left out
    InHistory,     // inside the version history, which only saves and thinning change
    NotAPage,      // not an .html or .htm page
    Missing,       // no regular file stands there
    ExchangeFile,  // a script exchange file
};

// A place as decided: the refusal, or where it is.
struct Place {
    std::optional<PlaceRefusal> refusal;
    // The path's segments below the root joined by "/", without a first "/".
    std::string relative;
    // Read and ReplacePage: the file on disk, as the URL maps to it (also
    // when refused, for the console lines).
    MappedPath mapped;
    bool allowed() const { return !refusal.has_value(); }
};

// The segments of a path below the root: cut at "/" (and "\" on Windows),
// "." and empty segments left out, ".." kept.
std::vector<std::string_view> placeSegments(std::string_view path);

// Whether a path below the root (segments as placeSegments gives them) lies in
// the version history folder, in any letter case or short name Windows takes.
bool segmentsInHistory(const std::vector<std::string_view>& segments);

// Decides whether `path` may be used for `use` under `root`. For Read and
// ReplacePage `path` is the decoded URL path ("/" already mapped to its
// page); for the others it is a name below the root as a form or an upload
// gives it.
Place resolvePlace(const std::string& root, std::string_view path, PlaceUse use);

} // namespace fernhollow
