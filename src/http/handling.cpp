#include "http/handling.h"

#include "base/text.h"
#include "platform/paths.h"

#include <algorithm>
#include <system_error>

namespace fernhollow {

std::string badRequestLineAnswer() {
    return plainAnswer("400 Bad Request", "Bad Request: the request line needs a method and a target.\n");
}

bool beginsWithFolder(std::string_view url, std::string_view root) {
    if (!beginsWith(url, root)) return false;
    // "/srv/wiki-other" merely begins with the text of a root "/srv/wiki".
    return root.empty() || endsWith(root, "/") || endsWith(root, "\\") || url.size() == root.size() ||
           url[root.size()] == '/' || url[root.size()] == platform::pathSeparator;
}

MappedPath mapUrlToPath(std::string_view root, std::string_view url) {
    MappedPath mapped;
    std::string joined;
    if (!contains(url, "web\\MathJax") && !beginsWithFolder(url, root)) {
        mapped.rootPrefixed = true;
        joined.append(root);
    }
    joined.append(url);
    mapped.filePath = systemPathForm(joined);
    return mapped;
}

bool namesScript(std::string_view url) {
    // Windows finds "t.PHP" under "t.php": its source must never go out as a file.
    if (platform::windowsFileNames) return contains(lowerAscii(url), ".php");
    return contains(url, ".php");
}

bool endsInScriptName(std::string_view url) {
    std::string_view path = url.substr(0, url.find('?'));
    std::string_view name = path.substr(platform::lastSeparatorAt(path) + 1);
    // Windows finds "t.PHP" under "t.php": its source must never go out as a file.
    if (platform::windowsFileNames) return endsWith(lowerAscii(name), ".php");
    return endsWith(name, ".php");
}

ContentChoice chooseContentType(std::string_view url) {
    // Decided before the table, whose earlier rules would send a script named
    // "/reveal.js/notes.php" or "/a.html.php" as a file, source and all.
    if (endsInScriptName(url)) return {ContentKind::Script, ""};
    if (contains(url, ".css")) return {ContentKind::Typed, "text/css"};
    if (endsWith(url, ".txt")) return {ContentKind::Typed, "text/plain"};
    if (contains(url, ".html")) return {ContentKind::Typed, "text/html"};
    if (contains(url, ".js")) return {ContentKind::Typed, "text/javascript"};
    if (contains(url, ".png")) return {ContentKind::Typed, "image/png"};
    if (contains(url, ".gif")) return {ContentKind::Typed, "image/gif"};
    if (namesScript(url)) return {ContentKind::Script, ""};
    if (contains(url, ".ttf")) return {ContentKind::Typed, "font/ttf"};
    return {ContentKind::Unknown, ""};
}

std::string pageUrl(std::string_view path) {
    return path == "/" ? "/index.html" : std::string(path);
}

bool isScriptUrl(std::string_view url) {
    return chooseContentType(url).kind == ContentKind::Script;
}

std::string notImplementedAnswer() {
    return plainAnswer("501 Not Implemented",
                       "Not Implemented: this server takes request bodies only as plain bytes with a Content-Length, "
                       "not in a Transfer-Encoding.\n");
}

std::string okHead(std::string_view contentType, std::int64_t size, std::string_view etag) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: ";
    head.append(contentType);
    head.append("\r\nContent-Length: ");
    head.append(std::to_string(size));
    head.append("\r\nETag: ");
    head.append(etag);
    head.append("\r\nCache-control: no-store\r\nPragma: no-cache\r\n\r\n");
    return head;
}

std::string notFoundPage(std::string_view root) {
    std::string page = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\nDOCUMENT_ROOT=";
    page.append(root);
    page.append("\r\n<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML 2.0//EN\">\r\n"
                "<html><head><title>404 Not Found</title></head>"
                "<body><h1>Not Found</h1><p>The requested URL was not found on this server."
                "</p></body></html>");
    return page;
}

bool isWikiFileName(std::string_view name) {
    std::string lowered = lowerAscii(name);
    constexpr std::string_view front = "tiddly-";
    constexpr std::string_view back = ".html";
    return lowered.size() >= front.size() + back.size() && beginsWith(lowered, front) && endsWith(lowered, back);
}

WikiEntry wikiEntry(std::string_view root, std::string_view name) {
    WikiEntry entry;
    entry.fullName = root;
    if (!root.empty() && !endsWith(root, "/") && !endsWith(root, "\\")) entry.fullName.push_back(platform::pathSeparator);
    entry.fullName.append(name);
    for (std::string_view piece : split(entry.fullName, platform::separatorText)) entry.parts.emplace_back(piece);
    // The entry's own name, also when a root ending in "\" leaves no "/" to cut at.
    entry.linkText = name;
    return entry;
}

std::string partsLine(const std::vector<std::string>& parts) {
    std::string line = "parts [";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) line.append(", ");
        line.append("\"").append(parts[i]).append("\"");
    }
    line.append("]");
    return line;
}

std::string escapeHtml(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': escaped.append("&amp;"); break;
        case '<': escaped.append("&lt;"); break;
        case '>': escaped.append("&gt;"); break;
        case '"': escaped.append("&quot;"); break;
        case '\'': escaped.append("&#39;"); break;
        default: escaped.push_back(c);
        }
    }
    return escaped;
}

std::string percentEncode(std::string_view text) {
    return escapeBytes(text, "%", "0123456789ABCDEF", [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_' || c == '~' || c == '/';
    });
}

std::string wikiListResponse(std::string_view page) {
    std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: ";
    response.append(std::to_string(page.size()));
    response.append("\r\n\r\n");
    response.append(page);
    return response;
}

} // namespace fernhollow
