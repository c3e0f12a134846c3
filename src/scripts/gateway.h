// The script gateway: a ".php" request handed to the CGI interpreter named by
// "php-path", and the interpreter's output turned into the HTTP answer. The
// pure parts live here so that they can be tested without a child process.
#pragma once

#include "base/exchange.h"
#include "platform/paths.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fernhollow {

// Everything a CGI environment is built from: the request and the settings.
struct CgiRequest {
    std::string method;
    std::string url;
    std::vector<std::string> headLines;
    std::string path;
    std::string query;
    std::string root;
    std::string port;
    std::string ip;
    std::string peerAddress;
};

// The variables handed to the interpreter, and the console lines that the
// header scan writes, in the order they happen.
struct CgiEnvironment {
    std::map<std::string, std::string> variables;
    std::vector<std::string> messages;
};

// The answer made from the interpreter's output, and the console lines of
// its translation, in order.
struct CgiAnswer {
    std::string response;
    std::vector<std::string> messages;
    // Whether the response is the output whole behind the 200 line (no
    // recognised "Status:" line), so that any output beyond the head
    // translated follows it unchanged.
    bool passesOutput = false;
};

// The status line of an output that passes whole, with no "Status:" line recognised.
inline constexpr std::string_view cgiOkStatusLine = "HTTP/1.1 200 OK\r\n";

// What the console says when a script is requested but no interpreter is set.
inline constexpr std::string_view missingPhpPathMessage =
    "Missing PHP path - add php-path to the config file or use --php-path <php-cgi interpreter> on the command line";

// The script path as handed to the interpreter: `fileName` itself, or, when
// it holds a ".." segment, the same file with its folder resolved (the
// interpreter refuses such paths); unchanged when the folder does not exist.
std::string interpreterScriptPath(const std::string& fileName);

// The script part of a request target: the text before its first "?", unless
// that is empty, in which case the target unchanged.
std::string scriptName(std::string_view url);
// The script's file: the root followed by the path, doubled slashes reduced in one pass.
std::string scriptFileName(std::string_view root, std::string_view path);
// The script a request runs: the file of its path, or of the script its
// target names when routing kept no path (a HEAD).
std::string requestScriptFile(std::string_view root, std::string_view path, std::string_view url);
// The peer's address: its "address:port" text cut at the first ":".
std::string remoteAddress(std::string_view peer);
// The CGI variables for one request (cookie, content type and length from the
// head, then the thirteen fixed ones).
CgiEnvironment buildCgiEnvironment(const CgiRequest& request);
// The HTTP answer for an interpreter output: a recognised "Status:" line
// becomes the status line with the Location and other header lines behind it;
// any other output passes whole behind "HTTP/1.1 200 OK\r\n".
CgiAnswer translateCgiOutput(std::string_view output);

// How far the head of an interpreter output is looked for; an output whose
// header block has not ended by then passes whole behind the 200 line.
inline constexpr std::size_t maxCgiHeadBytes = 1024 * 1024;
// The head of a script answer is read in pieces of this size.
inline constexpr std::size_t cgiPieceSize = 64 * 1024;

// How many bytes at the start of an interpreter output are its head, given
// its first bytes `start` (all of it when `complete`): the header block with
// the empty line ending it, a first line "--" with its line end, or the whole
// output when it has no empty line; npos while `start` cannot tell yet.
// translateCgiOutput of the head gives the answer of the whole output, but
// that a passed-through output's rest follows unchanged.
std::size_t cgiHeadSize(std::string_view start, bool complete);

} // namespace fernhollow
