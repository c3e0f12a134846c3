// Child processes: starting a program with chosen standard streams and
// environment, and an owner that always reaps it (ending it first when its
// owner goes away before it has been waited for). Each program started here
// leads a group of its own (a process group on POSIX, a job object on
// Windows) that holds every process it starts in turn, so that nothing it
// left running outlives its owner.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace fernhollow::platform {

class ChildProcess {
public:
    ChildProcess() = default;
    // Owns the child `pid` and its group `group` (-1: none).
    explicit ChildProcess(int pid, int group = -1) : pid_(pid), group_(group) {}
    ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), group_(other.group_) {
        other.pid_ = -1;
        other.group_ = -1;
    }
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ~ChildProcess();

    // Waits for the child to end; returns its raw wait status. Whatever is
    // left of its group is ended then.
    int wait();
    // Waits at most `limit` for the child to end; true when it ended (whatever
    // is left of its group was ended and the child reaped), false when it is
    // still running.
    bool waitFor(std::chrono::milliseconds limit);
    // Ends the child and everything of its group at once, and reaps the child.
    void kill();

private:
    // Ends the rest of the group and reaps the child, which has ended or been
    // signalled; `status` gets its wait status.
    void reap(int& status);
    int pid_ = -1;
    // The process group's id on POSIX, the job object's handle on Windows.
    int group_ = -1;
};

// The process's own environment as a name -> value table.
std::map<std::string, std::string> currentEnvironment();
// Starts `program` (looked up in PATH when it holds no "/") with no arguments
// but its name, the given environment, and `stdinFd`/`stdoutFd` as its
// standard input and output; standard error is shared. Raises when the program
// cannot be started. The program leads a new group of its own.
ChildProcess spawnProgram(const std::string& program,
                          const std::map<std::string, std::string>& environment,
                          int stdinFd, int stdoutFd);

// The program's arguments as UTF-8, the program's path first.
std::vector<std::string> programArguments(int argc, char** argv);

} // namespace fernhollow::platform
