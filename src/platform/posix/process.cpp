// Processes and jobs on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
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

// Longest wait for a job's processes to be gone once they have been sent SIGKILL.
constexpr DWORD kJobEndMilliseconds = 2000;

// Our children that no open process handle stands for: what the kernel re-parented to
// us (the subreaper, or PID 1), with whether each has ended already. Read from /proc;
// nothing where it is not mounted.
struct Orphan {
    pid_t pid;
    bool ended;
};

bool IsHeldLocked(pid_t pid) {
    assert(HandlesLock.HeldHere());
    return std::any_of(Handles().begin(), Handles().end(), [pid](const auto& item) {
        const HandleEntry& entry = item.second;
        return entry.kind == HandleKind::kProcess && !entry.closed && !entry.reaped &&
               entry.pid == pid;
    });
}

void FindOrphansLocked(std::vector<Orphan>& orphans) {
    assert(HandlesLock.HeldHere());
    DIR* folder = opendir("/proc");
    if (folder == nullptr) return;
    const pid_t self = getpid();
    while (const dirent* item = readdir(folder)) {
        char* end = nullptr;
        const long pid = std::strtol(item->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        char path[64];
        (void)std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char text[512];
        const ssize_t got = read(fd, text, sizeof text - 1);
        close(fd);
        if (got <= 0) continue;
        text[got] = '\0';
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        const char* last = std::strrchr(text, ')');
        if (last == nullptr || last[1] != ' ' || last[2] == '\0' || last[3] != ' ') continue;
        const char state = last[2];
        const long parent = std::strtol(last + 4, &end, 10);
        if (end == last + 4 || parent != self || IsHeldLocked(static_cast<pid_t>(pid))) continue;
        orphans.push_back(Orphan{static_cast<pid_t>(pid), state == 'Z' || state == 'X'});
    }
    closedir(folder);
}

// One pass of a job's end: SIGKILL to the leader and its group while the leader is
// unreaped, and to every orphan of ours; an orphan that has ended is reaped. `ending`
// gets a descriptor for each process sent the signal that becomes readable once it has
// ended (its pidfd); `unwatched` says that some could not get one. The lock keeps the
// reaper out, so no number signalled here can have been reused.
void EndJobPassLocked(const HandleEntry& job, std::vector<int>& ending, bool& unwatched) {
    assert(HandlesLock.HeldHere());
    const auto watch = [&](pid_t pid) {
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd >= 0) {
            ending.push_back(fd);
        } else {
            unwatched = true;
        }
    };
    HandleEntry* leader = job.pid != 0 ? FindLocked(job.leader, HandleKind::kProcess) : nullptr;
    if (leader != nullptr && !leader->reaped) {
        (void)kill(-job.pid, SIGKILL);
        if (!PeekEndedLocked(*leader)) {
            (void)kill(job.pid, SIGKILL);
            watch(job.pid);
        }
    }
    std::vector<Orphan> orphans;
    FindOrphansLocked(orphans);
    for (const Orphan& orphan : orphans) {
        if (orphan.ended) {
            (void)waitpid(orphan.pid, nullptr, WNOHANG);
            continue;
        }
        if (kill(orphan.pid, SIGKILL) == 0) watch(orphan.pid);
    }
}

// Waits until every descriptor of `ending` is readable, or the deadline; with
// `unwatched`, a short pause instead, after which the next pass looks again. False at the
// deadline.
bool AwaitEnds(const std::vector<int>& ending, bool unwatched, std::uint64_t deadline) {
    constexpr int kUnwatchedPauseMilliseconds = 10;
    std::vector<pollfd> waits;
    waits.reserve(ending.size());
    for (const int fd : ending) waits.push_back(pollfd{fd, POLLIN, 0});
    std::size_t left = waits.size();
    while (left > 0 || unwatched) {
        const std::uint64_t now = GetTickCount64();
        if (now >= deadline) return false;
        int timeout = static_cast<int>(deadline - now);
        if (unwatched) timeout = std::min(timeout, kUnwatchedPauseMilliseconds);
        const int ready = poll(waits.data(), waits.size(), timeout);
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0 && unwatched) return true;
        for (pollfd& wait : waits) {
            if (wait.fd >= 0 && wait.revents != 0) {
                wait.fd = -1;  // poll skips negative descriptors
                --left;
            }
        }
        if (left == 0) return true;
    }
    return true;
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

void ReapChildren() {
    std::lock_guard spawning(SpawnLock);
    std::lock_guard lock(HandlesLock);
    for (;;) {
        siginfo_t info{};
        if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0) return;
        // A child of a process handle keeps its exit code there; any other one (what
        // the kernel re-parented to us) is only reaped.
        for (auto& [value, entry] : Handles()) {
            if (entry.kind != HandleKind::kProcess || entry.reaped || entry.pid != info.si_pid) {
                continue;
            }
            entry.ended = true;
            entry.reaped = true;
            entry.exitCode = ExitCodeOf(info);
        }
    }
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
    std::unique_lock spawning(posix::SpawnLock, std::defer_lock);
    if (result == 0) {
        spawning.lock();
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
    // The process itself, wherever it moved, and the group it leads. It is not reaped
    // yet (the lock keeps the reaper out), so neither number can have been reused.
    (void)kill(-entry->pid, SIGKILL);
    if (kill(entry->pid, SIGKILL) != 0) return FailWith(errno);
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
    // What the job's processes leave orphaned comes to us instead of to PID 1, so that it
    // stays within reach of the job (and is reaped by us). Without it (a kernel before
    // 3.4) the job is the group alone.
    static std::once_flag once;
    std::call_once(once, [] { (void)prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); });
    return AddHandle(HandleEntry{HandleKind::kJob});
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
    std::lock_guard lock(HandlesLock);
    HandleEntry* jobEntry = FindLocked(job, HandleKind::kJob);
    const HandleEntry* processEntry = FindLocked(process, HandleKind::kProcess);
    if (jobEntry == nullptr || processEntry == nullptr) return FailWith(EBADF);
    // The server was started as the leader of a group of its own: the group, and what
    // its processes leave to us, is the job.
    jobEntry->pid = processEntry->pid;
    jobEntry->leader = process;
    return 1;
}

BOOL TerminateJobObject(HANDLE job, DWORD) {
    const std::uint64_t deadline = GetTickCount64() + kJobEndMilliseconds;
    for (;;) {
        std::vector<int> ending;
        bool unwatched = false;
        {
            std::lock_guard lock(HandlesLock);
            const HandleEntry* jobEntry = FindLocked(job, HandleKind::kJob);
            if (jobEntry == nullptr) return FailWith(EBADF);
            EndJobPassLocked(*jobEntry, ending, unwatched);
        }
        if (ending.empty() && !unwatched) return 1;
        const bool gone = AwaitEnds(ending, unwatched, deadline);
        for (const int fd : ending) close(fd);
        if (!gone) return FailWith(ETIMEDOUT);
    }
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
