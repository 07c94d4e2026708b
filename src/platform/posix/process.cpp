// Processes and jobs on POSIX.
#include <fcntl.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/command_line.h"
#include "platform/platform.h"
#include "platform/posix/common.h"
#include "platform/posix/handles.h"

// POSIX has the program declare it; glibc's <unistd.h> does too, but only with _GNU_SOURCE.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace platform {

using posix::AcquireDescriptor;
using posix::AddHandle;
using posix::FailWith;
using posix::FindLocked;
using posix::HandleEntry;
using posix::HandleKind;
using posix::Handles;
using posix::HandlesLock;
using posix::ReleaseDescriptor;

namespace {

// A child that died of a signal reports 128 + the signal's number, as shells do.
DWORD ExitCodeOf(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED) return static_cast<DWORD>(info.si_status);
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
        return 128u + static_cast<DWORD>(info.si_status);
    }
    return 1;
}

// Whether the child has ended, without reaping it: a zombie keeps its number and its
// group's number from being reused, so the job can still signal the group safely.
// The caller holds HandlesLock.
bool PeekEndedLocked(HandleEntry& entry) {
    assert(HandlesLock.HeldHere());
    if (entry.ended) return true;
    siginfo_t info{};
    const int result = posix::RetryOnInterrupt([&] {
        return waitid(P_PID, static_cast<id_t>(entry.pid), &info, WEXITED | WNOHANG | WNOWAIT);
    });
    if (result < 0 || info.si_pid == 0) return false;
    entry.ended = true;
    entry.exitCode = ExitCodeOf(info);
    return true;
}

std::string CurrentFolder() {
    std::string folder;
    if (char* cwd = getcwd(nullptr, 0)) {
        folder = cwd;
        std::free(cwd);
    }
    return folder;
}

// The launch folder changes before the program starts, so a relative program path is
// fixed against our own folder first: the program is found where the caller sees it,
// as Windows does.
std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    return CurrentFolder() + "/" + path;
}

bool IsExecutableFile(const std::string& path, bool& exists) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    exists = true;
    return access(path.c_str(), X_OK) == 0;
}

// A name with a "/" is a path; any other is looked for on PATH, as execvp would.
bool FindProgram(const std::string& program, std::string& path, int& error) {
    if (program.empty()) {
        error = ENOENT;
        return false;
    }
    if (program.find('/') != std::string::npos) {
        path = Absolute(program);
        return true;
    }
    const char* searchPath = std::getenv("PATH");
    std::string folders = searchPath != nullptr ? searchPath : "/usr/local/bin:/usr/bin:/bin";
    bool sawFile = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = folders.find(':', start);
        std::string folder = folders.substr(start, colon == std::string::npos ? std::string::npos
                                                                               : colon - start);
        if (folder.empty()) folder.assign(1, '.');
        folder += '/';
        folder += program;
        const std::string candidate = Absolute(folder);
        if (IsExecutableFile(candidate, sawFile)) {
            path = candidate;
            return true;
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    error = sawFile ? EACCES : ENOENT;
    return false;
}

// A Windows environment block ("A=1\0B=2\0\0") as an environment vector.
void ParseEnvironmentBlock(const char* block, std::vector<std::string>& items) {
    for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) items.emplace_back(p);
}

struct EndWatch {
    pid_t pid;
    int fd;  // the watcher's own copy of the descriptor it sets
};

void* WatchForEnd(void* argument) {
    const EndWatch watch = *static_cast<EndWatch*>(argument);
    std::free(argument);
    siginfo_t info{};
    (void)posix::RetryOnInterrupt(
        [&] { return waitid(P_PID, static_cast<id_t>(watch.pid), &info, WEXITED | WNOWAIT); });
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = write(watch.fd, &one, sizeof one);
    close(watch.fd);
    return nullptr;
}

// A descriptor that becomes readable when the child ends, without reaping it: its pidfd,
// or where the kernel (or valgrind) has none, an eventfd that a thread of its own sets.
int ProcessEndDescriptor(pid_t pid) {
    // Through syscall(): Debian 12's C library declares pidfd_open but does not export it.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd >= 0 || errno != ENOSYS) return pidFd;
    const int eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd < 0) return -1;
    auto* watch = static_cast<EndWatch*>(std::malloc(sizeof(EndWatch)));
    const int copy = fcntl(eventFd, F_DUPFD_CLOEXEC, 3);
    int error = watch == nullptr ? ENOMEM : copy < 0 ? errno : 0;
    if (error == 0) {
        *watch = EndWatch{pid, copy};
        error = posix::StartDetachedThread(WatchForEnd, watch);
    }
    if (error != 0) {
        std::free(watch);
        if (copy >= 0) close(copy);
        close(eventFd);
        errno = error;
        return -1;
    }
    return eventFd;
}

}  // namespace

namespace posix {

void ReapOnCloseLocked(HandleEntry& entry) {
    assert(HandlesLock.HeldHere());
    // A child that has ended leaves no zombie; one that still runs stays unreaped (it was
    // never ours to wait for).
    if (!entry.reaped && PeekEndedLocked(entry)) (void)waitpid(entry.pid, nullptr, WNOHANG);
    entry.reaped = true;
}

}  // namespace posix

BOOL CreateProcessA(const char* applicationName, char* commandLine, const SECURITY_ATTRIBUTES*,
                    const SECURITY_ATTRIBUTES*, BOOL, DWORD, void* environment,
                    const char* currentDirectory, const STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* information) {
    if (information == nullptr) return FailWith(EINVAL);
    posix::IgnoreBrokenPipes();

    std::vector<std::string> items;
    if (!SplitCommandLine(commandLine, items)) {
        const bool blank = commandLine == nullptr ||
                           commandLine[std::strspn(commandLine, " \t")] == '\0';
        // Nothing to run is "file not found", as on Windows; an open quotation mark is a
        // command line that cannot be read.
        if (blank && (applicationName == nullptr || applicationName[0] == '\0')) {
            return FailWith(ENOENT);
        }
        if (!blank) return FailWith(EINVAL);
    }
    std::string program = items.empty() ? std::string() : items[0];
    if (applicationName != nullptr && applicationName[0] != '\0') program = applicationName;
    if (items.empty()) items.push_back(program);

    std::string path;
    int error = 0;
    if (!FindProgram(program, path, error)) return FailWith(error);

    // Outside the block below: envp points into these strings until posix_spawn is done.
    // cppcheck-suppress variableScope ; see above
    std::vector<std::string> environmentItems;
    std::vector<char*> envp;
    char** childEnvironment = environ;
    if (environment != nullptr) {
        ParseEnvironmentBlock(static_cast<const char*>(environment), environmentItems);
        for (std::string& item : environmentItems) envp.push_back(item.data());
        envp.push_back(nullptr);
        childEnvironment = envp.data();
    }
    std::vector<char*> argv;
    argv.reserve(items.size() + 1);
    for (std::string& item : items) argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);

    // The standard handles: held (so no other thread can close them under us) until
    // the child has its copies.
    HANDLE held[3] = {nullptr, nullptr, nullptr};
    int spare[3] = {-1, -1, -1};
    int result = 0;
    if (startupInfo != nullptr && (startupInfo->dwFlags & kStartfUseStdHandles) != 0) {
        const HANDLE wanted[3] = {startupInfo->hStdInput, startupInfo->hStdOutput,
                                  startupInfo->hStdError};
        for (int slot = 0; slot < 3 && result == 0; ++slot) {
            if (wanted[slot] == nullptr) {
                result = posix_spawn_file_actions_addopen(&actions, slot, "/dev/null", O_RDWR, 0);
                continue;
            }
            int fd = -1;
            if (!AcquireDescriptor(wanted[slot], fd)) {
                result = EBADF;
                break;
            }
            held[slot] = wanted[slot];
            // A source among 0..2 could be overwritten by an earlier slot's dup2; a copy
            // above them cannot.
            if (fd < 3) {
                spare[slot] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
                if (spare[slot] < 0) {
                    result = errno;
                    break;
                }
                fd = spare[slot];
            }
            result = posix_spawn_file_actions_adddup2(&actions, fd, slot);
        }
    }
    // Nothing but the three standard descriptors reaches the server.
    if (result == 0) result = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (result == 0 && currentDirectory != nullptr && currentDirectory[0] != '\0') {
        result = posix_spawn_file_actions_addchdir_np(&actions, currentDirectory);
    }
    // Its own process group, so that Ctrl-C in our terminal reaches only us. Ignored
    // signals and the signal mask survive exec, so both are set here, as systemd sets
    // them for a service: nothing blocked, every signal at its default but SIGPIPE, which
    // stays ignored (we ignore it). A server that outlives us (a stop with no timeout)
    // then sees a failed write once nobody reads its output, instead of being killed by
    // the first line it prints while it saves.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGPIPE);
    if (result == 0) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                  POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
    }
    // glibc's posix_spawn reports a failed chdir or exec in the child as its own result,
    // so a program that cannot be started is a failed call, not a child that exits.
    pid_t pid = 0;
    if (result == 0) {
        result = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(),
                             childEnvironment);
    }

    for (int slot = 0; slot < 3; ++slot) {
        if (spare[slot] >= 0) close(spare[slot]);
        if (held[slot] != nullptr) ReleaseDescriptor(held[slot]);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) return FailWith(result);

    // The server's end is waited for through this descriptor, with the other events.
    const int pidFd = ProcessEndDescriptor(pid);
    if (pidFd < 0) {
        const int openError = errno;
        (void)kill(-pid, SIGKILL);
        (void)waitpid(pid, nullptr, 0);
        return FailWith(openError);
    }
    HandleEntry process{HandleKind::kProcess};
    process.pid = pid;
    process.fd = pidFd;
    information->hProcess = AddHandle(process);
    // A token that stands for the primary thread, so that code written for Windows may
    // close it; it refers to nothing.
    information->hThread = AddHandle(HandleEntry{HandleKind::kToken});
    information->dwProcessId = static_cast<DWORD>(pid);
    information->dwThreadId = static_cast<DWORD>(pid);
    return 1;
}

BOOL TerminateProcess(HANDLE process, DWORD) {
    std::lock_guard lock(HandlesLock);
    HandleEntry* entry = FindLocked(process, HandleKind::kProcess);
    if (entry == nullptr) return FailWith(EBADF);
    if (PeekEndedLocked(*entry)) return FailWith(ESRCH);
    // The whole group, so that whatever the server started goes with it. The child is
    // not reaped yet, so neither its number nor its group can have been reused.
    if (kill(-entry->pid, SIGKILL) != 0 && kill(entry->pid, SIGKILL) != 0) return FailWith(errno);
    return 1;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    if (exitCode == nullptr) return FailWith(EINVAL);
    std::lock_guard lock(HandlesLock);
    HandleEntry* entry = FindLocked(process, HandleKind::kProcess);
    if (entry == nullptr) return FailWith(EBADF);
    *exitCode = PeekEndedLocked(*entry) ? entry->exitCode : kStillActive;
    return 1;
}

HANDLE CreateJobObjectA(const SECURITY_ATTRIBUTES*, const char*) {
    return AddHandle(HandleEntry{HandleKind::kJob});
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
    std::lock_guard lock(HandlesLock);
    HandleEntry* jobEntry = FindLocked(job, HandleKind::kJob);
    const HandleEntry* processEntry = FindLocked(process, HandleKind::kProcess);
    if (jobEntry == nullptr || processEntry == nullptr) return FailWith(EBADF);
    // The server was started as the leader of a group of its own: the group is the job.
    jobEntry->pid = processEntry->pid;
    jobEntry->leader = process;
    return 1;
}

BOOL TerminateJobObject(HANDLE job, DWORD) {
    std::lock_guard lock(HandlesLock);
    const HandleEntry* jobEntry = FindLocked(job, HandleKind::kJob);
    if (jobEntry == nullptr) return FailWith(EBADF);
    // Only while the leader is unreaped (its handle open) is the group's number surely
    // still this group's; after that there is nothing of ours left to reach.
    if (jobEntry->pid == 0 || FindLocked(jobEntry->leader, HandleKind::kProcess) == nullptr) {
        return 1;
    }
    if (kill(-jobEntry->pid, SIGKILL) != 0 && errno != ESRCH) return FailWith(errno);
    return 1;
}

DWORD ResumeThread(HANDLE thread) {
    std::lock_guard lock(HandlesLock);
    if (FindLocked(thread, HandleKind::kToken) == nullptr) {
        FailWith(EBADF);
        return kResumeFailed;
    }
    return 0;
}

}  // namespace platform
