// Pages on disk: the one home for replacing a page, which every saver uses.
// The new page is written under a temporary name beside the page, flushed,
// and renamed over it, with the page it replaces kept as a backup through a
// second name; nothing half-written is ever at the page's name.
#pragma once

#include "wiki/history.h"
#include "platform/files.h"
#include "platform/unique_fd.h"
#include "wiki/saving.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace fernhollow {

// The paths of one save, built by plain concatenation.
struct SavePaths {
    // The root as the save uses it, the separator appended when needed.
    std::string root;
    // Whether the separator was appended.
    bool rootExtended = false;
    std::string pagePath;
    // Empty when no backup folder was given.
    std::string backupPath;
};

// Page path = root + fileName; backup path = root + backupDir + separator +
// fileName. The root gets the separator unless it ends with one or fileName
// begins with one.
SavePaths savePaths(std::string root, const std::string& fileName, const std::string& backupDir);

// Whether the two paths name the same file once "." and empty segments are
// left out; ".." is not resolved (names holding it are refused before).
bool sameLexicalPath(std::string_view a, std::string_view b);

// The folder that holds `path`: the text before its last separator (that
// separator itself when it is the first byte), or "." when there is none.
std::string folderOf(const std::string& path);
// Whether `name` (a bare file name) is a temporary name that a save of any
// page makes: a name + ".saving-" + twelve hex digits (in any letter case
// where file names ignore it). Such names are never served.
bool isTemporarySaveName(std::string_view name);
// Whether `name` is a temporary name that a save of the file `target` (a bare
// file name) makes beside it: target + ".saving-" + twelve hex digits.
bool isTemporaryNameOf(std::string_view name, std::string_view target);

// Removes from `folder` the temporary names that interrupted saves of any
// page left there, those whose file last changed before `changedBefore`
// (fileClockNow's clock): a newer one may be another server's save under
// way. A second name made by a link counts as a change of its file.
// `except` names a temporary file of this very save, never removed.
void removeLeftovers(const std::string& folder, std::int64_t changedBefore, const std::string& except = "");

// A new file beside `target`, under a unique temporary name, that is removed
// again unless it is committed, which renames it over `target`.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int descriptor() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    const std::string& target() const { return target_; }
    // Closes the file and renames it over the target (raises on failure,
    // after which the temporary name is still removed by the destructor).
    void commit();

private:
    std::string target_;
    std::string path_;
    platform::UniqueFd fd_;
    bool committed_ = false;
};

// A page's new bytes written to a temporary file beside it as they arrive,
// so that writing a large page overlaps with receiving it and the page is
// never held in memory whole. A write that fails is kept, and the bytes after
// it are only counted.
class PageWriter {
public:
    explicit PageWriter(const std::string& pagePath) : file_(pagePath) {}
    // Adds bytes; they reach the file in pieces of a few hundred KiB.
    void append(std::string_view bytes);
    // Writes what is still held back (before the page is replaced).
    void finish();
    // Makes the file hold exactly `page`, of which it holds a first part
    // already, or more: bytes written before the page's end was known.
    void settle(std::string_view page);
    std::int64_t size() const { return size_; }
    const std::string& target() const { return file_.target(); }
    TemporaryFile& file() { return file_; }
    // The first failed write, if any.
    const std::optional<std::system_error>& failure() const { return failure_; }
    // Keeps the bytes written, whole and flushed, at the new name `path`
    // too (as keepWholeCopy does; raises on failure, leaving nothing there).
    void keepCopyAs(const std::string& path);
    // The bytes written so far, read back (for a page that is refused and kept elsewhere).
    std::string readBack();

private:
    void write(std::string_view bytes);
    TemporaryFile file_;
    std::string held_;
    std::int64_t size_ = 0;
    std::optional<std::system_error> failure_;
};

// The bytes of a new page: in memory, or already written by a PageWriter.
struct NewPage {
    NewPage(std::string_view bytes) : content(bytes), size(static_cast<std::int64_t>(bytes.size())) {}
    NewPage(const std::string& bytes) : NewPage(std::string_view(bytes)) {}
    explicit NewPage(PageWriter& writer) : written(&writer), size(writer.size()) {}
    std::string_view content;
    PageWriter* written = nullptr;
    std::int64_t size = 0;
};

// Puts the file `source` of `size` bytes at the free name `path` only whole:
// as a second name of it, or where the file system has none there, a
// flushed copy; made under a temporary name beside `path`, its size checked,
// then renamed (raises on failure, leaving nothing at `path`).
void keepWholeCopy(const std::string& source, std::int64_t size, const std::string& path);

// A second name of `existing`, made beside `target` under a unique temporary
// name, that is removed again unless it is committed, which renames it over
// `target`. Making it raises when `existing` cannot be linked there (for
// example when the folder of `target` is missing).
class TemporaryLink {
public:
    TemporaryLink(const std::string& existing, const std::string& target);
    ~TemporaryLink();
    TemporaryLink(const TemporaryLink&) = delete;
    TemporaryLink& operator=(const TemporaryLink&) = delete;

    const std::string& path() const { return path_; }
    // Renames the link over the target (raises on failure).
    void commit();

private:
    std::string target_;
    std::string path_;
    bool committed_ = false;
};

// Second names of files that a save replaced, removed when this object ends.
// Replacing the last name of a large file frees its blocks inside the rename,
// which the client would wait for; with a second name kept, the blocks are
// freed only when the connection has been answered and closed.
class DeferredRemovals {
public:
    DeferredRemovals() = default;
    ~DeferredRemovals();
    DeferredRemovals(const DeferredRemovals&) = delete;
    DeferredRemovals& operator=(const DeferredRemovals&) = delete;

    // Gives the file at `target`, if any, a second temporary name beside it
    // (one the leftover clean-up of `target` recognises) to be removed later.
    // Does nothing when that fails: the rename then frees the blocks itself.
    void keepAside(const std::string& target);

private:
    std::vector<std::string> paths_;
};

// The entity tag of one version of a file: quoted, strong, made of the file's
// identity, size, last write time and status-change time, so any change of
// its bytes changes it (even when a program sets the write time back after),
// while an unchanged file keeps it across restarts. A new name or new
// permissions change it too: a tab's next save is then refused, never lost.
std::string entityTag(const platform::FileStamp& stamp);

// A replacement that did not happen: which step failed, and how.
struct ReplaceFailure {
    SaveFailure step;  // BackupFailed or WriteFailed
    std::system_error error;
};

// The folder every page's versions are kept in, below the root.
inline constexpr std::string_view historyFolderName = "history";

// How the versions of one page are kept: their folder, the rules that thin
// them, and whether the page about to be replaced comes back by a restore.
struct HistoryKeeping {
    std::string folder;
    HistorySettings settings;
    bool restoring = false;
};

// The folder the versions of the page at `relativePage` (its path below the
// root as a URL names it, without the first "/") are kept in under `root`.
std::string historyFolderOf(const std::string& root, std::string_view relativePage);
// How the versions of the page at `relativePage` (its path below the root as
// a URL names it, without the first "/") are kept under `root`; nothing when
// history is off.
std::optional<HistoryKeeping> historyOf(const std::string& root, std::string_view relativePage);
// Writes `content` whole to the new file `path` and flushes it before it
// gets its name (raises on failure; nothing is left at `path` then).
void writeNewFile(const std::string& path, std::string_view content);
// The versions kept in `folder`, with their sizes; none when it is missing.
std::vector<Version> versionsIn(const std::string& folder);
// Whether `folder` holds any version (no sizes taken).
bool hasVersions(const std::string& folder);
// Keeps `content` whole at the new name `path`, flushed before it gets its
// name: the file a PageWriter wrote, linked or copied, or the bytes in
// memory written (raises on failure, leaving nothing there).
void keepNewPage(const NewPage& content, const std::string& path);
// Keeps `content` as a new version of kind `kind` at local time `when` in
// `folder` (made when missing), flushed before it gets its name, then thins
// the folder; returns the version's path (raises on failure).
std::string keepVersionCopy(const HistoryKeeping& history, const NewPage& content, VersionKind kind,
                            const std::tm& when);
// Removes the versions in `history.folder` that thinning does not keep (the
// version named `justKept` counts as the most recently kept); one that
// cannot be removed (held open on Windows) stays for a later save.
void thinHistory(const HistoryKeeping& history, const std::string& justKept = "");

// The paths of a page saved in place (by PUT or a restore): the page at
// `relativePage` below `root`, its backup at backup/<relativePage>.
SavePaths inPlacePaths(const std::string& root, std::string_view relativePage);
// Replaces the page of `paths` (from inPlacePaths) as replacePage does, its
// backup folders made when missing and the replaced page kept in its history
// (as a version before a restore when `restoring`).
std::optional<ReplaceFailure> replaceInPlace(const SavePaths& paths, std::string_view relativePage,
                                             const NewPage& content, DeferredRemovals& replaced, bool restoring,
                                             platform::FileStamp* written = nullptr);

// Replaces the page at `paths.pagePath` by `content` (written by a PageWriter
// of that very path, or in memory), keeping the page it
// replaces as `paths.backupPath` (none when that is empty, names the page's
// own folder, or no page stands there yet) and, with `history`, as a version
// in its history, with the console lines of a save (`pageName` is the page
// as the client named it). Removes the leftovers of interrupted saves from
// both folders first. The replaced files' second names go to `replaced`. On
// failure nothing at the page's name has changed. `written`, when given,
// receives the stamp of the new page as it was written.
std::optional<ReplaceFailure> replacePage(const SavePaths& paths, std::string_view pageName, const NewPage& content,
                                          DeferredRemovals& replaced, const HistoryKeeping* history = nullptr,
                                          platform::FileStamp* written = nullptr);

} // namespace fernhollow
