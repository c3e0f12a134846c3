#include "platform/files.h"

#include "platform/windows/win32.h"

#include <cerrno>
#include <system_error>

namespace fernhollow::platform {

using win32::wide;

namespace {

// Other programs may read, replace or delete a file while the server reads it.
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `path` with CreateFileW; the handle is never inherited by a child.
UniqueFd openHandle(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    HANDLE handle = ::CreateFileW(wide(path).c_str(), access, share, &attributes, disposition, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
    if (handle == INVALID_HANDLE_VALUE) win32::raiseLastError("CreateFileW " + path);
    return UniqueFd(win32::fromHandle(handle));
}

// The attributes of `path`, or false when nothing stands there.
bool attributesOf(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    try {
        return ::GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data) != 0;
    } catch (const std::system_error&) {
        return false;
    }
}

// Whether a failed replace may succeed when tried again: another program
// (an editor, a virus scanner, a backup tool) holds the file open.
bool isHeldOpen(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// How often, and how far apart, a replace of a file held open is tried.
constexpr int replaceAttempts = 6;
constexpr DWORD replacePauseMs = 100;

} // namespace

EntryKind entryKind(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!attributesOf(path, data)) return EntryKind::Missing;
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Directory : EntryKind::File;
}

std::int64_t fileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data) == 0)
        win32::raiseLastError("GetFileAttributesExW " + path);
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

UniqueFd openForReading(const std::string& path) {
    return openHandle(path, GENERIC_READ, shareAll, OPEN_EXISTING);
}

UniqueFd openNullDevice() {
    return openHandle("NUL", GENERIC_READ, shareAll, OPEN_EXISTING);
}

UniqueFd createExclusive(const std::string& path) {
    // Reading its attributes takes a right of its own: a new page's stamp is read through this handle.
    return openHandle(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW);
}

namespace {

// What the system knows of an open file, raising for `call` on failure.
BY_HANDLE_FILE_INFORMATION informationOf(HANDLE handle, const std::string& call) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) win32::raiseLastError(call);
    return information;
}

} // namespace

FileStamp fileStamp(int fd) {
    HANDLE handle = win32::toHandle(fd);
    BY_HANDLE_FILE_INFORMATION information = informationOf(handle, "GetFileInformationByHandle");
    // The change time is only in the basic information (NTFS keeps it; Wine
    // gives the Unix status-change time of the file).
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        win32::raiseLastError("GetFileInformationByHandleEx");
    return {(static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow,
            (static_cast<std::int64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow,
            (static_cast<std::int64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                information.ftLastWriteTime.dwLowDateTime,
            basic.ChangeTime.QuadPart};
}

FileStamp fileStampAt(const std::string& path) {
    // Only the attributes are read: nothing of the file's content.
    UniqueFd file = openHandle(path, FILE_READ_ATTRIBUTES, shareAll, OPEN_EXISTING);
    return fileStamp(file.get());
}

void makeFolders(const std::string& path) {
    // Each folder from the top down; one that stands already is fine. A
    // drive ("C:") or the start of a UNC name is no folder to make.
    for (std::size_t at = path.find_first_of("\\/", 1);; at = path.find_first_of("\\/", at + 1)) {
        std::string folder = path.substr(0, at);
        bool drive = folder.size() == 2 && folder[1] == ':';
        if (!folder.empty() && !drive && folder.find_first_not_of("\\/") != std::string::npos &&
            !::CreateDirectoryW(wide(folder).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            win32::raiseLastError("CreateDirectoryW " + folder);
        if (at == std::string::npos) return;
    }
}

UniqueFd createFreshPrivateFile(const std::string& path) {
    removeFile(path);
    // CREATE_NEW fails when anything stands at the name again. The child
    // writes through a duplicate of this very handle, which share modes do
    // not restrict; any other opener may only read. Its access rights come
    // from the folder, as every new file's do on Windows.
    return openHandle(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
}

void rewindFile(int fd) {
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(win32::toHandle(fd), start, nullptr, FILE_BEGIN)) win32::raiseLastError("SetFilePointerEx");
}

bool sameFile(const std::string& first, const std::string& second) {
    try {
        // Folders open only with backup semantics; no access is needed to compare.
        auto open = [](const std::string& path) {
            HANDLE handle = ::CreateFileW(wide(path).c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            return handle == INVALID_HANDLE_VALUE ? UniqueFd() : UniqueFd(win32::fromHandle(handle));
        };
        UniqueFd one = open(first), two = open(second);
        if (!one || !two) return false;
        BY_HANDLE_FILE_INFORMATION a = informationOf(win32::toHandle(one.get()), "GetFileInformationByHandle");
        BY_HANDLE_FILE_INFORMATION b = informationOf(win32::toHandle(two.get()), "GetFileInformationByHandle");
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
               a.nFileIndexLow == b.nFileIndexLow;
    } catch (const std::system_error&) {
        return false;
    }
}

std::optional<std::string> resolvedPath(const std::string& path) {
    try {
        HANDLE handle = ::CreateFileW(wide(path).c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
        UniqueFd owner(win32::fromHandle(handle));
        std::wstring resolved(MAX_PATH, L'\0');
        DWORD size = ::GetFinalPathNameByHandleW(handle, resolved.data(), static_cast<DWORD>(resolved.size()), 0);
        if (size >= resolved.size()) {
            resolved.resize(size);
            size = ::GetFinalPathNameByHandleW(handle, resolved.data(), static_cast<DWORD>(resolved.size()), 0);
        }
        if (size == 0 || size >= resolved.size()) return std::nullopt;
        resolved.resize(size);
        // "\\?\C:\..." is the same path as "C:\...", which every program takes.
        if (resolved.starts_with(L"\\\\?\\UNC\\")) resolved = L"\\\\" + resolved.substr(8);
        else if (resolved.starts_with(L"\\\\?\\")) resolved = resolved.substr(4);
        return win32::narrow(resolved);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

std::size_t readSome(int fd, char* buffer, std::size_t size) {
    DWORD wanted = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(win32::toHandle(fd), buffer, wanted, &got, nullptr)) {
        // The end of a pipe is the end of its bytes.
        if (::GetLastError() == ERROR_BROKEN_PIPE) return 0;
        win32::raiseLastError("ReadFile");
    }
    return got;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD wanted = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(win32::toHandle(fd), bytes.data(), wanted, &written, nullptr)) win32::raiseLastError("WriteFile");
        bytes.remove_prefix(written);
    }
}

void truncateFile(int fd, std::int64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = size;
    if (!::SetFilePointerEx(win32::toHandle(fd), at, nullptr, FILE_BEGIN)) win32::raiseLastError("SetFilePointerEx");
    if (!::SetEndOfFile(win32::toHandle(fd))) win32::raiseLastError("SetEndOfFile");
}

void syncFile(int fd) {
    if (!::FlushFileBuffers(win32::toHandle(fd))) win32::raiseLastError("FlushFileBuffers");
}

// Windows cannot flush a folder; the renames are made durable by
// MOVEFILE_WRITE_THROUGH instead.
void syncDirectory(const std::string&) {}

// A new file takes its access rights from its folder on Windows, as the
// replaced page did: there are no permission bits to carry over.
void copyPermissions(const std::string&, int) {}

void defaultPermissions(int) {}

void renameReplacing(const std::string& from, const std::string& to) {
    std::wstring source = wide(from), target = wide(to);
    DWORD error = 0;
    for (int attempt = 1; attempt <= replaceAttempts; ++attempt) {
        if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
        error = ::GetLastError();
        // A read-only target refuses the same way a file held open does, but for good.
        DWORD attributes = ::GetFileAttributesW(target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
            throw std::system_error(EACCES, std::generic_category(), "MoveFileExW " + from + " " + to + " (read-only)");
        if (!isHeldOpen(error) || attempt == replaceAttempts) break;
        ::Sleep(replacePauseMs);
    }
    if (isHeldOpen(error))
        throw std::system_error(EBUSY, std::generic_category(),
                                "MoveFileExW " + from + " " + to + ": " + to + " is in use by another program (Windows error " +
                                    std::to_string(error) + ")");
    win32::raiseError(error, "MoveFileExW " + from + " " + to);
}

void hardLink(const std::string& from, const std::string& to) {
    std::wstring source = wide(from), target = wide(to);
    if (::CreateHardLinkW(target.c_str(), source.c_str(), nullptr)) return;
    DWORD error = ::GetLastError();
    if (error != ERROR_INVALID_FUNCTION && error != ERROR_NOT_SUPPORTED) win32::raiseError(error, "CreateHardLinkW " + to);
    // A volume without hard links (FAT, exFAT): the second name becomes a
    // copy, flushed before it may replace anything.
    copyFile(from, to);
}

void removeFile(const std::string& path) {
    if (::DeleteFileW(wide(path).c_str())) return;
    DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) win32::raiseError(error, "DeleteFileW " + path);
}

std::optional<std::int64_t> statusChangeTime(const std::string& path) {
    // Read through the file's own attributes: a link is not followed, and a
    // new hard link changes the file's change time as it does on POSIX.
    HANDLE handle = INVALID_HANDLE_VALUE;
    try {
        handle = ::CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    UniqueFd owner(win32::fromHandle(handle));
    FILE_BASIC_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) return std::nullopt;
    return info.ChangeTime.QuadPart;
}

// Windows has no file-size signal: a write over a limit simply fails.
void keepFileSizeLimitAWriteFailure() {}

std::int64_t epochSecondsOf(std::int64_t fileTime) {
    // File times here are 100-nanosecond units since 1601-01-01.
    constexpr std::int64_t epochIn1601Units = 116444736000000000;
    return (fileTime - epochIn1601Units) / 10'000'000;
}

std::tm localTimeOf(std::int64_t fileTime) {
    std::time_t seconds = static_cast<std::time_t>(epochSecondsOf(fileTime));
    std::tm local{};
    if (seconds >= 0 && ::localtime_s(&local, &seconds) == 0) return local;
    // The C library knows no time before 1970 in UTC; the system's own
    // conversion reaches back to 1601 (and anything before is named 1601).
    std::uint64_t units = fileTime > 0 ? static_cast<std::uint64_t>(fileTime) : 0;
    FILETIME utcTime{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
    SYSTEMTIME utc{}, there{};
    if (!::FileTimeToSystemTime(&utcTime, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &there)) there = utc;
    local = std::tm{};
    local.tm_year = there.wYear - 1900;
    local.tm_mon = there.wMonth - 1;
    local.tm_mday = there.wDay;
    local.tm_hour = there.wHour;
    local.tm_min = there.wMinute;
    local.tm_sec = there.wSecond;
    local.tm_isdst = -1;
    return local;
}

void copyFile(const std::string& from, const std::string& to) {
    std::wstring target = wide(to);
    if (!::CopyFileW(wide(from).c_str(), target.c_str(), TRUE)) {
        DWORD error = ::GetLastError();
        // A part of the file (the disk filled) is no copy of it; a name that stood there before is not ours.
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) ::DeleteFileW(target.c_str());
        win32::raiseError(error, "CopyFileW " + from + " " + to);
    }
    try {
        UniqueFd copy = openHandle(to, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
        syncFile(copy.get());
    } catch (...) {
        ::DeleteFileW(target.c_str());
        throw;
    }
}

std::tm localTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_s(&local, &now);
    return local;
}

std::int64_t fileClockNow() {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::vector<std::string> listDirectory(const std::string& path) {
    // An empty root means the current directory.
    std::string pattern = path.empty() ? "." : path;
    if (pattern.back() != '\\' && pattern.back() != '/') pattern.push_back('\\');
    pattern.push_back('*');
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileExW(wide(pattern).c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    std::vector<std::string> names;
    if (search == INVALID_HANDLE_VALUE) {
        // A drive's root folder has no "." entry: empty means no match at all.
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) return names;
        win32::raiseLastError("FindFirstFileExW " + path);
    }
    do {
        std::string name = win32::narrow(found.cFileName);
        if (name != "." && name != "..") names.push_back(std::move(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

} // namespace fernhollow::platform
