// A stand-in for the script interpreter where the real one cannot run (the
// Windows server under Wine cannot start Linux programs): it answers every
// request with a plain page listing the CGI variables it was given and the
// request body it read from standard input, byte for byte.
//
// With the query "hang" it never ends (for ten minutes). With "sockets" it
// answers only how many sockets it inherited, which must be none. With
// "child" it first starts a copy of itself that outlives it unless ended:
// after a second the copy writes "INJECTED" to the standard output it shares
// and creates the file "survived.txt"; "child-hang" does the same after four
// seconds and never ends itself. With "slow" it answers after two seconds. With "big=N" it
// answers N MiB of "x" behind a text head.
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
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;
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

// Starts `self` again as "--late SECONDS", sharing this process's standard
// streams, and does not wait for it.
bool startLateCopy(const char* self, const std::string& seconds) {
#ifdef _WIN32
    (void)self;
    char path[MAX_PATH];
    if (::GetModuleFileNameA(nullptr, path, MAX_PATH) == 0) return false;
    std::string commandLine = "\"";
    commandLine.append(path).append("\" --late ").append(seconds);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessA(path, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
        return false;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return true;
#else
    pid_t pid = 0;
    std::string late = "--late", wait = seconds;
    char* arguments[] = {const_cast<char*>(self), late.data(), wait.data(), nullptr};
    return ::posix_spawn(&pid, self, nullptr, nullptr, arguments, environ) == 0;
#endif
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--late") {
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[2])));
        std::fputs("INJECTED", stdout);
        std::fflush(stdout);
        std::ofstream("survived.txt") << "survived";
        return 0;
    }
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
    std::string query = variable("QUERY_STRING");
    if (query.rfind("big=", 0) == 0) {
        std::fwrite(page.data(), 1, page.size(), stdout);
        std::string mebibyte(1 << 20, 'x');
        for (long i = std::atol(query.c_str() + 4); i > 0; --i) std::fwrite(mebibyte.data(), 1, mebibyte.size(), stdout);
        return 0;
    }
    if ((query == "child" || query == "child-hang") && !startLateCopy(argv[0], query == "child" ? "1" : "4")) return 2;
    if (query == "slow") std::this_thread::sleep_for(std::chrono::seconds(2));
    if (query == "sockets") {
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
    if (query == "hang" || query == "child-hang") {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::minutes(10));
    }
    return 0;
}
