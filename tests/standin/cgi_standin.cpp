// A stand-in for the script interpreter where the real one cannot run (the
// Windows server under Wine cannot start Linux programs): it answers every
// request with a plain page listing the CGI variables it was given and the
// request body it read from standard input, byte for byte.
//
// With the query "hang" it never ends (for ten minutes). With "sockets" it
// answers only how many sockets it inherited, which must be none.
// "--hold PATH SECONDS" instead keeps PATH open for that long, shared with no
// one on Windows, as an editor or a virus scanner may: a save must then fail
// cleanly. (Under Wine it also keeps Wine's helper processes running.)
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#endif

namespace {

// The variable's value, or "-" when it is not set.
std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "-" : value;
}

} // namespace

// Keeps `path` open for `seconds`; false when it cannot be opened.
bool hold(const std::string& path, int seconds) {
#ifdef _WIN32
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ::CloseHandle(file);
#else
    std::ifstream file(path);
    if (!file) return false;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
#endif
    return true;
}

// How many sockets this process holds: on Windows every handle value that
// Winsock takes for a socket, on POSIX every descriptor that is one.
int inheritedSockets() {
    int count = 0;
#ifdef _WIN32
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    for (std::uintptr_t value = 4; value < 65536; value += 4) {
        int type = 0;
        int size = sizeof type;
        if (::getsockopt(static_cast<SOCKET>(value), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0)
            ++count;
    }
#else
    for (int fd = 0; fd < 4096; ++fd) {
        struct stat info{};
        if (::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode)) ++count;
    }
#endif
    return count;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--hold") {
        std::puts("holding");
        std::fflush(stdout);
        return hold(argv[2], std::atoi(argv[3])) ? 0 : 1;
    }
#ifdef _WIN32
    // The bytes pass unchanged: no CR is added or taken away.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::string body;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, stdin)) body.append(buffer, n);
    std::string page = "Content-Type: text/plain\r\n\r\n";
    if (variable("QUERY_STRING") == "sockets") {
        page += "sockets=" + std::to_string(inheritedSockets());
        std::fwrite(page.data(), 1, page.size(), stdout);
        return 0;
    }
    for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "SCRIPT_NAME", "SCRIPT_FILENAME", "HTTP_COOKIE",
                             "CONTENT_LENGTH", "REMOTE_ADDR", "DOCUMENT_ROOT"})
        page += std::string(name) + "=" + variable(name) + ";";
    page += "body=" + body;
    std::fwrite(page.data(), 1, page.size(), stdout);
    // A script that never ends, for the server's time-out.
    if (variable("QUERY_STRING") == "hang") {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::minutes(10));
    }
    return 0;
}
