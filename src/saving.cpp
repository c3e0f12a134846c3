#include "saving.h"

#include "config.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "server.h"
#include "text.h"

#include <cstdint>
#include <exception>
#include <random>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

UploadOptions parseUploadOptionsText(std::string_view part) {
    UploadOptions options;
    if (!skipPast(part, "\r\n\r\n")) {
        options.messages.emplace_back("Couldn't find end of part");
        return options;
    }
    for (std::string_view item : split(part, ";")) {
        if (beginsWith(item, "backupDir=")) {
            auto pieces = split(item, "=");
            if (pieces.size() != 2) continue;
            options.backupDir = std::string(pieces[1]);
            options.messages.push_back("back up directory set to " + *options.backupDir);
        } else if (beginsWith(item, "password=")) {
            auto pieces = split(item, "=");
            if (pieces.size() != 2) continue;
            options.messages.push_back("password is set: " + std::string(pieces[1]));
        }
    }
    return options;
}

namespace {

// The offset of `inner`, a view into `outer`, from the start of `outer`.
std::size_t offsetIn(std::string_view outer, std::string_view inner) {
    return static_cast<std::size_t>(inner.data() - outer.data());
}

// Reads the items of one Content-Disposition line of `part` into `result`.
void readDisposition(std::string_view body, std::string_view line, std::string_view part, MultipartParse& result) {
    std::string_view afterName = line;
    skipPast(afterName, ":");
    std::string items = removeAll(afterName, ' ');
    for (std::string_view item : split(items, ";")) {
        // An item without "=" has no value to take.
        if (beginsWith(item, "filename")) {
            auto pieces = split(item, "=");
            if (pieces.size() < 2) continue;
            result.fileName = removeAll(pieces[1], '"');
            result.messages.push_back("filename is " + *result.fileName);
        } else if (beginsWith(item, "name")) {
            auto pieces = split(item, "=");
            if (pieces.size() < 2) continue;
            result.formName = removeAll(pieces[1], '"');
            if (*result.formName != "UploadPlugin") continue;
            UploadOptions options = parseUploadOptionsText(part);
            result.optionsCalls.push_back(
                {offsetIn(body, part), part.size(), result.messages.size(), options.messages.size()});
            for (std::string& message : options.messages) result.messages.push_back(std::move(message));
            if (options.backupDir) result.backupDir = std::move(options.backupDir);
        }
    }
}

} // namespace

MultipartParse parseMultipartBody(std::string_view body, std::string_view boundary) {
    MultipartParse result;
    std::string delimiter = "\r\n--" + std::string(boundary);
    std::vector<std::string_view> pieces = split(body, delimiter);
    for (std::string_view piece : pieces) result.parts.emplace_back(offsetIn(body, piece), piece.size());

    for (std::size_t index = 0; index < pieces.size(); ++index) {
        std::string_view part = pieces[index];
        // The closing delimiter ends the body: an epilogue is never read.
        if (index > 0 && beginsWith(part, "--")) break;
        if (beginsWith(part, "\r\n")) part.remove_prefix(2);
        // Two delimiters back to back: nothing to read.
        if (part.empty()) continue;
        std::int64_t announced = 0;
        for (std::string_view line : headerLines(part)) {
            if (lowerAscii(line.substr(0, 20)) == "content-disposition:") readDisposition(body, line, part, result);
            if (beginsWith(line, "Content-Length:")) {
                auto words = split(line, " ");
                // A length line without a space announces nothing.
                if (words.size() < 2) continue;
                try {
                    announced = parseSigned64(words[1], "Content-Length of a part");
                } catch (const std::system_error&) {
                    result.failure = std::current_exception();
                    return result;
                }
            }
        }
        if (announced > 0 && result.fileName && !result.fileName->empty()) {
            std::string_view content = part;
            if (skipPast(content, "\r\n\r\n")) {
                result.contentTaken = true;
                result.contentOffset = offsetIn(body, content);
                result.contentSize = content.size();
            }
        }
    }
    return result;
}

SavePaths savePaths(std::string root, const std::string& fileName, const std::string& backupDir) {
    SavePaths paths;
    paths.root = std::move(root);
    if (!endsWith(paths.root, platform::separatorText) && !beginsWith(fileName, platform::separatorText)) {
        paths.root += platform::separatorText;
        paths.rootExtended = true;
    }
    paths.pagePath = paths.root + fileName;
    if (!backupDir.empty()) paths.backupPath = paths.root + backupDir + platform::pathSeparator + fileName;
    return paths;
}

std::string folderOf(const std::string& path) {
    std::size_t at = platform::lastSeparatorAt(path);
    if (at == std::string::npos) return ".";
    if (at == 0) return path.substr(0, 1);
    return path.substr(0, at);
}

bool isTemporaryNameOf(std::string_view name, std::string_view target) {
    if (!beginsWith(name, target)) return false;
    std::string_view suffix = name.substr(target.size());
    if (!beginsWith(suffix, ".saving-") || suffix.size() != 8 + 12) return false;
    for (char c : suffix.substr(8))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

namespace {

// How many names are tried before a temporary name is given up.
constexpr int uniqueNameAttempts = 32;

// A suffix that makes a temporary name unique beside its target.
std::string uniqueSuffix() {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::uint64_t value = generator();
    std::string suffix = ".saving-";
    for (int i = 0; i < 12; ++i, value >>= 4) suffix.push_back(digits[value & 15]);
    return suffix;
}

// Calls `make` with fresh candidate names beside `target` until one does not
// exist yet; returns that name.
template <typename Make>
std::string makeUnique(const std::string& target, Make make) {
    for (int attempt = 1;; ++attempt) {
        std::string candidate = target + uniqueSuffix();
        try {
            make(candidate);
            return candidate;
        } catch (const std::system_error& error) {
            if (error.code() != std::errc::file_exists || attempt == uniqueNameAttempts) throw;
        }
    }
}

} // namespace

TemporaryFile::TemporaryFile(const std::string& target) : target_(target) {
    path_ = makeUnique(target, [this](const std::string& candidate) { fd_ = platform::createExclusive(candidate); });
}

TemporaryFile::~TemporaryFile() {
    if (committed_) return;
    fd_.reset();
    try {
        platform::removeFile(path_);
    } catch (const std::system_error&) {
        // Nothing more can be done about a name that will not go away.
    }
}

void TemporaryFile::commit() {
    fd_.reset();
    platform::renameReplacing(path_, target_);
    committed_ = true;
}

TemporaryLink::TemporaryLink(const std::string& existing, const std::string& target) : target_(target) {
    path_ = makeUnique(target, [&existing](const std::string& candidate) { platform::hardLink(existing, candidate); });
}

TemporaryLink::~TemporaryLink() {
    if (committed_) return;
    try {
        platform::removeFile(path_);
    } catch (const std::system_error&) {
        // Nothing more can be done about a name that will not go away.
    }
}

void TemporaryLink::commit() {
    platform::renameReplacing(path_, target_);
    // When the backup already was this same file (a save interrupted after
    // its backup step), the system keeps both names and renames nothing.
    platform::removeFile(path_);
    committed_ = true;
}

namespace {

// Removes the temporary names that an interrupted save of `target` left
// beside it. Saves never overlap, so any such name is a leftover.
void removeLeftovers(const std::string& target) {
    std::string folder = folderOf(target);
    std::string name = target.substr(platform::lastSeparatorAt(target) + 1);
    try {
        for (const std::string& entry : platform::listDirectory(folder))
            if (isTemporaryNameOf(entry, name)) platform::removeFile(folder + platform::pathSeparator + entry);
    } catch (const std::system_error&) {
        // A leftover that cannot be removed harms nothing but disk space.
    }
}

// Puts `content` at the page path so that the path always names either the
// whole old page or the whole new one: the new page is written and flushed
// under a temporary name first, then `backup` (the old page's second name)
// replaces the backup, and only then the new page replaces the old one.
void replacePage(const SavePaths& paths, std::string_view content, TemporaryLink* backup) {
    TemporaryFile page(paths.pagePath);
    platform::writeAll(page.descriptor(), content);
    if (platform::entryKind(paths.pagePath) == platform::EntryKind::File)
        platform::copyPermissions(paths.pagePath, page.descriptor());
    else
        platform::defaultPermissions(page.descriptor());
    platform::syncFile(page.descriptor());
    if (backup != nullptr) backup->commit();
    page.commit();
    std::string pageFolder = folderOf(paths.pagePath);
    platform::syncDirectory(pageFolder);
    if (backup != nullptr && folderOf(paths.backupPath) != pageFolder) platform::syncDirectory(folderOf(paths.backupPath));
}

} // namespace

void RequestHandler::parseMultipart() {
    MultipartParse parsed = parseMultipartBody(body, boundary);
    parts = std::move(parsed.parts);
    // The option lines are written by parseUploadOptions itself, at their turn.
    std::size_t next = 0;
    for (const auto& call : parsed.optionsCalls) {
        for (; next < call.firstMessage; ++next) consoleLine(parsed.messages[next]);
        parseUploadOptions(std::string_view(body).substr(call.offset, call.size));
        next += call.messageCount;
    }
    for (; next < parsed.messages.size(); ++next) consoleLine(parsed.messages[next]);
    if (parsed.fileName) fileName = std::move(*parsed.fileName);
    if (parsed.formName) formName = std::move(*parsed.formName);
    if (parsed.failure) std::rethrow_exception(parsed.failure);
    fileContentTaken = parsed.contentTaken;
    if (parsed.contentTaken) {
        // Narrowed in place: a page of many megabytes is never held twice.
        body.erase(parsed.contentOffset + parsed.contentSize);
        body.erase(0, parsed.contentOffset);
    }
}

void RequestHandler::parseUploadOptions(std::string_view part) {
    UploadOptions options = parseUploadOptionsText(part);
    for (const std::string& message : options.messages) consoleLine(message);
    if (options.backupDir) backupDir = std::move(*options.backupDir);
}

void RequestHandler::saveTiddly() {
    std::string root = getConfig("root");
    parseMultipart();
    consoleLine("Form Name is " + formName);
    SavePaths paths = savePaths(std::move(root), fileName, backupDir);
    if (paths.rootExtended) consoleLine(std::string("Appended ") + platform::pathSeparator + " to root path");
    if (formName != "userfile" || fileName.empty()) return;

    auto refuse = [this](std::string_view status, std::string_view text) {
        send(plainAnswer(status, text));
        keepOpen = 0;
    };
    if (hasParentSegment(fileName) || hasParentSegment(backupDir)) {
        consoleLine("refusing to save " + fileName + ": a name leaves the document root");
        refuse("403 Forbidden", "The file name or the backup folder leaves the document root.\n");
        return;
    }
    if (platform::windowsFileNames && (hasWindowsAliasSegment(fileName) || hasWindowsAliasSegment(backupDir))) {
        consoleLine("refusing to save " + fileName + ": a name is not a plain file name on this system");
        refuse("403 Forbidden", "The file name or the backup folder names a device or a stream, or ends in a dot or a blank.\n");
        return;
    }
    if (!fileContentTaken) {
        consoleLine("refusing to save " + fileName + ": no file part announced a length");
        refuse("400 Bad Request", "The upload holds no file part with a length; nothing was saved.\n");
        return;
    }

    removeLeftovers(paths.pagePath);
    if (!paths.backupPath.empty()) removeLeftovers(paths.backupPath);
    std::optional<TemporaryLink> backup;
    if (backupDir.empty()) {
        consoleLine("warning: no backup directory specified");
    } else if (platform::entryKind(paths.pagePath) != platform::EntryKind::Missing) {
        consoleLine("moving " + paths.pagePath + " to backup directory, " + paths.backupPath);
        try {
            backup.emplace(paths.pagePath, paths.backupPath);
        } catch (const std::exception&) {
            consoleLine("there was an exception when copying the file to a backup directory");
            refuse("500 Internal Server Error",
                   "The backup of the previous page could not be made, so the page was not saved.\n");
            return;
        }
    }
    consoleLine("writing data to file " + paths.pagePath);
    try {
        replacePage(paths, body, backup ? &*backup : nullptr);
    } catch (const std::system_error& error) {
        consoleLine(std::string("the page could not be saved: ") + error.what());
        // Another program holding the page open keeps it whole, but unsaved.
        refuse("500 Internal Server Error", error.code() == std::errc::device_or_resource_busy
                                                ? "The page is in use by another program and was not saved.\n"
                                                : "The page could not be saved.\n");
        return;
    }
    send("HTTP/1.1 200 OK\r\n\r\n");
    keepOpen = 0;
}

} // namespace fernhollow
