#include "wiki/places.h"

#include "base/exchange.h"
#include "wiki/pages.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "wiki/put.h"
#include "base/text.h"

namespace fernhollow {

std::vector<std::string_view> placeSegments(std::string_view path) {
    std::vector<std::string_view> segments;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        bool separator = i < path.size() && (path[i] == '/' || (platform::windowsFileNames && path[i] == '\\'));
        if (i < path.size() && !separator) continue;
        std::string_view segment = path.substr(start, i - start);
        if (!segment.empty() && segment != ".") segments.push_back(segment);
        start = i + 1;
    }
    return segments;
}

bool segmentsInHistory(const std::vector<std::string_view>& segments) {
    if (segments.empty()) return false;
    if (!platform::windowsFileNames) return segments.front() == historyFolderName;
    std::string first = lowerAscii(segments.front());
    if (first == historyFolderName) return true;
    // Windows also opens a folder by its short name: "histor~1" may be the history.
    std::string_view shortStem = historyFolderName.substr(0, 6);
    if (!beginsWith(first, std::string(shortStem) + "~") || first.size() == shortStem.size() + 1) return false;
    return first.find_first_not_of("0123456789", shortStem.size() + 1) == std::string::npos;
}

namespace {

// The path below the root that a URL's mapping reaches, or nothing when the
// URL is taken as a path of its own ("web\MathJax") that lies outside the root.
std::optional<std::string_view> ownPath(const std::string& root, std::string_view url, const MappedPath& mapped) {
    if (mapped.rootPrefixed) return url;
    if (!beginsWithFolder(url, root)) return std::nullopt;
    return url.substr(root.size());
}

// Why the segments of `path` name no plain place below the root, if they do not.
std::optional<PlaceRefusal> segmentRefusal(std::string_view path, const std::vector<std::string_view>& segments) {
    if (hasParentSegment(path)) return PlaceRefusal::LeavesRoot;
    if (path.find('\0') != std::string_view::npos) return PlaceRefusal::NotPlain;
    if (platform::windowsFileNames && hasWindowsAliasSegment(path)) return PlaceRefusal::NotPlain;
    if (segments.empty()) return PlaceRefusal::NoName;
    // A save's temporary name holds a page being written or one replaced.
    if (isTemporarySaveName(segments.back())) return PlaceRefusal::NotPlain;
    return std::nullopt;
}

// Why the file a Read or a ReplacePage reaches may not be used, if it may not.
std::optional<PlaceRefusal> fileRefusal(const std::string& filePath) {
    if (platform::entryKind(filePath) != platform::EntryKind::File) return PlaceRefusal::Missing;
    // The script exchange files hold the last request's body and answer.
    if (isExchangeFile(filePath)) return PlaceRefusal::ExchangeFile;
    return std::nullopt;
}

// Why a place an upload or a restore writes may not be used, if it may not.
std::optional<PlaceRefusal> writeRefusal(const std::string& root, const std::string& relative, PlaceUse use) {
    if (use == PlaceUse::PageHistory && !namesPage(relative)) return PlaceRefusal::NotAPage;
    if (use == PlaceUse::BackupFolder) return std::nullopt;
    // A second name of an exchange file would hand the last script request's
    // body to whoever reads the page or its backup.
    if (isExchangeFile(systemPathForm(savePaths(root, relative, "").pagePath))) return PlaceRefusal::ExchangeFile;
    return std::nullopt;
}

} // namespace

Place resolvePlace(const std::string& root, std::string_view path, PlaceUse use) {
    Place place;
    bool mapsUrl = use == PlaceUse::Read || use == PlaceUse::ReplacePage;
    std::optional<std::string_view> own = path;
    if (mapsUrl) {
        place.mapped = mapUrlToPath(root, path);
        own = ownPath(root, path, place.mapped);
        if (!own) {
            place.refusal = PlaceRefusal::LeavesRoot;
            return place;
        }
    }
    std::vector<std::string_view> segments = placeSegments(*own);
    for (std::string_view segment : segments) {
        if (!place.relative.empty()) place.relative.push_back('/');
        place.relative.append(segment);
    }
    place.refusal = segmentRefusal(*own, segments);
    if (place.refusal) return place;
    // Versions change only by thinning; one comes back by a restore.
    if (use != PlaceUse::Read && segmentsInHistory(segments)) place.refusal = PlaceRefusal::InHistory;
    else if (mapsUrl) place.refusal = fileRefusal(place.mapped.filePath);
    else place.refusal = writeRefusal(root, place.relative, use);
    if (!place.refusal && use == PlaceUse::ReplacePage && !namesPage(place.relative))
        place.refusal = PlaceRefusal::NotAPage;
    return place;
}

} // namespace fernhollow
