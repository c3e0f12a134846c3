#include "platform/process.h"

#include "platform/errors.h"
#include "platform/unique_fd.h"
#include "platform/windows/win32.h"

#include <algorithm>
#include <memory>
#include <shellapi.h>
#include <vector>

namespace fernhollow::platform {

using win32::narrow;
using win32::wide;

ChildProcess::~ChildProcess() {
    // Nobody waited for it: a child must not outlive its owner unseen, nor
    // anything it started go on in its name.
    kill();
}

// `pid_` holds the child's process handle, `group_` its job object's.
void ChildProcess::reap(int& status) {
    if (group_ > 0) {
        HANDLE job = win32::toHandle(group_);
        ::TerminateJobObject(job, 1);
        ::CloseHandle(job);
        group_ = -1;
    }
    if (pid_ <= 0) return;
    HANDLE process = win32::toHandle(pid_);
    ::WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    pid_ = -1;
    status = static_cast<int>(code);
}

int ChildProcess::wait() {
    if (pid_ > 0) ::WaitForSingleObject(win32::toHandle(pid_), INFINITE);
    int status = 0;
    reap(status);
    return status;
}

bool ChildProcess::waitFor(std::chrono::milliseconds limit) {
    if (pid_ > 0) {
        auto wait = static_cast<DWORD>(std::clamp<long long>(limit.count(), 0, INFINITE - 1));
        if (::WaitForSingleObject(win32::toHandle(pid_), wait) == WAIT_TIMEOUT) return false;
    }
    int status = 0;
    reap(status);
    return true;
}

void ChildProcess::kill() {
    if (pid_ > 0) ::TerminateProcess(win32::toHandle(pid_), 1);
    int status = 0;
    reap(status);
}

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> table;
    wchar_t* block = ::GetEnvironmentStringsW();
    if (block == nullptr) return table;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        std::string text = narrow(entry);
        // Names such as "=C:" (the current folder of each drive) begin with "=".
        auto equals = text.find('=', 1);
        if (equals == std::string::npos) continue;
        table.emplace(text.substr(0, equals), text.substr(equals + 1));
    }
    ::FreeEnvironmentStringsW(block);
    return table;
}

namespace {

// Whether `a` sorts before `b` as Windows sorts environment blocks: by
// UTF-16 code units, letter case ignored.
bool sortsBefore(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
}

// The environment block CreateProcessW takes: "name=value" entries sorted by
// name without regard to case, each ended by a NUL, and one NUL more. The
// "=C:" entries stay in front, where Windows keeps them.
std::wstring environmentBlock(const std::map<std::string, std::string>& environment) {
    std::vector<std::pair<std::wstring, std::wstring>> entries;
    for (const auto& [name, value] : environment) {
        try {
            entries.emplace_back(wide(name), wide(value));
        } catch (const std::exception&) {
            // A variable that is not UTF-8 cannot be passed on; the rest can.
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        bool aDrive = !a.first.empty() && a.first[0] == L'=';
        bool bDrive = !b.first.empty() && b.first[0] == L'=';
        if (aDrive != bDrive) return aDrive;
        return sortsBefore(a.first, b.first);
    });
    std::wstring block;
    for (const auto& [name, value] : entries) {
        block.append(name).append(L"=").append(value);
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// A copy of `handle` that a child may inherit; nothing when there is none.
HANDLE inheritableCopy(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Closes the inheritable copies once the child holds its own.
struct HandleCopies {
    std::vector<HANDLE> handles;
    ~HandleCopies() {
        for (HANDLE handle : handles) ::CloseHandle(handle);
    }
};

} // namespace

ChildProcess spawnProgram(const std::string& program,
                          const std::map<std::string, std::string>& environment,
                          int stdinFd, int stdoutFd) {
    HandleCopies copies;
    HANDLE input = inheritableCopy(win32::toHandle(stdinFd));
    if (input != nullptr) copies.handles.push_back(input);
    HANDLE output = inheritableCopy(win32::toHandle(stdoutFd));
    if (output != nullptr) copies.handles.push_back(output);
    if (input == nullptr || output == nullptr) win32::raiseLastError("DuplicateHandle");
    HANDLE errors = inheritableCopy(::GetStdHandle(STD_ERROR_HANDLE));
    if (errors != nullptr) copies.handles.push_back(errors);

    // Only these handles reach the child: never a socket, nor a file that
    // another request is using.
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &size))
        win32::raiseLastError("InitializeProcThreadAttributeList");
    std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>, decltype(&::DeleteProcThreadAttributeList)>
        attributeOwner(attributes, &::DeleteProcThreadAttributeList);
    if (!::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, copies.handles.data(),
                                     copies.handles.size() * sizeof(HANDLE), nullptr, nullptr))
        win32::raiseLastError("UpdateProcThreadAttribute");

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = errors;
    startup.lpAttributeList = attributes;

    // No application name: a bare program name is looked up as the command
    // line's first word is (the program's folder, the current one, PATH).
    std::wstring commandLine = L"\"" + wide(program) + L"\"";
    std::wstring block = environmentBlock(environment);

    // A job object holds the child and whatever it starts in turn; closing
    // its last handle ends them all, so nothing outlives the server either.
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) win32::raiseLastError("CreateJobObjectW");
    UniqueFd jobOwner(win32::fromHandle(job));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        win32::raiseLastError("SetInformationJobObject");

    // Started suspended, so that it cannot start anything before it is in the job.
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                          CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED, block.data(),
                          nullptr, &startup.StartupInfo, &started))
        win32::raiseLastError("CreateProcessW " + program);
    ChildProcess child(win32::fromHandle(started.hProcess), jobOwner.release());
    UniqueFd thread(win32::fromHandle(started.hThread));
    if (!::AssignProcessToJobObject(job, started.hProcess)) win32::raiseLastError("AssignProcessToJobObject");
    if (::ResumeThread(started.hThread) == static_cast<DWORD>(-1)) win32::raiseLastError("ResumeThread");
    return child;
}

std::vector<std::string> programArguments(int, char**) {
    // The narrow arguments are in the ANSI code page, which cannot hold every
    // name: the wide command line is the true one.
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments == nullptr) win32::raiseLastError("CommandLineToArgvW");
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i) result.push_back(narrow(arguments[i]));
    ::LocalFree(arguments);
    return result;
}

} // namespace fernhollow::platform
