#include "wiki/pages.h"

#include "base/settings.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "base/text.h"

#include <algorithm>
#include <limits>
#include <random>

namespace fernhollow {

using platform::consoleLine;

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

void PageWriter::append(std::string_view bytes) {
    size_ += static_cast<std::int64_t>(bytes.size());
    if (failure_) return;
    held_.append(bytes);
    // Writes of this size keep the system calls few while the client sends the rest.
    if (held_.size() >= 256 * 1024) finish();
}

void PageWriter::finish() {
    if (failure_ || held_.empty()) return;
    write(held_);
    held_.clear();
}

void PageWriter::write(std::string_view bytes) {
    try {
        platform::writeAll(file_.descriptor(), bytes);
    } catch (const std::system_error& error) {
        failure_ = error;
        held_.clear();
        held_.shrink_to_fit();
    }
}

void PageWriter::settle(std::string_view page) {
    if (size_ <= static_cast<std::int64_t>(page.size())) {
        append(page.substr(static_cast<std::size_t>(size_)));
        finish();
        return;
    }
    finish();
    size_ = static_cast<std::int64_t>(page.size());
    if (failure_) return;
    try {
        platform::truncateFile(file_.descriptor(), size_);
    } catch (const std::system_error& error) {
        failure_ = error;
    }
}

void PageWriter::keepCopyAs(const std::string& path) {
    finish();
    if (failure_) throw *failure_;
    // Readable as any file the server makes (the temporary name is private).
    platform::defaultPermissions(file_.descriptor());
    platform::syncFile(file_.descriptor());
    keepWholeCopy(file_.path(), size_, path);
}

std::string PageWriter::readBack() {
    finish();
    if (failure_) throw *failure_;
    return platform::readWholeFile(file_.path());
}

void keepWholeCopy(const std::string& source, std::int64_t size, const std::string& path) {
    bool copied = false;
    std::string temporary = makeUnique(path, [&](const std::string& candidate) {
        try {
            platform::hardLink(source, candidate);
        } catch (const std::system_error& error) {
            if (platform::classifyFileFailure(error.code()) == platform::FileFailure::Missing) throw;
            // Another file system (the history on a drive of its own), or one
            // without second names: a copy, which the platform flushes.
            platform::copyFile(source, candidate);
            copied = true;
        }
    });
    try {
        std::int64_t kept = platform::fileSize(temporary);
        if (kept != size)
            throw std::system_error(std::make_error_code(std::errc::io_error),
                                    "copy " + source + ": " + std::to_string(kept) + " of " + std::to_string(size) +
                                        " bytes");
        platform::renameReplacing(temporary, path);
    } catch (const std::system_error&) {
        try {
            platform::removeFile(temporary);
        } catch (const std::system_error&) {
            // Left for the leftover clean-up of the folder.
        }
        throw;
    }
    if (copied) platform::syncDirectory(folderOf(path));
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

void removeLeftovers(const std::string& folder, std::int64_t changedBefore, const std::string& except) {
    try {
        for (const std::string& entry : platform::listDirectory(folder)) {
            if (!isTemporarySaveName(entry)) continue;
            std::string path = folder + platform::pathSeparator + entry;
            // A page written as it arrived may be younger than the file clock
            // says the server is: the system stamps files from a coarser clock.
            if (path == except) continue;
            std::optional<std::int64_t> changed = platform::statusChangeTime(path);
            if (changed && *changed < changedBefore) platform::removeFile(path);
        }
    } catch (const std::system_error&) {
        // A leftover that cannot be removed harms nothing but disk space.
    }
}

namespace {

// The stamp of the new page `before` after its rename to `pagePath`: the
// rename changed its status-change time, which the tag holds, and the tag
// answered must be the one the next request sees. The write time is not
// compared: a system may stamp it again as the file is closed. When the name
// no longer holds that very file (another program replaced it at once),
// `before` stays: a tag nothing on disk matches, so the tab's next save is refused.
platform::FileStamp stampAfterRename(const std::string& pagePath, const platform::FileStamp& before) {
    try {
        platform::FileStamp after = platform::fileStampAt(pagePath);
        if (after.identity == before.identity && after.size == before.size) return after;
    } catch (const std::system_error&) {
    }
    return before;
}

// Puts `content` at the page path so that the path always names either the
// whole old page or the whole new one: the new page is written and flushed
// under a temporary name first, then `backup` (the old page's second name)
// replaces the backup, and only then the new page replaces the old one. The
// file each rename replaces keeps a second name in `replaced`. `step` tells
// a failure of the backup's rename from one of the page's own.
void writeOver(const SavePaths& paths, const NewPage& content, TemporaryLink* backup, DeferredRemovals& replaced,
               SaveFailure& step, platform::FileStamp& written) {
    step = SaveFailure::WriteFailed;
    std::optional<TemporaryFile> inMemory;
    if (content.written == nullptr) {
        inMemory.emplace(paths.pagePath);
        platform::writeAll(inMemory->descriptor(), content.content);
    } else {
        content.written->finish();
        if (content.written->failure()) throw *content.written->failure();
    }
    TemporaryFile& page = inMemory ? *inMemory : content.written->file();
    if (platform::entryKind(paths.pagePath) == platform::EntryKind::File)
        platform::copyPermissions(paths.pagePath, page.descriptor());
    else
        platform::defaultPermissions(page.descriptor());
    platform::syncFile(page.descriptor());
    // The new page's own stamp, taken before anything else can reach its name.
    written = platform::fileStamp(page.descriptor());
    if (backup != nullptr) {
        replaced.keepAside(paths.backupPath);
        step = SaveFailure::BackupFailed;
        backup->commit();
        step = SaveFailure::WriteFailed;
    } else {
        replaced.keepAside(paths.pagePath);
    }
    page.commit();
    written = stampAfterRename(paths.pagePath, written);
    std::string pageFolder = folderOf(paths.pagePath);
    platform::syncDirectory(pageFolder);
    if (backup != nullptr && folderOf(paths.backupPath) != pageFolder) platform::syncDirectory(folderOf(paths.backupPath));
}

} // namespace

namespace {

// A version kept for a save that then failed goes again with it.
class VersionGuard {
public:
    explicit VersionGuard(std::string path) : path_(std::move(path)) {}
    ~VersionGuard() {
        if (path_.empty()) return;
        try {
            platform::removeFile(path_);
        } catch (const std::system_error&) {
            // A version too many harms nothing; thinning removes it in time.
        }
    }
    VersionGuard(const VersionGuard&) = delete;
    VersionGuard& operator=(const VersionGuard&) = delete;
    void keep() { path_.clear(); }

private:
    std::string path_;
};

// A new name for a version of kind `kind` at `when` in `folder`: one past
// every version of the same second there, so that it sorts as the newest of
// them even when thinning has removed some (a freed name is never reused).
std::string freeVersionPath(const std::string& folder, const std::tm& when, VersionKind kind) {
    std::string second = versionName(when, kind).substr(0, 19);
    int last = 0;
    for (const std::string& name : platform::listDirectory(folder))
        if (beginsWith(name, second) && parseVersionName(name)) last = std::max(last, versionAttempt(name));
    std::string path = folder + platform::pathSeparator + versionName(when, kind, last + 1);
    if (platform::entryKind(path) != platform::EntryKind::Missing)
        throw std::system_error(std::make_error_code(std::errc::file_exists), "version " + path);
    return path;
}

// Keeps the page at `page` (about to be replaced by `newSize` bytes) as a
// version: a second name of the same file where the file system has them, a
// copy where it has not. Returns the version's path.
std::string keepReplacedVersion(const HistoryKeeping& history, const std::string& page, std::int64_t newSize) {
    platform::FileStamp stamp = platform::fileStampAt(page);
    VersionKind kind = history.restoring ? VersionKind::BeforeRestore : replacedKind(stamp.size, newSize);
    platform::makeFolders(history.folder);
    // The version's time is when it was saved: the page's last write.
    std::string path = freeVersionPath(history.folder, platform::localTimeOf(stamp.written), kind);
    keepWholeCopy(page, stamp.size, path);
    return path;
}

} // namespace

std::string historyFolderOf(const std::string& root, std::string_view relativePage) {
    SavePaths paths = savePaths(root, std::string(historyFolderName) + "/" + std::string(relativePage), "");
    return systemPathForm(paths.pagePath);
}

std::optional<HistoryKeeping> historyOf(const std::string& root, std::string_view relativePage) {
    const HistorySettings& history = settings().history;
    if (!history.enabled) return std::nullopt;
    return HistoryKeeping{historyFolderOf(root, relativePage), history, false};
}

void writeNewFile(const std::string& path, std::string_view content) {
    TemporaryFile file(path);
    platform::writeAll(file.descriptor(), content);
    platform::defaultPermissions(file.descriptor());
    platform::syncFile(file.descriptor());
    file.commit();
    platform::syncDirectory(folderOf(path));
}

void keepNewPage(const NewPage& content, const std::string& path) {
    if (content.written != nullptr) content.written->keepCopyAs(path);
    else writeNewFile(path, content.content);
}

std::string keepVersionCopy(const HistoryKeeping& history, const NewPage& content, VersionKind kind,
                            const std::tm& when) {
    platform::makeFolders(history.folder);
    std::string path = freeVersionPath(history.folder, when, kind);
    keepNewPage(content, path);
    thinHistory(history, path.substr(platform::lastSeparatorAt(path) + 1));
    return path;
}

std::vector<Version> versionsIn(const std::string& folder) {
    std::vector<Version> versions;
    if (platform::entryKind(folder) != platform::EntryKind::Directory) return versions;
    for (const std::string& name : platform::listDirectory(folder)) {
        std::optional<Version> version = parseVersionName(name);
        if (!version) continue;
        std::string path = folder + platform::pathSeparator + name;
        try {
            version->size = platform::fileSize(path);
        } catch (const std::system_error&) {
            continue;
        }
        // When it was kept: a version is a new file or a new name of its
        // page, and either sets the change time, which no program can set
        // back (a later name of the same file only makes it look newer).
        version->keptAt = platform::statusChangeTime(path).value_or(0);
        versions.push_back(std::move(*version));
    }
    return versions;
}

bool hasVersions(const std::string& folder) {
    if (platform::entryKind(folder) != platform::EntryKind::Directory) return false;
    for (const std::string& name : platform::listDirectory(folder))
        if (parseVersionName(name)) return true;
    return false;
}

void thinHistory(const HistoryKeeping& history, const std::string& justKept) {
    removeLeftovers(history.folder, serverStarted);
    std::vector<Version> versions;
    try {
        versions = versionsIn(history.folder);
    } catch (const std::system_error&) {
        return;
    }
    // The file clock is coarse, and the save that keeps a version changes
    // other versions' files too (the backup's name goes): the version this
    // save kept counts as the most recent whatever the clock says.
    for (Version& version : versions)
        if (version.name == justKept) version.keptAt = std::numeric_limits<std::int64_t>::max();
    std::int64_t now = platform::epochSecondsOf(platform::fileClockNow());
    for (const std::string& name : versionsToRemove(std::move(versions), now, platform::localTimeNow(), history.settings)) {
        try {
            platform::removeFile(history.folder + platform::pathSeparator + name);
        } catch (const std::system_error&) {
            // Held open by another program: the next save thins it.
        }
    }
}

SavePaths inPlacePaths(const std::string& root, std::string_view relativePage) {
    SavePaths paths = savePaths(root, std::string(relativePage), "backup");
    paths.pagePath = systemPathForm(paths.pagePath);
    paths.backupPath = systemPathForm(paths.backupPath);
    return paths;
}

std::optional<ReplaceFailure> replaceInPlace(const SavePaths& paths, std::string_view relativePage,
                                             const NewPage& content, DeferredRemovals& replaced, bool restoring,
                                             platform::FileStamp* written) {
    std::optional<HistoryKeeping> history = historyOf(paths.root, relativePage);
    if (history) history->restoring = restoring;
    try {
        platform::makeFolders(folderOf(paths.backupPath));
    } catch (const std::system_error& error) {
        return ReplaceFailure{SaveFailure::BackupFailed, error};
    }
    return replacePage(paths, relativePage, content, replaced, history ? &*history : nullptr, written);
}

std::optional<ReplaceFailure> replacePage(const SavePaths& paths, std::string_view pageName, const NewPage& content,
                                          DeferredRemovals& replaced, const HistoryKeeping* history,
                                          platform::FileStamp* written) {
    removeLeftovers(folderOf(paths.pagePath), serverStarted, content.written ? content.written->file().path() : "");
    if (!paths.backupPath.empty()) removeLeftovers(folderOf(paths.backupPath), serverStarted);
    std::optional<TemporaryLink> backup;
    if (paths.backupPath.empty()) {
        // No backup folder: the page is replaced without one.
    } else if (sameLexicalPath(paths.backupPath, paths.pagePath)) {
        consoleLine("no backup kept for " + std::string(pageName) + ": the backup folder is the page's own folder");
    } else if (platform::entryKind(paths.pagePath) != platform::EntryKind::Missing) {
        consoleLine("moving " + paths.pagePath + " to backup directory, " + paths.backupPath);
        try {
            backup.emplace(paths.pagePath, paths.backupPath);
        } catch (const std::system_error& error) {
            return ReplaceFailure{SaveFailure::BackupFailed, error};
        }
    }
    std::optional<VersionGuard> version;
    std::string keptName;
    if (history != nullptr && platform::entryKind(paths.pagePath) == platform::EntryKind::File) {
        // The history is more than the save asks for: a version that cannot
        // be kept is said, and the save goes on.
        try {
            std::string kept = keepReplacedVersion(*history, paths.pagePath, content.size);
            consoleLine("keeping the replaced version as " + kept);
            version.emplace(kept);
            keptName = kept.substr(platform::lastSeparatorAt(kept) + 1);
        } catch (const std::system_error& error) {
            consoleLine("no version kept of " + paths.pagePath + ": " + error.what());
        }
    }
    consoleLine("writing data to file " + paths.pagePath);
    SaveFailure step = SaveFailure::WriteFailed;
    platform::FileStamp stamp;
    try {
        writeOver(paths, content, backup ? &*backup : nullptr, replaced, step, stamp);
    } catch (const std::system_error& error) {
        return ReplaceFailure{step, error};
    }
    if (version) version->keep();
    if (written != nullptr) *written = stamp;
    if (history != nullptr) thinHistory(*history, keptName);
    return std::nullopt;
}

std::string entityTag(const platform::FileStamp& stamp) {
    auto appendHex = [](std::string& text, std::uint64_t value) {
        static const char digits[] = "0123456789abcdef";
        char reversed[16];
        int count = 0;
        do {
            reversed[count++] = digits[value & 15];
            value >>= 4;
        } while (value != 0);
        while (count > 0) text.push_back(reversed[--count]);
    };
    std::string tag = "\"";
    appendHex(tag, stamp.identity);
    tag.push_back('-');
    appendHex(tag, static_cast<std::uint64_t>(stamp.size));
    tag.push_back('-');
    appendHex(tag, static_cast<std::uint64_t>(stamp.written));
    tag.push_back('-');
    appendHex(tag, static_cast<std::uint64_t>(stamp.changed));
    tag.push_back('"');
    return tag;
}

} // namespace fernhollow
