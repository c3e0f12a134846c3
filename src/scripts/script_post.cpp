#include "scripts/script_post.h"

#include "base/text.h"
#include "http/handling.h"
#include "platform/console.h"
#include "platform/paths.h"

#include <utility>

namespace fernhollow {

namespace {

class ScriptPost : public BodyHandler {
public:
    ScriptPost(std::string root, const Request& request) : root_(std::move(root)), request_(request) {}
    Answer answer(std::string&) override {
        platform::consoleLine("PHP request");
        // The tests and the script's names see the decoded path; the query
        // keeps its bytes and never decides: "/notes.txt?x.php" is no script.
        const std::string& path = request_.pathOrEmpty();
        std::string target = request_.decodedTarget().value_or(path);
        // A script outside the root must never be run.
        if (hasParentSegment(target) || (platform::windowsFileNames && hasWindowsAliasSegment(path)))
            return Answer::of(notFoundPage(root_));
        return Answer::script("POST", target);
    }

private:
    std::string root_;
    Request request_;
};

} // namespace

BodyStart startScriptPost(const std::string& root, const Request& request, const PostHeaders&) {
    BodyStart start;
    start.handler = std::make_unique<ScriptPost>(root, request);
    return start;
}

} // namespace fernhollow
