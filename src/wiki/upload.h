// The save of the wiki's upload saver: a multipart POST whose "userfile"
// part is the page, written with the previous copy kept in a backup folder.
#pragma once

#include "http/body.h"
#include "http/request.h"
#include "wiki/pages.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace fernhollow {

// One upload, from its head to its answer. A large upload's page is written
// beside the page as it arrives, once the head of its page part shows the
// save would not be refused; any other is saved from memory.
class UploadSave : public BodyHandler {
public:
    UploadSave(std::string root, Request request, PostHeaders framing);
    void received(std::string& body) override;
    Answer answer(std::string& body) override;
    void drop() override { writer_.reset(); }

private:
    // Takes the whole body apart into the upload's fields, narrowing `body`
    // to the page's content.
    void parseMultipart(std::string& body);
    // Reads the "UploadPlugin" options of one part.
    void parseUploadOptions(std::string_view part);
    // Once enough of the upload is in: starts writing its page beside the
    // page it names, when the save would not be refused.
    void startWriter(const std::string& body);
    // A refused or failed save's answer: a browser's wiki reads only a 200
    // answer's text, scripts read the status.
    Answer failureAnswer(const SaveFailureReport& report) const;

    std::string root_;
    Request request_;
    PostHeaders framing_;
    std::string fileName_;
    std::string backupDir_;
    std::string formName_;
    bool contentTaken_ = false;
    bool closed_ = false;
    std::unique_ptr<PageWriter> writer_;
    // Where the page begins in the body: as a first look at the upload's
    // head found it (for the writer), and as the whole upload's parse did.
    std::size_t pageFrom_ = 0;
    std::size_t pageAt_ = 0;
    bool looked_ = false;
    DeferredRemovals replaced_;
};

// Takes an upload's body; once whole, saves the page it holds.
BodyStart startUpload(const std::string& root, const Request& request, const PostHeaders& framing);

} // namespace fernhollow
