#include "support/blackbox.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef FERNHOLLOW_BINARY
#error "FERNHOLLOW_BINARY must name the binary under test"
#endif

namespace fernhollow::testing {

namespace fs = std::filesystem;
using namespace std::chrono;

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where);
    socklen_t size = sizeof where;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size);
    ::close(fd);
    return ntohs(where.sin_port);
}

namespace {

// In a forked child: becomes the program of `argvStrings` (its path first),
// or ends with status 127 when it cannot.
[[noreturn]] void execBinary(std::vector<std::string>& argvStrings) {
    std::vector<char*> argv;
    for (auto& text : argvStrings) argv.push_back(text.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

ServerProcess::ServerProcess(std::vector<std::string> args, const std::string& workDir, bool choosePort,
                             bool waitListening, int descriptorLimit) {
    bool hasPort = false;
    for (const auto& arg : args) hasPort = hasPort || arg == "--port";
    if (choosePort && !hasPort) {
        port_ = freePort();
        args.push_back("--port");
        args.push_back(std::to_string(port_));
    }
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    errPath_ = workDir + "/.fernhollow-stderr";
    std::vector<std::string> argvStrings{FERNHOLLOW_BINARY};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        ::close(out[0]);
        if (::chdir(workDir.c_str()) != 0) ::_exit(127);
        if (descriptorLimit > 0) {
            rlimit limit{static_cast<rlim_t>(descriptorLimit), static_cast<rlim_t>(descriptorLimit)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        execBinary(argvStrings);
    }
    ::close(out[1]);
    outFd_ = out[0];
    ::fcntl(outFd_, F_SETFL, ::fcntl(outFd_, F_GETFL) | O_NONBLOCK);
    if (waitListening && !waitForOutput("for incoming connections"))
        throw std::runtime_error("server did not start; output so far:\n" + output_ + errors());
}

ServerProcess::~ServerProcess() {
    if (status_ < 0 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) ::close(outFd_);
}

void ServerProcess::drain(int timeoutMs) {
    pollfd entry{outFd_, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) return;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(outFd_, buffer, sizeof buffer);
        if (n <= 0) return;
        output_.append(buffer, static_cast<std::size_t>(n));
    }
}

const std::string& ServerProcess::output() {
    drain(0);
    return output_;
}

bool ServerProcess::waitForOutput(std::string_view text, milliseconds limit, std::size_t from) {
    auto deadline = steady_clock::now() + limit;
    for (;;) {
        drain(0);
        if (output_.size() >= from && output_.find(text, from) != std::string::npos) return true;
        if (steady_clock::now() >= deadline) return false;
        drain(20);
    }
}

int ServerProcess::waitExit(milliseconds limit) {
    auto deadline = steady_clock::now() + limit;
    while (status_ < 0) {
        int raw = 0;
        pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (steady_clock::now() >= deadline) return -1;
        drain(20);
    }
    drain(0);
    return status_;
}

std::string ServerProcess::errors() const {
    try {
        return readFile(errPath_);
    } catch (const std::exception&) {
        return "";
    }
}

void ServerProcess::kill() {
    ::kill(pid_, SIGKILL);
    waitExit();
}

RawClient::RawClient(int port) : RawClient(port, 0, std::string()) {}

RawClient::RawClient(int port, int receiveBuffer) : RawClient(port, receiveBuffer, std::string()) {}

RawClient::RawClient(int port, const std::string& from) : RawClient(port, 0, from) {}

RawClient::RawClient(int port, int receiveBuffer, const std::string& from) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (!from.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &source.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
            std::string reason = std::strerror(errno);
            ::close(fd_);
            throw std::runtime_error("bind to " + from + " failed: " + reason);
        }
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        std::string reason = std::strerror(errno);
        ::close(fd_);
        throw std::runtime_error("connect failed: " + reason);
    }
}

RawClient::~RawClient() { close(); }

void RawClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string RawClient::readAll(milliseconds limit) {
    std::string received;
    auto deadline = steady_clock::now() + limit;
    char buffer[65536];
    for (;;) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) return received;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) return received;
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) return received;
        received.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string RawClient::readFor(milliseconds limit) {
    return readAll(limit);
}

bool RawClient::closedByServer(milliseconds limit) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) <= 0) return false;
    char byte;
    return ::recv(fd_, &byte, 1, MSG_PEEK) <= 0;
}

bool RawClient::readSome(std::string& received, milliseconds wait) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0) return true;
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    received.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::string RawClient::readExactly(std::size_t count, milliseconds limit) {
    std::string received;
    auto deadline = steady_clock::now() + limit;
    while (received.size() < count) {
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) break;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) break;
        char buffer[65536];
        std::size_t wanted = std::min(sizeof buffer, count - received.size());
        ssize_t n = ::recv(fd_, buffer, wanted, 0);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    return received;
}

std::string RawClient::readNow(bool& closed) {
    std::string received;
    closed = false;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        return received;
    }
}

void RawClient::shutdownWrite() {
    ::shutdown(fd_, SHUT_WR);
}

void RawClient::noDelay() {
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void RawClient::reset() {
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close();
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

long raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) throw std::runtime_error("getrlimit failed");
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) throw std::runtime_error("setrlimit failed");
    }
    return static_cast<long>(limit.rlim_cur);
}

std::string withoutEtag(std::string answer, std::string* etag) {
    if (etag != nullptr) etag->clear();
    std::size_t headEnd = answer.find("\r\n\r\n");
    std::size_t at = answer.find("\r\nETag: ");
    if (at == std::string::npos || at >= headEnd) return answer;
    std::size_t end = answer.find("\r\n", at + 2);
    if (etag != nullptr) *etag = answer.substr(at + 8, end - at - 8);
    return answer.erase(at, end - at);
}

std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().filename() != ".fernhollow-stderr")
            files[std::filesystem::relative(entry.path(), folder).generic_string()] = readFile(entry.path().string());
    return files;
}

std::string putRequest(const std::string& target, const std::string& page, const std::string& more) {
    return "PUT " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more +
           "Content-Type: text/html;charset=UTF-8\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
}

std::string uploadBody(const std::string& options, const std::string& fileName, const std::string& page,
                       std::size_t announced) {
    const std::string& B = uploadBoundary;
    return "--" + B + "\r\nContent-disposition: form-data; name=\"UploadPlugin\"\r\n\r\n" + options + "\r\n\r\n--" +
           B + "\r\nContent-disposition: form-data; name=\"userfile\"; filename=\"" + fileName +
           "\"\r\nContent-Type: text/html;charset=UTF-8\r\nContent-Length: " + std::to_string(announced) +
           "\r\n\r\n" + page + "\r\n--" + B + "--\r\n";
}

std::string uploadRequest(const std::string& body, const std::string& contentType, const std::string& moreHead) {
    return "POST /savetiddly HTTP/1.1\r\nHost: 127.0.0.1\r\n" + moreHead + "Content-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string headTag(int port, const std::string& target) {
    std::string etag;
    withoutEtag(fernhollow::testing::exchange(port, "HEAD " + target + " HTTP/1.1\r\n\r\n"), &etag);
    return etag;
}

double cpuSeconds(int pid) {
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The name in parentheses may hold blanks: the fields are counted after it.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    // After the name come state (3) ... utime (14) and stime (15).
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) user = std::stoull(field);
        if (number == 15) system = std::stoull(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string runBinary(const std::vector<std::string>& args, const std::string& workDir, const std::string& input,
                      int& status) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argvStrings{FERNHOLLOW_BINARY};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::close(in[1]);
        ::close(out[0]);
        if (::chdir(workDir.c_str()) != 0) ::_exit(127);
        execBinary(argvStrings);
    }
    ::close(in[0]);
    ::close(out[1]);
    // Small enough for the pipe: written whole before anything is read.
    std::string_view rest = input;
    while (!rest.empty()) {
        ssize_t n = ::write(in[1], rest.data(), rest.size());
        if (n <= 0) break;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(in[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

std::string exchange(int port, std::string_view request, milliseconds limit) {
    RawClient client(port);
    client.send(request);
    return client.readAll(limit);
}

} // namespace fernhollow::testing
