// A stand-in for the script interpreter where the real one cannot run (the
// Windows server under Wine cannot start Linux programs): it answers every
// request with a plain page listing the CGI variables it was given and the
// request body it read from standard input, byte for byte.
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

// The variable's value, or "-" when it is not set.
std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "-" : value;
}

} // namespace

int main() {
#ifdef _WIN32
    // The bytes pass unchanged: no CR is added or taken away.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::string body;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, stdin)) body.append(buffer, n);
    std::string page = "Content-Type: text/plain\r\n\r\n";
    for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "SCRIPT_NAME", "SCRIPT_FILENAME", "HTTP_COOKIE",
                             "CONTENT_LENGTH", "REMOTE_ADDR", "DOCUMENT_ROOT"})
        page += std::string(name) + "=" + variable(name) + ";";
    page += "body=" + body;
    std::fwrite(page.data(), 1, page.size(), stdout);
    return 0;
}
