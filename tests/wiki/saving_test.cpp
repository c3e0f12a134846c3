// Taking uploads apart and saving pages through the upload's handler, in a
// temporary document root.
#include "wiki/saving.h"
#include "access/access.h"
#include "base/text.h"

#include "base/config.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "wiki/upload.h"
#include "support/blackbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

using namespace fernhollow;
using fernhollow::testing::TempDir;
namespace fs = std::filesystem;

namespace {

const std::string B = "---------------------------AaB03x";

// The upload that wikis send: an options part, then the page part.
std::string uploadFrame(const std::string& options, const std::string& fileName, const std::string& lengthLine,
                        const std::string& page, const std::string& formName = "userfile") {
    return "--" + B + "\r\nContent-disposition: form-data; name=\"UploadPlugin\"\r\n\r\n" + options +
           "\r\n\r\n--" + B + "\r\nContent-disposition: form-data; name=\"" + formName + "\"; filename=\"" +
           fileName + "\"\r\nContent-Type: text/html;charset=UTF-8\r\n" + lengthLine + "\r\n\r\n" + page +
           "\r\n--" + B + "--\r\n";
}

std::string standardFrame(const std::string& fileName, const std::string& page,
                          const std::string& options = "backupDir=backup;user=me;password=pw;uploaddir=.;;") {
    return uploadFrame(options, fileName, "Content-Length: " + std::to_string(page.size()), page);
}

// A page with multi-byte UTF-8 and CR LF line ends.
const std::string utf8Page = "<!doctype html>\r\n<p>Grüße, 東京, ✓ — ok</p>\r\n<!-- \xF0\x9F\x8C\xB2 -->\r\n";
// Its length in characters, as the wiki announces it (fewer than its bytes).
const std::string utf8CharacterCount = [] {
    std::size_t characters = 0;
    for (unsigned char byte : utf8Page) characters += (byte & 0xC0) != 0x80;
    return std::to_string(characters);
}();

std::string contentOf(std::string_view body, const MultipartParse& parsed) {
    return parsed.contentTaken ? std::string(body.substr(parsed.contentOffset, parsed.contentSize)) : "<none>";
}

using Lines = std::vector<std::string>;

} // namespace

TEST(UploadOptions, ReadsBackupFolderAndPasswordInItemOrder) {
    struct Case {
        const char* name;
        std::string part;
        std::optional<std::string> backupDir;
        Lines messages;
    };
    const Case cases[] = {
        {"plug-in options", "H\r\n\r\nbackupDir=bk;user=u;password=pw;uploaddir=.;;\r\n", "bk",
         {"back up directory set to bk", "password is set: pw"}},
        {"order of the items", "\r\n\r\npassword=p;backupDir=b", "b", {"password is set: p", "back up directory set to b"}},
        {"last backupDir wins", "\r\n\r\nbackupDir=a;backupDir=b;", "b",
         {"back up directory set to a", "back up directory set to b"}},
        {"empty value", "\r\n\r\nbackupDir=;", "", {"back up directory set to "}},
        {"value holding = is ignored", "\r\n\r\nbackupDir=a=b;password=x=y;", std::nullopt, {}},
        {"quotes and spaces kept", "\r\n\r\nbackupDir=\"a b\";", "\"a b\"", {"back up directory set to \"a b\""}},
        {"space before the name matches nothing", "\r\n\r\n backupDir=a; password=b", std::nullopt, {}},
        {"letter case counts", "\r\n\r\nbackupdir=a;Password=b", std::nullopt, {}},
        {"last value runs to the end of the part", "\r\n\r\nbackupDir=x\r\n", "x\r\n", {"back up directory set to x\r\n"}},
        {"no empty line", "Content-Disposition: x\r\nbackupDir=a;", std::nullopt, {"Couldn't find end of part"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UploadOptions options = parseUploadOptionsText(c.part);
        EXPECT_EQ(options.backupDir, c.backupDir);
        EXPECT_EQ(options.messages, c.messages);
    }
    // With a server password the wiki sends that same password here: never shown.
    EXPECT_EQ(parseUploadOptionsText("\r\n\r\npassword=pw;backupDir=b", true).messages,
              (std::vector<std::string>{"password is set: ********", "back up directory set to b"}));
}

TEST(MultipartParse, TakesThePageOfTheWikiUploadByteForByte) {
    struct Case {
        const char* name;
        std::string lengthLine;
        std::string page;
    };
    const Case cases[] = {
        {"exact byte count", "Content-Length: 11", "hello world"},
        {"character count of a UTF-8 page", "Content-Length: " + utf8CharacterCount, utf8Page},
        {"announced length larger than the page", "Content-Length: 99999", "short"},
        {"page ending in empty lines", "Content-Length: 3", "a\r\n\r\n"},
        {"page holding boundary-like text", "Content-Length: 3", "x--" + B + "\r\n--other--\r\n--"},
        // The wiki always sends the same boundary, so a page may hold it.
        {"page holding a delimiter line", "Content-Length: 20", "<p>a\r\n--" + B + "\r\nb</p>"},
        {"page holding the closing delimiter", "Content-Length: 20", "<p>a\r\n--" + B + "--\r\nb</p>"},
        {"page with -- at line starts", "Content-Length: 9", "a\r\n--\r\n--x\r\n--" + B + "-"},
        {"page holding a whole part", "Content-Length: 9",
         "a\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"evil\"; filename=\"x.html\"\r\n"
         "Content-Length: 1\r\n\r\nZ\r\n--" + B + "--\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string body = uploadFrame("backupDir=backup;user=me;password=pw;uploaddir=.;;", "tiddly-notes.html",
                                       c.lengthLine, c.page);
        MultipartParse parsed = parseMultipartBody(body, B);
        EXPECT_EQ(contentOf(body, parsed), c.page);
        EXPECT_EQ(parsed.fileName, "tiddly-notes.html");
        EXPECT_EQ(parsed.formName, "userfile");
        EXPECT_EQ(parsed.backupDir, "backup");
        EXPECT_EQ(parsed.messages, (Lines{"back up directory set to backup", "password is set: pw",
                                          "filename is tiddly-notes.html"}));
        EXPECT_FALSE(parsed.failure);
        ASSERT_EQ(parsed.optionsCalls.size(), 1u);
        EXPECT_EQ(parsed.optionsCalls[0].firstMessage, 0u);
        EXPECT_EQ(parsed.optionsCalls[0].messageCount, 2u);
        // The parts are the pieces between delimiters: joined again they are the body.
        std::string joined;
        for (auto [offset, size] : parsed.parts) {
            if (!joined.empty() || offset != 0) joined += "\r\n--" + B;
            joined += body.substr(offset, size);
        }
        EXPECT_EQ(joined, body);
        EXPECT_EQ(parsed.parts.size(), 3u);
        EXPECT_TRUE(parsed.closingSeen);
        // Cut short anywhere in the closing delimiter, the upload is incomplete
        // (unless the page itself holds one: then only the request's length
        // tells, which request assembly waits for).
        if (c.page.find("\r\n--" + B + "--") != std::string::npos) continue;
        for (std::size_t cut : {3, 15, 41})
            EXPECT_FALSE(parseMultipartBody(std::string_view(body).substr(0, body.size() - cut), B).closingSeen) << cut;
    }
}

TEST(MultipartParse, EdgeCasesOfHeadersItemsAndParts) {
    const std::string open = "--" + B + "\r\n";
    const std::string next = "\r\n--" + B + "\r\n";
    const std::string close = "\r\n--" + B + "--\r\n";
    struct Case {
        const char* name;
        std::string body;
        std::string content;  // "<none>" when nothing is taken
        std::optional<std::string> fileName;
        std::optional<std::string> formName;
        Lines messages;
    };
    const Case cases[] = {
        {"disposition name in any letter case",
         open + "CONTENT-DISPOSITION: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "a.html", "userfile", {"filename is a.html"}},
        {"lower-case content-length is not a length",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\ncontent-length: 1\r\n\r\nX" + close,
         "<none>", "a.html", "userfile", {"filename is a.html"}},
        {"length 0 takes nothing",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 0\r\n\r\nX" + close,
         "<none>", "a.html", "userfile", {"filename is a.html"}},
        {"negative length takes nothing",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: -4\r\n\r\nX" + close,
         "<none>", "a.html", "userfile", {"filename is a.html"}},
        {"plus sign and trailing text after a second space",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: +1 chars\r\n\r\nX" + close,
         "X", "a.html", "userfile", {"filename is a.html"}},
        {"length line without a space is skipped",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length:1\r\n\r\nX" + close,
         "<none>", "a.html", "userfile", {"filename is a.html"}},
        {"missing empty line after the part head",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 1\r\nX" + close,
         "<none>", "a.html", "userfile", {"filename is a.html"}},
        {"= inside unquoted values keeps the text before it",
         open + "Content-Disposition: form-data; name=user=file; filename=a=b.html\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "a", "user", {"filename is a"}},
        {"quoted values keep blanks, = and ;",
         open + "Content-Disposition: form-data; name=\"user=file\"; filename=\" my notes; a=b.html\"\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", " my notes; a=b.html", "user=file", {"filename is  my notes; a=b.html"}},
        {"quotes anywhere are dropped, blanks outside them too",
         open + "Content-Disposition: form-data; name = \"userfile\"; filename=\"my \"odd\" page.html\"\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "my odd page.html", "userfile", {"filename is my odd page.html"}},
        {"an unclosed quote runs to the end of the line",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a b.html; x\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "a b.html; x", "userfile", {"filename is a b.html; x"}},
        {"items without = are skipped",
         open + "Content-Disposition: form-data; name; filename; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "a.html", "userfile", {"filename is a.html"}},
        {"unquoted values",
         open + "Content-Disposition:form-data;name=userfile;filename=a.html\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "a.html", "userfile", {"filename is a.html"}},
        {"empty parts and a body that begins with the delimiter are skipped",
         "\r\n--" + B + "\r\n--" + B + next + next +
             "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "a.html", "userfile", {"filename is a.html"}},
        {"a preamble matches nothing",
         "preamble\r\n\r\nContent-Length: 5\r\n" + next +
             "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 1\r\n\r\nX" + close,
         "X", "a.html", "userfile", {"filename is a.html"}},
        {"the length counts only for its own part",
         open + "Content-Disposition: form-data; name=\"first\"\r\nContent-Length: 5\r\n\r\nfirst" + next +
             "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\n\r\nX" + close,
         "<none>", "a.html", "userfile", {"filename is a.html"}},
        {"an epilogue with an empty line is not the page",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 1\r\n\r\nX" +
             "\r\n--" + B + "--\r\nepilogue\r\n\r\nnot the page",
         "X", "a.html", "userfile", {"filename is a.html"}},
        {"the page runs to the last closing delimiter, part-like text and all",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\nContent-Length: 1\r\n\r\nX" + close +
             next + "Content-Disposition: form-data; name=\"other\"; filename=\"b.html\"\r\nContent-Length: 1\r\n\r\nY" + close,
         "X" + close + next + "Content-Disposition: form-data; name=\"other\"; filename=\"b.html\"\r\n"
             "Content-Length: 1\r\n\r\nY",
         "a.html", "userfile", {"filename is a.html"}},
        {"a file name from an earlier part makes a later length count",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\n\r\nX" + next +
             "Content-Disposition: form-data; name=\"more\"\r\nContent-Length: 1\r\n\r\nY" + close,
         "Y", "a.html", "more", {"filename is a.html"}},
        {"an empty file name takes nothing",
         open + "Content-Disposition: form-data; name=\"userfile\"; filename=\"\"\r\nContent-Length: 1\r\n\r\nX" + close,
         "<none>", "", "userfile", {"filename is "}},
        {"no delimiter at all", "just some bytes\r\n\r\nmore", "<none>", std::nullopt, std::nullopt, {}},
        {"an options part without an empty line",
         open + "Content-Disposition: form-data; name=\"UploadPlugin\"; filename=\"a.html\"" + close, "<none>", "a.html",
         "UploadPlugin", {"Couldn't find end of part", "filename is a.html"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MultipartParse parsed = parseMultipartBody(c.body, B);
        EXPECT_FALSE(parsed.failure);
        EXPECT_EQ(contentOf(c.body, parsed), c.content);
        EXPECT_EQ(parsed.fileName, c.fileName);
        EXPECT_EQ(parsed.formName, c.formName);
        EXPECT_EQ(parsed.messages, c.messages);
    }
    EXPECT_TRUE(parseMultipartBody("", B).parts.empty());
}

TEST(MultipartParse, MalformedPartLengthStopsWithTheLinesSoFar) {
    for (std::string value : {"abc", "", "12x", "99999999999999999999", "-"}) {
        SCOPED_TRACE(value);
        std::string body = "--" + B + "\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"a.html\"\r\n" +
                           "Content-Length: " + value + "\r\n\r\nX\r\n--" + B + "--";
        MultipartParse parsed = parseMultipartBody(body, B);
        ASSERT_TRUE(parsed.failure);
        EXPECT_THROW(std::rethrow_exception(parsed.failure), std::system_error);
        EXPECT_FALSE(parsed.contentTaken);
        EXPECT_EQ(parsed.messages, Lines{"filename is a.html"});
    }
}

TEST(SavePaths, JoinsRootBackupFolderAndFileName) {
    struct Case {
        std::string root, fileName, backupDir;
        bool extended;
        std::string page, backup;
    };
    const Case cases[] = {
        {"./", "index.html", "backup", false, "./index.html", "./backup/index.html"},
        {"/srv/wiki", "p.html", "bk", true, "/srv/wiki/p.html", "/srv/wiki/bk/p.html"},
        {"/srv/wiki", "/p.html", "bk", false, "/srv/wiki/p.html", "/srv/wikibk//p.html"},
        {"/srv/wiki/", "sub/p.html", "", false, "/srv/wiki/sub/p.html", ""},
        {"", "p.html", "bk", true, "/p.html", "/bk/p.html"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.root + " + " + c.fileName);
        SavePaths paths = savePaths(c.root, c.fileName, c.backupDir);
        EXPECT_EQ(paths.rootExtended, c.extended);
        EXPECT_EQ(paths.pagePath, c.page);
        EXPECT_EQ(paths.backupPath, c.backup);
    }
    EXPECT_EQ(folderOf("./index.html"), ".");
    EXPECT_EQ(folderOf(".//x"), "./");
    EXPECT_EQ(folderOf("/x"), "/");
    EXPECT_EQ(folderOf("x"), ".");
    EXPECT_EQ(plainAnswer("403 Forbidden", "no\n"), "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nno\n");
}

TEST(SavePaths, ABackupFolderThatNamesThePagesOwnFolder) {
    struct Case {
        std::string root, fileName, backupDir;
        bool same;
    };
    const Case cases[] = {
        {"./", "p.html", ".", true},           {"./", "p.html", "./", true},
        {"./", "p.html", "./.", true},         {"/srv/w", "sub/p.html", ".//.", true},
        {"./", "p.html", "/", true},           {"./", "p.html", "backup", false},
        {"./", "p.html", ".backup", false},    {"./", "sub/p.html", "sub", false},
        {"/srv/w", "/p.html", ".", false},  // the root is not extended: "/srv/w.//p.html"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.root + " " + c.fileName + " " + c.backupDir);
        SavePaths paths = savePaths(c.root, c.fileName, c.backupDir);
        EXPECT_EQ(sameLexicalPath(paths.backupPath, paths.pagePath), c.same);
    }
    EXPECT_FALSE(sameLexicalPath("/p.html", "p.html"));
}

TEST(SaveFailure, EachCauseSaysWhatFailedAndWhatToDo) {
    using F = SaveFailure;
    auto code = [](int value) { return std::error_code(value, std::generic_category()); };
    const std::string clear = "or clear Backup Directory in the wiki's saver settings.\n";
    const std::string again = "Save again from the wiki; the page on disk is unchanged.\n";
    struct Case {
        F failure;
        std::error_code code;
        std::string status, text;
    };
    const Case cases[] = {
        {F::NameLeavesRoot, {}, "403 Forbidden", "the file name 'p.html' leads outside the served folder. Set Upload "
         "Filename in the wiki's saver settings to a name inside it, such as 'index.html'.\n"},
        {F::BackupLeavesRoot, {}, "403 Forbidden", "the backup folder 'bk' leads outside the served folder. Set Backup "
         "Directory in the wiki's saver settings to a folder inside it, such as 'backup'.\n"},
        {F::Incomplete, {}, "400 Bad Request",
         "the upload ended before its closing boundary, so the page arrived incomplete. " + again},
        {F::NoPage, {}, "400 Bad Request", "the upload holds no page (no file part with a length). " + again},
        {F::NotAnUpload, {}, "400 Bad Request", "the upload holds no part named 'userfile' with a file name. Save "
         "with the wiki's upload saver, which sends the page that way; nothing was changed.\n"},
        {F::BadPartLength, {}, "400 Bad Request",
         "a part of the upload announces a Content-Length that is not a number. " + again},
        {F::ExchangeFile, {}, "403 Forbidden", "the file name 'p.html' names a file the server passes to its "
         "scripts, not a page. Set Upload Filename in the wiki's saver settings to the wiki's own file name.\n"},
        {F::EmptyPage, {}, "400 Bad Request", "the page in the upload is empty. " + again},
        {F::BackupFailed, code(ENOENT), "", "the backup folder 'bk' does not exist in the served folder. Create it, " + clear},
        {F::BackupFailed, code(ENOTDIR), "", "the backup folder 'bk' is not a folder in the served folder. Make it a folder, " + clear},
        {F::BackupFailed, code(EISDIR), "", "'bk/p.html' in the served folder is a folder, so it cannot hold the "
         "backup. Move that folder away, " + clear},
        {F::BackupFailed, code(EACCES), "", "the server has no permission to write in the backup folder 'bk'. Give it "
         "write permission there, " + clear},
        {F::BackupFailed, code(EPERM), "", "the server has no permission to write in the backup folder 'bk'. Give it "
         "write permission there, " + clear},
        {F::BackupFailed, code(EROFS), "", "the backup folder 'bk' is on a read-only disk. Choose another backup folder, " + clear},
        {F::BackupFailed, code(ENOSPC), "", "the disk that holds the backup folder 'bk' is full. Free some space, then save again.\n"},
        {F::BackupFailed, code(EXDEV), "", "the backup folder 'bk' is on another disk than the page. Choose a backup "
         "folder on the page's disk, " + clear},
        {F::BackupFailed, code(EMLINK), "", "the backup 'bk/p.html' could not be made (" + code(EMLINK).message() + "). Check that folder, " + clear},
        {F::WriteFailed, code(ENOENT), "", "the folder for 'p.html' does not exist in the served folder. Create it, or "
         "set Upload Filename in the wiki's saver settings to a name in an existing folder.\n"},
        {F::WriteFailed, code(EISDIR), "", "'p.html' is a folder in the served folder. Set Upload Filename in the "
         "wiki's saver settings to a file name.\n"},
        {F::WriteFailed, code(EPERM), "", "the server has no permission to write 'p.html' in the served folder. Give "
         "it write permission there, then save again.\n"},
        {F::WriteFailed, code(EROFS), "", "'p.html' is on a read-only disk. Save the wiki to a writable folder.\n"},
        {F::WriteFailed, code(ENOSPC), "", "the disk is full, so 'p.html' could not be written whole. Free some "
         "space, then save again; the page on disk is unchanged.\n"},
        {F::WriteFailed, code(EFBIG), "", "'p.html' is larger than the server may write there. Free space or raise "
         "the server's file size limit, then save again; the page on disk is unchanged.\n"},
        {F::WriteFailed, code(EIO), "", "'p.html' could not be written (" + code(EIO).message() + "). Check the served "
         "folder, then save again; the page on disk is unchanged.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SaveFailureReport report = describeSaveFailure(c.failure, c.code, "p.html", "bk");
        EXPECT_EQ(report.status, c.status.empty() ? "500 Internal Server Error" : c.status);
        EXPECT_EQ(report.text(), "Not saved: " + c.text);
    }
#ifdef EDQUOT
    EXPECT_EQ(platform::classifyFileFailure(code(EDQUOT)), platform::FileFailure::DiskFull);
#endif
}

TEST(SaveFailure, RefusalsComeInOrderAndBrowsersAreKnownByTheirHeaders) {
    using F = std::optional<SaveFailure>;
    EXPECT_EQ(uploadRefusal("UploadPlugin", "p", true, true, 1), F(SaveFailure::NotAnUpload));
    EXPECT_EQ(uploadRefusal("userfile", "", true, true, 1), F(SaveFailure::NotAnUpload));
    EXPECT_EQ(uploadRefusal("userfile", "p", false, true, 9), F(SaveFailure::Incomplete));
    EXPECT_EQ(uploadRefusal("userfile", "p", true, false, 0), F(SaveFailure::NoPage));
    EXPECT_EQ(uploadRefusal("userfile", "p", true, true, 0), F(SaveFailure::EmptyPage));
    EXPECT_EQ(uploadRefusal("userfile", "p", true, true, 1), std::nullopt);
    // Where an upload writes: its page, its backup folder and the backup in it.
    struct Place {
        std::string fileName, backupDir;
        F refusal;
    };
    const std::vector<Place> places = {
        {"p", ".", std::nullopt},
        {"./p", "/", std::nullopt},
        {"../p", "..", SaveFailure::NameLeavesRoot},
        {"p", "a/..", SaveFailure::BackupLeavesRoot},
        {"history", "", SaveFailure::InHistory},
        {".//history/p/v.html", "", SaveFailure::InHistory},
        {"p", "./history", SaveFailure::BackupInHistory},
        {"history/p", "", SaveFailure::InHistory},
        {"histories/p", "history-old", std::nullopt},
        {"./", "", SaveFailure::NameNotPlain},
        {"p.saving-0123456789ab", "", SaveFailure::NameNotPlain},
        {"p/x/history", "", std::nullopt},
    };
    for (const Place& c : places) {
        SCOPED_TRACE(c.fileName + " in " + c.backupDir);
        EXPECT_EQ(uploadPlaceRefusal("./", c.fileName, c.backupDir), c.refusal);
    }
    // Windows takes any letter case and a short name for the history folder.
    if (platform::windowsFileNames) {
        EXPECT_EQ(uploadPlaceRefusal("./", "HISTORY/p", ""), F(SaveFailure::InHistory));
        EXPECT_EQ(uploadPlaceRefusal("./", "histor~1\\p", ""), F(SaveFailure::InHistory));
    }

    const Lines request = {"POST /savetiddly HTTP/1.1", "Host: 127.0.0.1"};
    auto with = [&request](const std::string& line) {
        Lines lines = request;
        lines.push_back(line);
        lines.emplace_back("");
        return lines;
    };
    EXPECT_TRUE(comesFromBrowser(with("Sec-Fetch-Site: same-origin")));
    EXPECT_TRUE(comesFromBrowser(with("origin: http://127.0.0.1:9090")));
    EXPECT_FALSE(comesFromBrowser(with("X-Origin: a")));
    EXPECT_FALSE(comesFromBrowser(with("Referer: http://127.0.0.1/ Origin: b")));
    EXPECT_FALSE(comesFromBrowser({"POST Origin: HTTP/1.1", ""}));
}

namespace {

// Names in `folder` (recursively) as paths relative to it, sorted.
std::vector<std::string> tree(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

struct SaveResult {
    std::string sent;
    std::string console;
};

// Answers an upload holding `body` whole, as the connection hands it over.
SaveResult save(const std::string& root, const std::string& body) {
    configTable.insert_or_assign("root", ConfigItem(root));
    // These cases are about the page and its backup; the history has tests of its own.
    configTable.insert_or_assign("history", ConfigItem("off"));
    UploadSave upload(root, parseRequestHead("POST /savetiddly HTTP/1.1\r\n\r\n"),
                      PostHeaders{static_cast<std::int64_t>(body.size()), B});
    std::string held = body;
    ::testing::internal::CaptureStdout();
    try {
        Answer answer = upload.answer(held);
        return {answer.bytes, ::testing::internal::GetCapturedStdout()};
    } catch (...) {
        ::testing::internal::GetCapturedStdout();
        throw;
    }
}

const std::string ok = "HTTP/1.1 200 OK\r\n\r\n";

} // namespace

TEST(SaveTiddly, FirstAndSecondSaveKeepOneBackup) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backup");
    std::string root = dir.path() + "/";

    SaveResult first = save(root, standardFrame("index.html", "first page"));
    EXPECT_EQ(first.sent, ok);
    EXPECT_EQ(first.console, "back up directory set to backup\npassword is set: pw\nfilename is index.html\n"
                             "Form Name is userfile\nwriting data to file " + root + "index.html\n");
    EXPECT_EQ(dir.read("index.html"), "first page");
    EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"backup", "index.html"}));

    fs::permissions(root + "index.html", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    SaveResult second = save(root, standardFrame("index.html", "second page"));
    EXPECT_EQ(second.sent, ok);
    EXPECT_EQ(second.console, "back up directory set to backup\npassword is set: pw\nfilename is index.html\n"
                              "Form Name is userfile\nmoving " + root + "index.html to backup directory, " + root +
                              "backup/index.html\nwriting data to file " + root + "index.html\n");
    EXPECT_EQ(dir.read("index.html"), "second page");
    EXPECT_EQ(dir.read("backup/index.html"), "first page");
    EXPECT_EQ(fs::status(root + "index.html").permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    SaveResult third = save(dir.path(), standardFrame("index.html", utf8Page));
    EXPECT_EQ(third.sent, ok);
    EXPECT_NE(third.console.find("Form Name is userfile\nAppended / to root path\nmoving "), std::string::npos);
    EXPECT_EQ(dir.read("index.html"), utf8Page);
    EXPECT_EQ(dir.read("backup/index.html"), "second page");
    EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"backup", "backup/index.html", "index.html"}));
}

TEST(SaveTiddly, TheWikiFrameWithACharacterCountSavesByteForByte) {
    TempDir dir;
    fs::create_directory(dir.path() + "/backups");
    std::string body = uploadFrame("backupDir=backups;user=;password=;uploaddir=;;", "tiddly-ü.html",
                                   "Content-Length: " + utf8CharacterCount, utf8Page);
    SaveResult result = save(dir.path() + "/", body);
    EXPECT_EQ(result.sent, ok);
    EXPECT_EQ(dir.read("tiddly-ü.html"), utf8Page);
}

TEST(SaveTiddly, WithoutBackupFolderThePageIsReplaced) {
    TempDir dir;
    dir.write("page.html", "old");
    SaveResult result = save(dir.path() + "/", standardFrame("page.html", "new", "user=me;password=;;"));
    EXPECT_EQ(result.sent, ok);
    EXPECT_EQ(result.console, "password is set: \nfilename is page.html\nForm Name is userfile\n"
                              "warning: no backup directory specified\nwriting data to file " + dir.path() +
                              "/page.html\n");
    EXPECT_EQ(dir.read("page.html"), "new");
    EXPECT_EQ(tree(dir.path()), std::vector<std::string>{"page.html"});
}

TEST(SaveTiddly, AFailedBackupLeavesThePageAndAnswers500) {
    struct Case {
        const char* name;
        std::string folderOnDisk, text;
    };
    const Case cases[] = {
        {"missing folder", "", "the backup folder 'nowhere' does not exist in the served folder. Create it, or clear "
                               "Backup Directory in the wiki's saver settings.\n"},
        {"backup path is a folder", "nowhere/page.html", "'nowhere/page.html' in the served folder is a folder, so it "
         "cannot hold the backup. Move that folder away, or clear Backup Directory in the wiki's saver settings.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write("page.html", "old");
        if (!c.folderOnDisk.empty()) fs::create_directories(dir.path() + "/" + c.folderOnDisk);
        SaveResult result = save(dir.path() + "/", standardFrame("page.html", "new", "backupDir=nowhere;;"));
        EXPECT_TRUE(result.sent.starts_with("HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\n"));
        EXPECT_TRUE(result.sent.ends_with("\r\n\r\nNot saved: " + c.text)) << result.sent;
        EXPECT_NE(result.console.find("to backup directory, " + dir.path() + "/nowhere/page.html\n"),
                  std::string::npos);
        EXPECT_NE(result.console.find("there was an exception when copying the file to a backup directory\n"
                                      "could not save page.html: " + c.text.substr(0, 30)),
                  std::string::npos) << result.console;
        EXPECT_EQ(dir.read("page.html"), "old");
        std::vector<std::string> expected{"page.html"};
        if (!c.folderOnDisk.empty()) expected = {"nowhere", "nowhere/page.html", "page.html"};
        EXPECT_EQ(tree(dir.path()), expected);
    }
}

TEST(SaveTiddly, RefusesNamesThatLeaveTheRoot) {
    struct Case {
        std::string fileName, options;
    };
    const Case cases[] = {
        {"../escaped.html", "backupDir=backup;"},
        {"sub/../../escaped.html", "backupDir=backup;"},
        {"..", "backupDir=backup;"},
        {"page.html", "backupDir=../outside;"},
        {"page.html", "backupDir=..;"},
        {"page.html", "backupDir=backup/../..;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fileName + " " + c.options);
        TempDir dir;
        fs::create_directories(dir.path() + "/root/backup");
        fs::create_directories(dir.path() + "/outside");
        dir.write("root/page.html", "old");
        SaveResult result = save(dir.path() + "/root/", standardFrame(c.fileName, "new", c.options));
        EXPECT_TRUE(result.sent.starts_with("HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\n"));
        EXPECT_EQ(dir.read("root/page.html"), "old");
        EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"outside", "root", "root/backup", "root/page.html"}));
    }
}

TEST(SaveTiddly, RefusesAnUploadWithoutALengthedFilePart) {
    TempDir dir;
    dir.write("page.html", "old");
    std::string body = uploadFrame("backupDir=;", "page.html", "X-Length: 3", "new");
    SaveResult result = save(dir.path() + "/", body);
    EXPECT_TRUE(result.sent.starts_with("HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"));
    EXPECT_EQ(dir.read("page.html"), "old");
    EXPECT_EQ(tree(dir.path()), std::vector<std::string>{"page.html"});
}

// Every refused save is answered: a browser's wiki would otherwise wait.
TEST(SaveTiddly, WrongFormNoFileNameOrBadPartLengthIsAnswered400) {
    TempDir dir;
    std::string root = dir.path() + "/";
    SaveResult wrongForm = save(root, uploadFrame("backupDir=;", "page.html", "Content-Length: 3", "new", "other"));
    EXPECT_TRUE(wrongForm.sent.starts_with("HTTP/1.1 400 Bad Request\r\n")) << wrongForm.sent;
    EXPECT_TRUE(wrongForm.sent.ends_with("Not saved: the upload holds no part named 'userfile' with a file name. "
                                         "Save with the wiki's upload saver, which sends the page that way; nothing "
                                         "was changed.\n"));
    EXPECT_NE(wrongForm.console.find("Form Name is other\n"), std::string::npos);

    SaveResult noName = save(root, standardFrame("", "new"));
    EXPECT_TRUE(noName.sent.starts_with("HTTP/1.1 400 Bad Request\r\n")) << noName.sent;

    for (std::string value : {"many", "99999999999999999999"}) {
        SaveResult badLength = save(root, uploadFrame("backupDir=;", "page.html", "Content-Length: " + value, "new"));
        EXPECT_TRUE(badLength.sent.ends_with("Not saved: a part of the upload announces a Content-Length that is not "
                                             "a number. Save again from the wiki; the page on disk is unchanged.\n"))
            << badLength.sent;
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(SaveTiddly, AFailedWriteLeavesThePageAndNoTemporaryFile) {
    TempDir dir;
    dir.write("notafolder", "a file where a folder should be");
    struct Case {
        const char* name;
        std::string fileName, cause;
    };
    for (const Case& c : {Case{"missing folder", "missing/page.html", "the folder for 'missing/page.html' does not exist"},
                          Case{"file as folder", "notafolder/page.html", "the folder for 'notafolder/page.html' does not exist"},
                          Case{"page path is a folder", "afolder", "'afolder' is a folder in the served folder"}}) {
        SCOPED_TRACE(c.name);
        fs::create_directories(dir.path() + "/afolder");
        SaveResult result = save(dir.path() + "/", standardFrame(c.fileName, "new", "user=;"));
        EXPECT_TRUE(result.sent.starts_with("HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain\r\n"));
        EXPECT_NE(result.sent.find("\r\n\r\nNot saved: " + c.cause), std::string::npos) << result.sent;
        EXPECT_NE(result.console.find("could not save " + c.fileName + ": " + c.cause), std::string::npos);
        EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"afolder", "notafolder"}));
    }
}

TEST(SaveTiddly, AWriteThatRunsOutOfRoomKeepsPageAndBackup) {
    TempDir dir;
    dir.write("page.html", "old page");
    dir.write("backup/page.html", "older page");
    // A file-size limit makes the write of a larger page fail part way,
    // as a full disk would.
    std::string bigPage(256 * 1024, 'n');
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    SaveResult result = save(dir.path() + "/", standardFrame("page.html", bigPage));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_TRUE(result.sent.starts_with("HTTP/1.1 500 Internal Server Error\r\n"));
    EXPECT_TRUE(result.sent.ends_with("Not saved: 'page.html' is larger than the server may write there. Free space "
                                      "or raise the server's file size limit, then save again; the page on disk is "
                                      "unchanged.\n"));
    EXPECT_NE(result.console.find("writing data to file "), std::string::npos);
    EXPECT_EQ(dir.read("page.html"), "old page");
    EXPECT_EQ(dir.read("backup/page.html"), "older page");
    EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"backup", "backup/page.html", "page.html"}));
}

TEST(TemporaryNames, VanishUnlessCommitted) {
    TempDir dir;
    std::string target = dir.write("target", "before");
    {
        TemporaryFile file(target);
        EXPECT_TRUE(fs::exists(file.path()));
        EXPECT_EQ(folderOf(file.path()), dir.path());
    }
    {
        TemporaryLink link(target, target);
        EXPECT_EQ(fernhollow::testing::readFile(link.path()), "before");
    }
    EXPECT_EQ(tree(dir.path()), std::vector<std::string>{"target"});
    EXPECT_THROW(TemporaryLink(target, dir.path() + "/missing/target"), std::system_error);
}

// A page written as it arrives holds exactly the page once settled, whether
// more bytes than the page were written before its end was known, or fewer;
// a page not settled and committed leaves nothing.
TEST(TemporaryNames, APageWriterEndsWithExactlyThePage) {
    TempDir dir;
    std::string target = dir.write("page.html", "before");
    const std::string page(700 * 1024, 'p');
    for (std::size_t written : {std::size_t{0}, std::size_t{1000}, page.size(), page.size() + 300 * 1024}) {
        PageWriter writer(target);
        std::string arrived = page + std::string(300 * 1024, 'e');
        writer.append(std::string_view(arrived).substr(0, written));
        writer.settle(page);
        EXPECT_EQ(writer.size(), static_cast<std::int64_t>(page.size())) << written;
        EXPECT_FALSE(writer.failure());
        EXPECT_TRUE(writer.readBack() == page) << written;
        if (written == page.size() + 300 * 1024) writer.file().commit();
    }
    EXPECT_TRUE(dir.read("page.html") == page);
    EXPECT_EQ(tree(dir.path()), std::vector<std::string>{"page.html"});
}

TEST(TemporaryNames, LeftoversAreRecognisedOnlyForTheirOwnPage) {
    EXPECT_TRUE(isTemporaryNameOf("tiddly-a.html.saving-0123456789ab", "tiddly-a.html"));
    EXPECT_FALSE(isTemporaryNameOf("tiddly-a.html", "tiddly-a.html"));
    EXPECT_FALSE(isTemporaryNameOf("tiddly-a.html.saving-0123456789a", "tiddly-a.html"));
    EXPECT_FALSE(isTemporaryNameOf("tiddly-a.html.saving-0123456789abc", "tiddly-a.html"));
    EXPECT_FALSE(isTemporaryNameOf("tiddly-a.html.saving-0123456789AB", "tiddly-a.html"));
    EXPECT_FALSE(isTemporaryNameOf("tiddly-ab.html.saving-0123456789ab", "tiddly-a.html"));
    EXPECT_FALSE(isTemporaryNameOf("x.tiddly-a.html.saving-0123456789ab", "tiddly-a.html"));
    for (const char* name : {"a.html.saving-0123456789ab", "php-in.saving-ffffffffffff", "x.saving-000000000000"})
        EXPECT_TRUE(isTemporarySaveName(name)) << name;
    for (const char* name : {".saving-0123456789ab", "a.html.saving-0123456789a", "a.html.saving-0123456789abc",
                             "a.html", "a.html.saving-0123456789ag"})
        EXPECT_FALSE(isTemporarySaveName(name)) << name;
    EXPECT_EQ(isTemporarySaveName("A.HTML.SAVING-0123456789AB"), platform::windowsFileNames);
}

// Leftovers of any page go once they are older than the server; a newer
// one may be another server's save under way.
TEST(TemporaryNames, LeftoversOlderThanTheServerAreRemovedWhateverThePage) {
    TempDir dir;
    for (const char* name : {"index.html.saving-0123456789ab", "other.html.saving-ffffffffffff", "keep.html",
                             "keep.html.saving-0123", "keep.html.saving-0123456789AB"})
        dir.write(name, "partial");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::int64_t started = platform::fileClockNow();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dir.write("new.html.saving-00000000000a", "a save under way");
    removeLeftovers(dir.path(), started);
    std::vector<std::string> kept = {"keep.html", "keep.html.saving-0123", "new.html.saving-00000000000a"};
    // Windows ignores letter case: the upper-case name is a temporary name there.
    if (!platform::windowsFileNames) kept.insert(kept.begin() + 2, "keep.html.saving-0123456789AB");
    EXPECT_EQ(tree(dir.path()), kept);
}

TEST(TemporaryNames, ALinkToTheFileAlreadyAtItsTargetLeavesNoSecondName) {
    TempDir dir;
    dir.write("page.html", "page");
    fs::create_hard_link(dir.path() + "/page.html", dir.path() + "/backup.html");
    {
        TemporaryLink link(dir.path() + "/page.html", dir.path() + "/backup.html");
        link.commit();
    }
    EXPECT_EQ(tree(dir.path()), (std::vector<std::string>{"backup.html", "page.html"}));
}
