// Saving in place: the wiki's own PUT saver and its OPTIONS probe. A page is
// replaced only when the client names the version it loaded (If-Match with
// the page's entity tag); a page that changed on disk since is never
// overwritten, and the refused page is kept as a conflict copy instead.
#pragma once

#include "http/answer.h"
#include "http/body.h"
#include "http/request.h"

#include <cstdint>
#include <memory>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// The methods the server answers for a page PUT may save, and for any other target.
inline constexpr std::string_view allowedMethods = "GET, HEAD, POST, PUT, OPTIONS";
inline constexpr std::string_view methodsWithoutPut = "GET, HEAD, POST, OPTIONS";

// The answer to OPTIONS; "DAV: 1" tells a wiki it may save the URL by PUT.
std::string optionsAnswer(bool puttable);
// Answers OPTIONS: which methods the URL takes, and whether PUT may save it.
Answer optionsAnswerFor(const std::string& root, const Request& request);

// Whether a URL text names a page PUT may replace: its path's last name ends
// in ".html" or ".htm", in any letter case.
bool namesPage(std::string_view url);

// Whether an If-Match value lets the version tagged `current` be replaced:
// "*", or a comma-separated list naming that tag (compared strongly: a weak
// tag never matches).
bool ifMatchAllows(std::string_view ifMatch, std::string_view current);

// The name a refused page of `pageName` (a bare file name) is kept under,
// saved at local time `when`: its name less ".html"/".htm", then
// ".conflict-YYYYMMDD-HHMMSS", "-N" from the second `attempt` on, and ".html".
std::string conflictCopyName(std::string_view pageName, const std::tm& when, int attempt);

// What the head of a PUT says of its body: the length to await, or the whole
// answer of a refusal due at once (no length, a malformed one, no page).
struct PutLength {
    std::int64_t length = 0;
    std::optional<std::string> refusal;
    std::string reason;  // for the console, with the refusal
};
PutLength putLength(const std::vector<std::string>& headLines);

// Reads what the head of a PUT says of its body, refusing one it cannot take.
BodyStart startPut(const std::string& root, const Request& request, const PostHeaders& framing);

} // namespace fernhollow
