// File-system services. Paths are byte strings handed to the system unchanged.
#pragma once

#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow::platform {

enum class EntryKind { Missing, File, Directory };

// What stands at `path` (following links); Missing when nothing does.
EntryKind entryKind(const std::string& path);
// Size in bytes of the file at `path`.
std::int64_t fileSize(const std::string& path);

// One version of a file, told without reading it: which file on its disk,
// how large, when it was last written, and when its status last changed (as
// finely as the system keeps them). The write time can be set back by any
// program; the status-change time cannot, so a rewrite that restores the old
// write time still gives another stamp.
struct FileStamp {
    std::uint64_t identity = 0;
    std::int64_t size = 0;
    std::int64_t written = 0;
    std::int64_t changed = 0;
};
// The stamp of the open file `fd`.
FileStamp fileStamp(int fd);
// The stamp of the file at `path` (links followed; raises when there is none).
FileStamp fileStampAt(const std::string& path);
// Makes the folder at `path` and any missing folder above it.
void makeFolders(const std::string& path);
// Opens a file for reading raw bytes.
UniqueFd openForReading(const std::string& path);
// Opens the null device (a descriptor kept in reserve).
UniqueFd openNullDevice();
// Creates a new file that did not exist, mode 0600.
UniqueFd createExclusive(const std::string& path);
// Removes the name `path` (whatever stands there: a file, a link) and creates
// a new empty private file (mode 0600) there for reading and writing, so that
// no one who held or linked the old file reaches the new one. Raises when the
// name cannot be removed or something was put there again meanwhile.
UniqueFd createFreshPrivateFile(const std::string& path);
// Moves the file offset of `fd` back to the start.
void rewindFile(int fd);
// Reads from `fd` to the end of its file.
std::string readToEnd(int fd);
// The next `limit` bytes of `fd`, fewer only where the file ends.
std::string readUpTo(int fd, std::size_t limit);
// The same into `bytes`, whose room is used again: a file sent piece by
// piece needs no new buffer for every piece.
void readUpTo(int fd, std::size_t limit, std::string& bytes);
// Whether both paths name the same existing file (links followed).
bool sameFile(const std::string& first, const std::string& second);
// The absolute path of `path` with every link, "." and ".." resolved;
// nothing when it cannot be resolved (e.g. it does not exist).
std::optional<std::string> resolvedPath(const std::string& path);
// Reads up to `size` bytes; 0 at the end of the file.
std::size_t readSome(int fd, char* buffer, std::size_t size);
// Reads the whole file at `path`.
std::string readWholeFile(const std::string& path);
// Writes every byte to `fd`.
void writeAll(int fd, std::string_view bytes);
// Flushes the file's data to the disk.
void syncFile(int fd);
// Cuts the open file `fd` to `size` bytes and writes on from there (raises).
void truncateFile(int fd, std::int64_t size);
// Flushes the directory at `path` (so renames inside it are durable).
void syncDirectory(const std::string& path);
// Gives `fd` the permission bits of the file at `model` (when it exists).
void copyPermissions(const std::string& model, int fd);
// Gives `fd` the permission bits a newly created file would get.
void defaultPermissions(int fd);
// Moves `from` to `to` atomically, replacing `to`.
void renameReplacing(const std::string& from, const std::string& to);
// Makes `to` a second name of the file `from`.
void hardLink(const std::string& from, const std::string& to);
// Removes a file name; a missing name is no failure.
void removeFile(const std::string& path);
// When the file at `path` (not following a link) last changed, its content
// or its names, on the clock of fileClockNow; nothing when it is missing.
std::optional<std::int64_t> statusChangeTime(const std::string& path);
// The current time on the clock the system stamps files with.
std::int64_t fileClockNow();
// The current local time, as the user reads it.
std::tm localTimeNow();
// The local time of a file time (a FileStamp's `written`), to the second.
std::tm localTimeOf(std::int64_t fileTime);
// The seconds since the epoch of a file time.
std::int64_t epochSecondsOf(std::int64_t fileTime);
// Copies the file `from` to the new file `to` (which must not exist), its
// bytes flushed to disk (for file systems without second names).
void copyFile(const std::string& from, const std::string& to);
// Makes a write past the process's file-size limit fail (EFBIG) instead of
// ending the process, so a save over the limit is refused and cleaned up.
void keepFileSizeLimitAWriteFailure();
// The names in a directory, "." and ".." left out, in the system's order.
std::vector<std::string> listDirectory(const std::string& path);

} // namespace fernhollow::platform
