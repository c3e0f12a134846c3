// The pieces of HTTP the handlers share, as pure functions: where a URL is
// looked up, which content type a name gets, the fixed answers, escaping,
// and the names of the list page. They read only text, so they can be
// tested on their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// The answer to a request line without a method and a target.
std::string badRequestLineAnswer();

// Where a URL text is looked up on disk.
struct MappedPath {
    std::string filePath;
    // Whether the root was put in front of the URL text ("updating path").
    bool rootPrefixed = false;
};

// Whether the URL text begins with the root as a whole folder, not merely with
// the same letters.
bool beginsWithFolder(std::string_view url, std::string_view root);
// Joins the root and the URL text (unless the URL already begins with the
// root folder or names "web\MathJax"), then puts it in the system's path form.
MappedPath mapUrlToPath(std::string_view root, std::string_view url);

// How a URL text is to be answered, chosen by the first rule that holds.
enum class ContentKind { Typed, Script, Unknown };
struct ContentChoice {
    ContentKind kind;
    // The Content-Type value; empty for scripts and unknown types.
    std::string_view type;
};

// Whether a URL text holds ".php" anywhere (in any letter case where file
// names ignore it): the content table's script rule.
bool namesScript(std::string_view url);
// Whether the path of a URL text (the text before its first "?") ends in a
// segment whose name ends in ".php" (any letter case where file names ignore
// it): such a path is always a script, whatever else its name holds.
bool endsInScriptName(std::string_view url);
// The content type of a URL text by the ordered rule table.
ContentChoice chooseContentType(std::string_view url);

// The URL text a request path names a file by: "/" is index.html.
std::string pageUrl(std::string_view path);

// Whether a URL text (a GET's path, a HEAD's target) is answered by the
// script gateway rather than served as a file.
bool isScriptUrl(std::string_view url);


// The answer to a request whose body is sent in an encoding the server does not decode.
std::string notImplementedAnswer();

// The head of a file answer (GET and HEAD alike), with the file's entity tag.
std::string okHead(std::string_view contentType, std::int64_t size, std::string_view etag);

// The page for a missing file, with the root it was looked for in.
std::string notFoundPage(std::string_view root);

// Sent after a failure while a file answer was under way.
inline constexpr std::string_view failedSendHead = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/html\r\n\r\n";


// Whether a directory entry's name is a wiki file ("tiddly-*.html", letter case ignored).
bool isWikiFileName(std::string_view name);

// An entry of the wiki list with what is said about it on the console.
struct WikiEntry {
    std::string fullName;
    std::vector<std::string> parts;
    std::string linkText;
};

// The root and an entry name joined as a path, cut at the separator, with the entry's
// own name as the link text.
WikiEntry wikiEntry(std::string_view root, std::string_view name);

// "parts " and the pieces as a bracketed list of quoted texts.
std::string partsLine(const std::vector<std::string>& parts);

// The link text made safe as HTML text and attribute (& < > " ').
std::string escapeHtml(std::string_view text);

// Every byte outside letters, digits and -._~/ written as %XX.
std::string percentEncode(std::string_view text);

// The whole answer carrying a list page.
std::string wikiListResponse(std::string_view page);

} // namespace fernhollow
