#include "platform/process.h"

#include "platform/errors.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fernhollow::platform {

ChildProcess::~ChildProcess() {
    // Nobody waited for it: a child must neither outlive its owner unseen nor
    // be left a zombie, and nothing it started may go on in its name.
    kill();
}

namespace {

// Whether child `pid` has ended, without reaping it: while it stays a zombie
// its id, and so its group's id, cannot be given to another process.
bool hasEnded(int pid, bool block) {
    for (;;) {
        siginfo_t info{};
        int options = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, options) == 0) return info.si_pid == pid;
        // ECHILD: already reaped, or never ours; either way nothing is left to wait for.
        if (errno != EINTR) return true;
    }
}

} // namespace

void ChildProcess::reap(int& status) {
    // The rest of the group goes while its leader is still unreaped, so the
    // group's id still names it and no stranger's.
    if (group_ > 0) ::kill(-group_, SIGKILL);
    group_ = -1;
    while (pid_ > 0) {
        if (::waitpid(pid_, &status, 0) >= 0 || errno != EINTR) pid_ = -1;
    }
}

int ChildProcess::wait() {
    int status = 0;
    if (pid_ > 0) hasEnded(pid_, true);
    reap(status);
    return status;
}

namespace {

// A descriptor that becomes readable when process `pid` ends; -1 where the
// system has none (kernels before 5.3).
int openProcessDescriptor(int pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

} // namespace

bool ChildProcess::waitFor(std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + limit;
    UniqueFd ending;
    bool opened = false;
    while (pid_ > 0 && !hasEnded(pid_, false)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        // Opened only to sleep on: the loop asks with no time at all, often.
        if (!opened) ending.reset(openProcessDescriptor(pid_));
        opened = true;
        if (ending) {
            // Sleeps until the child ends or the time is up; EINTR just loops.
            pollfd entry{ending.get(), POLLIN, 0};
            ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
        } else {
            // Without a process descriptor, look again every 10 ms.
            timespec pause{0, 10'000'000};
            ::nanosleep(&pause, nullptr);
        }
    }
    int status = 0;
    reap(status);
    return true;
}

void ChildProcess::kill() {
    // Signalled on its own too, in case it left its group; a zombie takes no harm.
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    int status = 0;
    reap(status);
}

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> table;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals == std::string::npos) continue;
        table.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    return table;
}

ChildProcess spawnProgram(const std::string& program,
                          const std::map<std::string, std::string>& environment,
                          int stdinFd, int stdoutFd) {
    std::vector<std::string> entries;
    entries.reserve(environment.size());
    for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string argv0 = program;
    char* argv[] = {argv0.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    // The server ignores SIGPIPE for its sockets and SIGXFSZ for its saves;
    // the child starts with the defaults.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A group of its own, led by the child, holds whatever it starts in turn.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    int failed = ::posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv, envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        errno = failed;
        raiseErrno("posix_spawnp " + program);
    }
    return ChildProcess(pid, pid);
}

std::vector<std::string> programArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

} // namespace fernhollow::platform
