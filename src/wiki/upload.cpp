#include "wiki/upload.h"

#include "base/settings.h"
#include "base/text.h"
#include "http/handling.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "wiki/places.h"
#include "wiki/saving.h"

#include <exception>
#include <system_error>
#include <utility>

namespace fernhollow {

using platform::consoleLine;

UploadSave::UploadSave(std::string root, Request request, PostHeaders framing)
    : root_(std::move(root)), request_(std::move(request)), framing_(std::move(framing)) {}

void UploadSave::received(std::string& body) {
    // The parts before the page are small: their heads are in long before this.
    constexpr std::size_t lookAfter = 256 * 1024;
    if (!looked_ && body.size() >= lookAfter) {
        looked_ = true;
        startWriter(body);
    }
    if (!writer_) return;
    std::size_t from = pageFrom_ + static_cast<std::size_t>(writer_->size());
    std::size_t upTo = std::min(body.size(), static_cast<std::size_t>(framing_.contentLength));
    if (upTo > from) writer_->append(std::string_view(body).substr(from, upTo - from));
}

void UploadSave::startWriter(const std::string& body) {
    // Small pages come whole at once.
    constexpr std::int64_t smallestWritten = 1 << 20;
    if (framing_.contentLength < smallestWritten) return;
    // What is in so far, closed as a whole upload would be: the page then runs to its end.
    std::string closed = body + "\r\n--" + framing_.boundary + "--\r\n";
    MultipartParse parsed = parseMultipartBody(closed, framing_.boundary);
    if (parsed.failure || !parsed.contentTaken || !parsed.fileName || !parsed.formName) return;
    // The same refusals as the save's own: no file is made where it would refuse.
    std::string backup = parsed.backupDir.value_or("");
    if (uploadRefusal(*parsed.formName, *parsed.fileName, true, true, 1) ||
        uploadPlaceRefusal(root_, *parsed.fileName, backup))
        return;
    SavePaths paths = savePaths(root_, *parsed.fileName, backup);
    try {
        writer_ = std::make_unique<PageWriter>(paths.pagePath);
    } catch (const std::system_error&) {
        return;
    }
    pageFrom_ = parsed.contentOffset;
}

void UploadSave::parseMultipart(std::string& body) {
    MultipartParse parsed = parseMultipartBody(body, framing_.boundary);
    // The option lines are written by parseUploadOptions itself, at their turn.
    std::size_t next = 0;
    for (const auto& call : parsed.optionsCalls) {
        for (; next < call.firstMessage; ++next) consoleLine(parsed.messages[next]);
        parseUploadOptions(std::string_view(body).substr(call.offset, call.size));
        next += call.messageCount;
    }
    for (; next < parsed.messages.size(); ++next) consoleLine(parsed.messages[next]);
    if (parsed.fileName) fileName_ = std::move(*parsed.fileName);
    if (parsed.formName) formName_ = std::move(*parsed.formName);
    if (parsed.failure) std::rethrow_exception(parsed.failure);
    closed_ = parsed.closingSeen;
    contentTaken_ = parsed.contentTaken;
    pageAt_ = parsed.contentOffset;
    if (parsed.contentTaken) {
        // Narrowed in place: a page of many megabytes is never held twice.
        body.erase(parsed.contentOffset + parsed.contentSize);
        body.erase(0, parsed.contentOffset);
    }
}

void UploadSave::parseUploadOptions(std::string_view part) {
    // The wiki sends the server's own password there when the server has one.
    UploadOptions options = parseUploadOptionsText(part, !settings().password.empty());
    for (const std::string& message : options.messages) consoleLine(message);
    if (options.backupDir) backupDir_ = std::move(*options.backupDir);
}

Answer UploadSave::failureAnswer(const SaveFailureReport& report) const {
    return Answer::of(plainAnswer(comesFromBrowser(request_.headLines) ? "200 OK" : report.status, report.text()));
}

Answer UploadSave::answer(std::string& body) {
    auto refuse = [&](SaveFailure refusal) {
        SaveFailureReport report = describeSaveFailure(refusal, {}, fileName_, backupDir_);
        consoleLine("refusing to save " + fileName_ + ": " + report.cause);
        return failureAnswer(report);
    };
    try {
        parseMultipart(body);
    } catch (const std::system_error& error) {
        consoleLine(std::string("a part's Content-Length could not be read: ") + error.what());
        return refuse(SaveFailure::BadPartLength);
    }
    consoleLine("Form Name is " + formName_);
    SavePaths paths = savePaths(root_, fileName_, backupDir_);
    if (paths.rootExtended) consoleLine(std::string("Appended ") + platform::pathSeparator + " to root path");
    if (auto refusal = uploadRefusal(formName_, fileName_, closed_, contentTaken_, body.size())) return refuse(*refusal);
    if (auto refusal = uploadPlaceRefusal(paths.root, fileName_, backupDir_)) return refuse(*refusal);

    if (backupDir_.empty()) consoleLine("warning: no backup directory specified");
    std::string relative = resolvePlace(paths.root, fileName_, PlaceUse::WriteFile).relative;
    std::optional<HistoryKeeping> history = historyOf(paths.root, relative);
    // The page written as it arrived counts only where the whole upload's
    // parse found it at the same place, for the same file.
    NewPage content(body);
    if (writer_ && writer_->target() == paths.pagePath && pageFrom_ == pageAt_) {
        writer_->settle(body);
        content = NewPage(*writer_);
    } else {
        writer_.reset();
    }
    std::optional<ReplaceFailure> failed =
        replacePage(paths, fileName_, content, replaced_, history ? &*history : nullptr);
    if (!failed) return Answer::of("HTTP/1.1 200 OK\r\n\r\n");
    // A backup or write that failed: the designed backup line, then the cause.
    if (failed->step == SaveFailure::BackupFailed)
        consoleLine("there was an exception when copying the file to a backup directory");
    SaveFailureReport report = describeSaveFailure(failed->step, failed->error.code(), fileName_, backupDir_);
    consoleLine("could not save " + fileName_ + ": " + report.cause + " (" + failed->error.what() + ")");
    return failureAnswer(report);
}

BodyStart startUpload(const std::string& root, const Request& request, const PostHeaders& framing) {
    BodyStart start;
    start.handler = std::make_unique<UploadSave>(root, request, framing);
    return start;
}

} // namespace fernhollow
