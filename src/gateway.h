// The script gateway: a ".php" request handed to the CGI interpreter named by
// "php-path", and the interpreter's output turned into the HTTP answer. The
// pure parts live here so that they can be tested without a child process.
#pragma once

#include "platform/paths.h"

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
};

// What the console says when a script is requested but no interpreter is set.
inline constexpr std::string_view missingPhpPathMessage =
    "Missing PHP path - add php-path to the config file or use --php-path <php-cgi interpreter> on the command line";

// The exchange files, in the working directory: the request body goes in
// through the first, the interpreter's answer comes back through the second.
inline const std::string phpInPath = std::string(".") + platform::pathSeparator + "php-in";
inline const std::string phpOutPath = std::string(".") + platform::pathSeparator + "php-out";

// Whether `path` names one of the exchange files (by file identity, so any
// spelling of the working directory counts).
bool isExchangeFile(const std::string& path);
// The script path as handed to the interpreter: `fileName` itself, or, when
// it holds a ".." segment, the same file with its folder resolved (the
// interpreter refuses such paths); unchanged when the folder does not exist.
std::string interpreterScriptPath(const std::string& fileName);

// The script part of a request target: the text before its first "?", unless
// that is empty, in which case the target unchanged.
std::string scriptName(std::string_view url);
// The script's file: the root followed by the path, doubled slashes reduced in one pass.
std::string scriptFileName(std::string_view root, std::string_view path);
// The peer's address: its "address:port" text cut at the first ":".
std::string remoteAddress(std::string_view peer);
// The CGI variables for one request (cookie, content type and length from the
// head, then the thirteen fixed ones).
CgiEnvironment buildCgiEnvironment(const CgiRequest& request);
// The HTTP answer for an interpreter output: a recognised "Status:" line
// becomes the status line with the Location and other header lines behind it;
// any other output passes whole behind "HTTP/1.1 200 OK\r\n".
CgiAnswer translateCgiOutput(std::string_view output);

} // namespace fernhollow
