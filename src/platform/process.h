// Child processes: starting a program with chosen standard streams and
// environment, and an owner that always reaps it (ending it first when its
// owner goes away before it has been waited for).
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace fernhollow::platform {

class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(int pid) : pid_(pid) {}
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess();

    // Waits for the child to end; returns its raw wait status.
    int wait();
    // Waits at most `limit` for the child to end; true when it ended (and
    // was reaped), false when it is still running.
    bool waitFor(std::chrono::milliseconds limit);
    // Ends the child at once and reaps it.
    void kill();

private:
    int pid_ = -1;
};

// The process's own environment as a name -> value table.
std::map<std::string, std::string> currentEnvironment();
// Starts `program` (looked up in PATH when it holds no "/") with no arguments
// but its name, the given environment, and `stdinFd`/`stdoutFd` as its
// standard input and output; standard error is shared. Raises when the program
// cannot be started.
ChildProcess spawnProgram(const std::string& program,
                          const std::map<std::string, std::string>& environment,
                          int stdinFd, int stdoutFd);

// The program's arguments as UTF-8, the program's path first.
std::vector<std::string> programArguments(int argc, char** argv);

} // namespace fernhollow::platform
