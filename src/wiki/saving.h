// Saving pages: taking the multipart upload of a wiki apart, and writing the
// uploaded page with the previous copy kept in a backup folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace fernhollow {

// What the "UploadPlugin" options of one part say.
struct UploadOptions {
    // The last usable "backupDir=" value; unset when there was none.
    std::optional<std::string> backupDir;
    // Console lines, in the order the options were read.
    std::vector<std::string> messages;
};

// Reads the option string that follows the first empty line of `part`; the
// password it carries shows as asterisks when `maskPassword`.
UploadOptions parseUploadOptionsText(std::string_view part, bool maskPassword = false);

// Everything a multipart body yields, as ranges of the body so that nothing
// large is copied.
struct MultipartParse {
    // The pieces between delimiters, as (offset, size) ranges of the body: the
    // file part's runs to the closing delimiter, and the piece after that
    // delimiter ("--" and any epilogue) comes last.
    std::vector<std::pair<std::size_t, std::size_t>> parts;
    // Last values seen; unset when the body never named them.
    std::optional<std::string> fileName;
    std::optional<std::string> formName;
    std::optional<std::string> backupDir;
    // Whether the closing delimiter ("\r\n--" + boundary + "--") was met: an
    // upload without it was cut short and its last part is incomplete.
    bool closingSeen = false;
    // Whether a part with a file name and a positive length gave its content,
    // and where that content lies in the body.
    bool contentTaken = false;
    std::size_t contentOffset = 0;
    std::size_t contentSize = 0;
    // Every console line of the parse, in order, option lines included.
    std::vector<std::string> messages;
    // Each "UploadPlugin" part handed to the option reader: its range (less a
    // leading "\r\n"), and which of `messages` that reading produced.
    struct OptionsCall {
        std::size_t offset;
        std::size_t size;
        std::size_t firstMessage;
        std::size_t messageCount;
    };
    std::vector<OptionsCall> optionsCalls;
    // Set when a part's "Content-Length:" value was not a signed 64-bit
    // decimal number; parsing stopped there.
    std::exception_ptr failure;
};

// One item of a Content-Disposition value.
struct DispositionItem {
    // The item with the blanks outside double quotes removed, quotes kept.
    std::string text;
    // What follows its first "=" outside quotes, up to a second one: the bytes
    // of quoted stretches kept as they are (blanks, ";" and "=" included),
    // blanks outside quotes removed, the quotes themselves dropped. Unset
    // when the item holds no "=" outside quotes.
    std::optional<std::string> value;
};

// Cuts a Content-Disposition value (the text after its ":") at every ";"
// that stands outside double quotes.
std::vector<DispositionItem> dispositionItems(std::string_view text);

// Takes an upload body apart at "\r\n--" + boundary, up to its last closing
// delimiter ("\r\n--" + boundary + "--"); what follows that is never read.
// The first part with a file name (its own or an earlier part's) and a
// positive announced length is the file part: its content runs from its
// first empty line to the closing delimiter, so a page holding
// delimiter-like text is taken whole. A malformed "Content-Length:" value of
// a part stops the parse and is kept in `failure` (the lines before it still
// count); every other oddity (an item without "=", a length line without a
// space, an empty part) is skipped. A part's announced length counts for that
// part only.
MultipartParse parseMultipartBody(std::string_view body, std::string_view boundary);

// Why a save was refused or failed.
enum class SaveFailure {
    NameLeavesRoot,    // the file name climbs out of the served folder
    BackupLeavesRoot,  // the backup folder climbs out of it
    NameNotPlain,      // Windows would take the file name for a device, a stream or another name
    BackupNotPlain,    // the same for the backup folder
    NotAnUpload,       // no part named "userfile" with a file name
    BadPartLength,     // a part announces a Content-Length that is no number
    ExchangeFile,      // the page or its backup would be a script exchange file
    InHistory,         // the page lies in the version history
    BackupInHistory,   // the backup folder, or the backup in it, lies in the version history
    Incomplete,        // the upload ended before its closing delimiter
    NoPage,            // no file part with a length
    EmptyPage,         // the file part holds no bytes
    BackupFailed,      // the previous page could not be kept as the backup
    WriteFailed,       // the new page could not be written
};

// What a refused or failed save tells.
struct SaveFailureReport {
    // The status a client that is not a browser gets.
    std::string status;
    // What went wrong, for the console and the user.
    std::string cause;
    // What the user can do about it.
    std::string advice;
    // The answer's text: "Not saved: " + cause + ". " + advice + "\n".
    std::string text() const;
};

// Describes a save that did not happen. `code` is the failing call's error
// for BackupFailed and WriteFailed; `fileName` and `backupDir` are the names
// the wiki sent.
SaveFailureReport describeSaveFailure(SaveFailure failure, std::error_code code, std::string_view fileName,
                                      std::string_view backupDir);

// The refusal an upload earns for what it carries before anything is
// touched, if any (where it would write is asked of uploadPlaceRefusal).
std::optional<SaveFailure> uploadRefusal(std::string_view formName, std::string_view fileName, bool closingSeen,
                                         bool contentTaken, std::size_t contentSize);

// The refusal an upload earns for where it would write under `root`: the
// page `fileName`, the backup folder `backupDir` and the backup in it.
std::optional<SaveFailure> uploadPlaceRefusal(const std::string& root, const std::string& fileName,
                                              const std::string& backupDir);

} // namespace fernhollow
