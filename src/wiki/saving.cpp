#include "wiki/saving.h"

#include "base/settings.h"
#include "base/exchange.h"
#include "http/handling.h"
#include "wiki/pages.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "wiki/places.h"
#include "platform/paths.h"
#include "base/text.h"

#include <cstdint>
#include <exception>
#include <random>
#include <system_error>

namespace fernhollow {

using platform::consoleLine;

UploadOptions parseUploadOptionsText(std::string_view part, bool maskPassword) {
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
            options.messages.push_back("password is set: " + (maskPassword ? std::string("********") : std::string(pieces[1])));
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

// What a save that was refused before anything was written says: every
// failure but a failed backup or write.
SaveFailureReport refusalReport(SaveFailure failure, const std::string& page, const std::string& folder) {
    const std::string unchanged = "Save again from the wiki; the page on disk is unchanged.";
    switch (failure) {
    case SaveFailure::NameLeavesRoot:
        return {"403 Forbidden", "the file name '" + page + "' leads outside the served folder",
                  "Set Upload Filename in the wiki's saver settings to a name inside it, such as 'index.html'."};
    case SaveFailure::BackupLeavesRoot:
        return {"403 Forbidden", "the backup folder '" + folder + "' leads outside the served folder",
                  "Set Backup Directory in the wiki's saver settings to a folder inside it, such as 'backup'."};
    case SaveFailure::NameNotPlain:
        return {"403 Forbidden",
                  "the file name '" + page + "' is no plain file name (it names no file, a save's temporary file, "
                  "or on Windows it names a device or a stream, or ends in a dot or a blank)",
                  "Set Upload Filename in the wiki's saver settings to a plain name, such as 'index.html'."};
    case SaveFailure::BackupNotPlain:
        return {"403 Forbidden",
                  "the backup folder '" + folder + "' is no plain folder name (the backup in it would be a save's "
                  "temporary file, or on Windows it names a device or a stream, or ends in a dot or a blank)",
                  "Set Backup Directory in the wiki's saver settings to a plain name, such as 'backup'."};
    case SaveFailure::NotAnUpload:
        return {"400 Bad Request", "the upload holds no part named 'userfile' with a file name",
                  "Save with the wiki's upload saver, which sends the page that way; nothing was changed."};
    case SaveFailure::BadPartLength:
        return {"400 Bad Request", "a part of the upload announces a Content-Length that is not a number",
                  unchanged};
    case SaveFailure::InHistory:
        return {"403 Forbidden", "'" + page + "' lies in the version history, which only thinning changes",
                  "Restore an earlier version from the page's history (the \"history\" link at /tiddly) instead."};
    case SaveFailure::BackupInHistory:
        return {"403 Forbidden", "the backup folder '" + folder + "' lies in the version history, which only "
                  "thinning changes",
                  "Set Backup Directory in the wiki's saver settings to a folder outside it, such as 'backup'."};
    case SaveFailure::ExchangeFile:
        return {"403 Forbidden",
                  "the file name '" + page + "' names a file the server passes to its scripts, not a page",
                  "Set Upload Filename in the wiki's saver settings to the wiki's own file name."};
    case SaveFailure::Incomplete:
        return {"400 Bad Request", "the upload ended before its closing boundary, so the page arrived incomplete",
                  unchanged};
    case SaveFailure::NoPage:
        return {"400 Bad Request", "the upload holds no page (no file part with a length)", unchanged};
    case SaveFailure::EmptyPage:
        return {"400 Bad Request", "the page in the upload is empty", unchanged};
    case SaveFailure::BackupFailed:
    case SaveFailure::WriteFailed:
        break;
    }
    return {"500 Internal Server Error", "the save failed", unchanged};
}

} // namespace

SaveFailureReport describeSaveFailure(SaveFailure failure, std::error_code code, std::string_view fileName,
                                      std::string_view backupDir) {
    const std::string page(fileName);
    const std::string folder(backupDir);
    SaveFailureReport report;
    if (failure == SaveFailure::BackupFailed) report = backupFailure(code, page, folder);
    else if (failure == SaveFailure::WriteFailed) report = writeFailure(code, page);
    else return refusalReport(failure, page, folder);
    report.status = "500 Internal Server Error";
    return report;
}

std::optional<SaveFailure> uploadRefusal(std::string_view formName, std::string_view fileName, bool closingSeen,
                                         bool contentTaken, std::size_t contentSize) {
    if (formName != "userfile" || fileName.empty()) return SaveFailure::NotAnUpload;
    if (!closingSeen) return SaveFailure::Incomplete;
    if (!contentTaken) return SaveFailure::NoPage;
    if (contentSize == 0) return SaveFailure::EmptyPage;
    return std::nullopt;
}

std::optional<SaveFailure> uploadPlaceRefusal(const std::string& root, const std::string& fileName,
                                              const std::string& backupDir) {
    auto asFailure = [](PlaceRefusal refusal, bool backup) {
        switch (refusal) {
        case PlaceRefusal::LeavesRoot: return backup ? SaveFailure::BackupLeavesRoot : SaveFailure::NameLeavesRoot;
        case PlaceRefusal::InHistory: return backup ? SaveFailure::BackupInHistory : SaveFailure::InHistory;
        case PlaceRefusal::ExchangeFile: return SaveFailure::ExchangeFile;
        default: return backup ? SaveFailure::BackupNotPlain : SaveFailure::NameNotPlain;
        }
    };
    Place page = resolvePlace(root, fileName, PlaceUse::WriteFile);
    if (!page.allowed()) return asFailure(*page.refusal, false);
    if (backupDir.empty()) return std::nullopt;
    Place folder = resolvePlace(root, backupDir, PlaceUse::BackupFolder);
    // The served folder itself ("." or "/") may hold the backup.
    if (!folder.allowed() && folder.refusal != PlaceRefusal::NoName) return asFailure(*folder.refusal, true);
    Place backup = resolvePlace(root, backupDir + "/" + fileName, PlaceUse::WriteFile);
    if (!backup.allowed()) return asFailure(*backup.refusal, true);
    return std::nullopt;
}

} // namespace fernhollow
