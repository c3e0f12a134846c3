#include "saving.h"

#include "access.h"
#include "config.h"
#include "gateway.h"
#include "platform/console.h"
#include "platform/errors.h"
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

std::vector<DispositionItem> dispositionItems(std::string_view text) {
    std::vector<DispositionItem> items;
    if (text.empty()) return items;
    DispositionItem item;
    bool quoted = false;
    int equalsSigns = 0;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            item.text.push_back(c);
            continue;
        }
        if (!quoted) {
            if (c == ';') {
                items.push_back(std::move(item));
                item = {};
                equalsSigns = 0;
                continue;
            }
            if (c == ' ') continue;
            if (c == '=') {
                item.text.push_back(c);
                if (++equalsSigns == 1) item.value.emplace();
                continue;
            }
        }
        item.text.push_back(c);
        if (equalsSigns == 1) item.value->push_back(c);
    }
    items.push_back(std::move(item));
    return items;
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
    for (DispositionItem& item : dispositionItems(afterName)) {
        // An item without "=" has no value to take.
        if (!item.value) continue;
        if (beginsWith(item.text, "filename")) {
            result.fileName = std::move(*item.value);
            result.messages.push_back("filename is " + *result.fileName);
        } else if (beginsWith(item.text, "name")) {
            result.formName = std::move(*item.value);
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
    // The upload ends at its last closing delimiter, not at the first text
    // that looks like one: the page may hold any text, that one included.
    std::size_t closeAt = body.rfind(delimiter + "--");
    result.closingSeen = closeAt != std::string_view::npos;
    std::string_view framed = body.substr(0, result.closingSeen ? closeAt : body.size());
    // A closing delimiter at the very start still has an (empty) part before it.
    std::vector<std::string_view> pieces =
        framed.empty() && result.closingSeen ? std::vector<std::string_view>{framed} : split(framed, delimiter);

    for (std::string_view piece : pieces) {
        result.parts.emplace_back(offsetIn(body, piece), piece.size());
        std::string_view part = piece;
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
        std::string_view content = part;
        if (announced > 0 && result.fileName && !result.fileName->empty() && skipPast(content, "\r\n\r\n")) {
            // The file part is the upload's last: its page runs to the closing
            // delimiter, whatever delimiter-like text it holds on the way.
            result.contentTaken = true;
            result.contentOffset = offsetIn(body, content);
            result.contentSize = framed.size() - result.contentOffset;
            result.parts.back().second = framed.size() - result.parts.back().first;
            break;
        }
    }
    if (result.closingSeen) {
        std::size_t afterClose = closeAt + delimiter.size();
        result.parts.emplace_back(afterClose, body.size() - afterClose);
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

namespace {

// A path with every separator the system takes written as its own.
std::string withOwnSeparators(std::string_view path) {
    return platform::windowsFileNames ? replaceAll(path, "/", platform::separatorText) : std::string(path);
}

// The segments of a separated path, "." and empty ones left out.
std::vector<std::string> namedSegments(std::string_view path) {
    std::vector<std::string> segments;
    std::string separated = withOwnSeparators(path);
    for (std::string_view segment : split(separated, platform::separatorText))
        if (!segment.empty() && segment != ".") segments.emplace_back(segment);
    return segments;
}

} // namespace

bool sameLexicalPath(std::string_view a, std::string_view b) {
    return beginsWith(withOwnSeparators(a), platform::separatorText) ==
               beginsWith(withOwnSeparators(b), platform::separatorText) &&
           namedSegments(a) == namedSegments(b);
}

std::string SaveFailureReport::text() const {
    return "Not saved: " + cause + ". " + advice + "\n";
}

namespace {

constexpr std::string_view clearBackup = "or clear Backup Directory in the wiki's saver settings.";

// Why the backup of the previous page could not be made, and what helps.
SaveFailureReport backupFailure(std::error_code code, const std::string& page, const std::string& folder) {
    const std::string backup = "'" + folder + platform::pathSeparator + page + "'";
    const std::string inFolder = "the backup folder '" + folder + "'";
    switch (platform::classifyFileFailure(code)) {
    case platform::FileFailure::Missing:
        return {"", inFolder + " does not exist in the served folder", "Create it, " + std::string(clearBackup)};
    case platform::FileFailure::NotAFolder:
        return {"", inFolder + " is not a folder in the served folder",
                "Make it a folder, " + std::string(clearBackup)};
    case platform::FileFailure::IsAFolder:
        return {"", backup + " in the served folder is a folder, so it cannot hold the backup",
                "Move that folder away, " + std::string(clearBackup)};
    case platform::FileFailure::NoPermission:
        return {"", "the server has no permission to write in " + inFolder,
                "Give it write permission there, " + std::string(clearBackup)};
    case platform::FileFailure::ReadOnly:
        return {"", inFolder + " is on a read-only disk", "Choose another backup folder, " + std::string(clearBackup)};
    case platform::FileFailure::DiskFull:
        return {"", "the disk that holds " + inFolder + " is full", "Free some space, then save again."};
    case platform::FileFailure::InUse:
        // Windows cannot make a second name of a page another program holds open.
        return {"", "'" + page + "' is in use by another program (an editor, a virus scanner or a backup tool)",
                "Close it there, then save again; the page on disk is unchanged."};
    case platform::FileFailure::OtherDisk:
        return {"", inFolder + " is on another disk than the page",
                "Choose a backup folder on the page's disk, " + std::string(clearBackup)};
    case platform::FileFailure::TooLarge:
    case platform::FileFailure::Other:
        break;
    }
    return {"", "the backup " + backup + " could not be made (" + code.message() + ")",
            "Check that folder, " + std::string(clearBackup)};
}

// Why the new page could not be written, and what helps.
SaveFailureReport writeFailure(std::error_code code, const std::string& page) {
    const std::string quoted = "'" + page + "'";
    switch (platform::classifyFileFailure(code)) {
    case platform::FileFailure::Missing:
    case platform::FileFailure::NotAFolder:
        return {"", "the folder for " + quoted + " does not exist in the served folder",
                "Create it, or set Upload Filename in the wiki's saver settings to a name in an existing folder."};
    case platform::FileFailure::IsAFolder:
        return {"", quoted + " is a folder in the served folder",
                "Set Upload Filename in the wiki's saver settings to a file name."};
    case platform::FileFailure::NoPermission:
        return {"", "the server has no permission to write " + quoted + " in the served folder",
                "Give it write permission there, then save again."};
    case platform::FileFailure::ReadOnly:
        return {"", quoted + " is on a read-only disk", "Save the wiki to a writable folder."};
    case platform::FileFailure::DiskFull:
        return {"", "the disk is full, so " + quoted + " could not be written whole",
                "Free some space, then save again; the page on disk is unchanged."};
    case platform::FileFailure::TooLarge:
        return {"", quoted + " is larger than the server may write there",
                "Free space or raise the server's file size limit, then save again; the page on disk is unchanged."};
    case platform::FileFailure::InUse:
        return {"", quoted + " is in use by another program (an editor, a virus scanner or a backup tool)",
                "Close it there, then save again; the page on disk is unchanged."};
    case platform::FileFailure::OtherDisk:
    case platform::FileFailure::Other:
        break;
    }
    return {"", quoted + " could not be written (" + code.message() + ")",
            "Check the served folder, then save again; the page on disk is unchanged."};
}

} // namespace

SaveFailureReport describeSaveFailure(SaveFailure failure, std::error_code code, std::string_view fileName,
                                      std::string_view backupDir) {
    const std::string page(fileName);
    const std::string folder(backupDir);
    const std::string unchanged = "Save again from the wiki; the page on disk is unchanged.";
    SaveFailureReport report;
    switch (failure) {
    case SaveFailure::NameLeavesRoot:
        report = {"403 Forbidden", "the file name '" + page + "' leads outside the served folder",
                  "Set Upload Filename in the wiki's saver settings to a name inside it, such as 'index.html'."};
        break;
    case SaveFailure::BackupLeavesRoot:
        report = {"403 Forbidden", "the backup folder '" + folder + "' leads outside the served folder",
                  "Set Backup Directory in the wiki's saver settings to a folder inside it, such as 'backup'."};
        break;
    case SaveFailure::NameNotPlain:
        report = {"403 Forbidden",
                  "the file name '" + page + "' names a device or a stream, or ends in a dot or a blank, on Windows",
                  "Set Upload Filename in the wiki's saver settings to a plain name, such as 'index.html'."};
        break;
    case SaveFailure::BackupNotPlain:
        report = {"403 Forbidden",
                  "the backup folder '" + folder + "' names a device or a stream, or ends in a dot or a blank, on Windows",
                  "Set Backup Directory in the wiki's saver settings to a plain name, such as 'backup'."};
        break;
    case SaveFailure::NotAnUpload:
        report = {"400 Bad Request", "the upload holds no part named 'userfile' with a file name",
                  "Save with the wiki's upload saver, which sends the page that way; nothing was changed."};
        break;
    case SaveFailure::BadPartLength:
        report = {"400 Bad Request", "a part of the upload announces a Content-Length that is not a number",
                  unchanged};
        break;
    case SaveFailure::ExchangeFile:
        report = {"403 Forbidden",
                  "the file name '" + page + "' names a file the server passes to its scripts, not a page",
                  "Set Upload Filename in the wiki's saver settings to the wiki's own file name."};
        break;
    case SaveFailure::Incomplete:
        report = {"400 Bad Request", "the upload ended before its closing boundary, so the page arrived incomplete",
                  unchanged};
        break;
    case SaveFailure::NoPage:
        report = {"400 Bad Request", "the upload holds no page (no file part with a length)", unchanged};
        break;
    case SaveFailure::EmptyPage:
        report = {"400 Bad Request", "the page in the upload is empty", unchanged};
        break;
    case SaveFailure::BackupFailed:
        report = backupFailure(code, page, folder);
        report.status = "500 Internal Server Error";
        break;
    case SaveFailure::WriteFailed:
        report = writeFailure(code, page);
        report.status = "500 Internal Server Error";
        break;
    }
    return report;
}

std::optional<SaveFailure> uploadRefusal(std::string_view formName, std::string_view fileName,
                                         std::string_view backupDir, bool closingSeen, bool contentTaken,
                                         std::size_t contentSize) {
    if (formName != "userfile" || fileName.empty()) return SaveFailure::NotAnUpload;
    if (hasParentSegment(fileName)) return SaveFailure::NameLeavesRoot;
    if (hasParentSegment(backupDir)) return SaveFailure::BackupLeavesRoot;
    // Windows would write such a name to a device, a stream or a shorter name.
    if (platform::windowsFileNames && hasWindowsAliasSegment(fileName)) return SaveFailure::NameNotPlain;
    if (platform::windowsFileNames && hasWindowsAliasSegment(backupDir)) return SaveFailure::BackupNotPlain;
    if (!closingSeen) return SaveFailure::Incomplete;
    if (!contentTaken) return SaveFailure::NoPage;
    if (contentSize == 0) return SaveFailure::EmptyPage;
    return std::nullopt;
}

std::string folderOf(const std::string& path) {
    std::size_t at = platform::lastSeparatorAt(path);
    if (at == std::string::npos) return ".";
    if (at == 0) return path.substr(0, 1);
    return path.substr(0, at);
}

bool isTemporarySaveName(std::string_view name) {
    std::string lowered = platform::windowsFileNames ? lowerAscii(name) : std::string(name);
    std::size_t at = lowered.rfind(".saving-");
    return at != std::string::npos && at > 0 && isTemporaryNameOf(lowered, lowered.substr(0, at));
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

DeferredRemovals::~DeferredRemovals() {
    for (const std::string& path : paths_) {
        try {
            platform::removeFile(path);
        } catch (const std::system_error&) {
            // The next save of the same page removes it as a leftover.
        }
    }
}

void DeferredRemovals::keepAside(const std::string& target) {
    try {
        paths_.push_back(makeUnique(target, [&target](const std::string& candidate) {
            platform::hardLink(target, candidate);
        }));
    } catch (const std::system_error&) {
        // No file there, or no second name possible: nothing to defer.
    }
}

namespace {

// When this server started, on the clock of file times: a temporary name
// changed before it belongs to a server that is gone.
const std::int64_t serverStarted = platform::fileClockNow();

} // namespace

void removeLeftovers(const std::string& folder, std::int64_t changedBefore) {
    try {
        for (const std::string& entry : platform::listDirectory(folder)) {
            if (!isTemporarySaveName(entry)) continue;
            std::string path = folder + platform::pathSeparator + entry;
            std::optional<std::int64_t> changed = platform::statusChangeTime(path);
            if (changed && *changed < changedBefore) platform::removeFile(path);
        }
    } catch (const std::system_error&) {
        // A leftover that cannot be removed harms nothing but disk space.
    }
}

namespace {

// Puts `content` at the page path so that the path always names either the
// whole old page or the whole new one: the new page is written and flushed
// under a temporary name first, then `backup` (the old page's second name)
// replaces the backup, and only then the new page replaces the old one. The
// file each rename replaces keeps a second name in `replaced`. `step` tells
// a failure of the backup's rename from one of the page's own.
void replacePage(const SavePaths& paths, std::string_view content, TemporaryLink* backup,
                 DeferredRemovals& replaced, SaveFailure& step) {
    step = SaveFailure::WriteFailed;
    TemporaryFile page(paths.pagePath);
    platform::writeAll(page.descriptor(), content);
    if (platform::entryKind(paths.pagePath) == platform::EntryKind::File)
        platform::copyPermissions(paths.pagePath, page.descriptor());
    else
        platform::defaultPermissions(page.descriptor());
    platform::syncFile(page.descriptor());
    if (backup != nullptr) {
        replaced.keepAside(paths.backupPath);
        step = SaveFailure::BackupFailed;
        backup->commit();
        step = SaveFailure::WriteFailed;
    } else {
        replaced.keepAside(paths.pagePath);
    }
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
    uploadClosed = parsed.closingSeen;
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
    // A browser's wiki reads only a 200 answer's text; scripts read the status.
    auto answerFailure = [this](const SaveFailureReport& report) {
        send(plainAnswer(comesFromBrowser(headLines) ? "200 OK" : report.status, report.text()));
        keepOpen = 0;
    };
    auto refuse = [&](SaveFailure refusal) {
        SaveFailureReport report = describeSaveFailure(refusal, {}, fileName, backupDir);
        consoleLine("refusing to save " + fileName + ": " + report.cause);
        answerFailure(report);
    };
    std::string root = getConfig("root");
    try {
        parseMultipart();
    } catch (const std::system_error& error) {
        consoleLine(std::string("a part's Content-Length could not be read: ") + error.what());
        return refuse(SaveFailure::BadPartLength);
    }
    consoleLine("Form Name is " + formName);
    SavePaths paths = savePaths(std::move(root), fileName, backupDir);
    if (paths.rootExtended) consoleLine(std::string("Appended ") + platform::pathSeparator + " to root path");

    // A backup or write that failed: the designed backup line, then the cause.
    auto answerError = [&](SaveFailure step, const std::system_error& error) {
        if (step == SaveFailure::BackupFailed)
            consoleLine("there was an exception when copying the file to a backup directory");
        SaveFailureReport report = describeSaveFailure(step, error.code(), fileName, backupDir);
        consoleLine("could not save " + fileName + ": " + report.cause + " (" + error.what() + ")");
        answerFailure(report);
    };
    if (auto refusal = uploadRefusal(formName, fileName, backupDir, uploadClosed, fileContentTaken, body.size()))
        return refuse(*refusal);
    // A second name of an exchange file would hand the last script request's
    // body to whoever reads the backup.
    if (isExchangeFile(paths.pagePath) || (!paths.backupPath.empty() && isExchangeFile(paths.backupPath)))
        return refuse(SaveFailure::ExchangeFile);

    removeLeftovers(folderOf(paths.pagePath), serverStarted);
    if (!paths.backupPath.empty()) removeLeftovers(folderOf(paths.backupPath), serverStarted);
    std::optional<TemporaryLink> backup;
    if (backupDir.empty()) {
        consoleLine("warning: no backup directory specified");
    } else if (sameLexicalPath(paths.backupPath, paths.pagePath)) {
        consoleLine("no backup kept for " + fileName + ": the backup folder is the page's own folder");
    } else if (platform::entryKind(paths.pagePath) != platform::EntryKind::Missing) {
        consoleLine("moving " + paths.pagePath + " to backup directory, " + paths.backupPath);
        try {
            backup.emplace(paths.pagePath, paths.backupPath);
        } catch (const std::system_error& error) {
            return answerError(SaveFailure::BackupFailed, error);
        }
    }
    consoleLine("writing data to file " + paths.pagePath);
    SaveFailure step = SaveFailure::WriteFailed;
    try {
        replacePage(paths, body, backup ? &*backup : nullptr, replacedFiles, step);
    } catch (const std::system_error& error) {
        return answerError(step, error);
    }
    send("HTTP/1.1 200 OK\r\n\r\n");
    keepOpen = 0;
}

} // namespace fernhollow
