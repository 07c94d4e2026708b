// Handles, pipes, processes, threads, the clock and the last error on POSIX.
//
// Handles are entries of our own table, never descriptors: a handle value is never
// reused, so a handle that one thread closed fails with EBADF in every later call of
// another thread instead of reaching whatever descriptor the number names by then.
#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
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
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/command_line.h"
#include "platform/owned_mutex.h"
#include "platform/posix/common.h"
#include "platform/platform.h"

// POSIX has the program declare it; glibc's <unistd.h> does too, but only with _GNU_SOURCE.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace platform {

namespace {

enum class HandleKind { kDescriptor, kProcess, kEvent, kJob, kToken };

struct HandleEntry {
    HandleKind kind;
    int fd = -1;           // kDescriptor, kEvent (an eventfd), kProcess (a pidfd)
    pid_t pid = 0;         // kProcess; kJob: the group's leader, 0 until assigned
    bool ended = false;    // kProcess: the child has ended, exitCode is final
    DWORD exitCode = 0;    // kProcess
    bool manualReset = false;    // kEvent
    HANDLE leader = nullptr;     // kJob: the leader's process handle
    int users = 0;         // calls that use fd right now
    bool closed = false;   // CloseHandle done; fd is closed once users drops to 0
};

platform::OwnedMutex HandlesLock;  // guards the table and NextHandle
std::uintptr_t NextHandle = 0x1000;

// Never destroyed: detached threads may still use handles while the process ends.
std::unordered_map<std::uintptr_t, HandleEntry>& Handles() {
    static auto* table = new std::unordered_map<std::uintptr_t, HandleEntry>();
    return *table;
}

thread_local DWORD ThreadLastError = 0;

HANDLE AddHandle(const HandleEntry& entry) {
    std::lock_guard lock(HandlesLock);
    const std::uintptr_t value = NextHandle;
    NextHandle += 4;
    Handles().emplace(value, entry);
    // A handle is a number of our own table, handed out as the pointer type Win32 uses.
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

HandleEntry* FindLocked(HANDLE handle, HandleKind kind) {
    assert(HandlesLock.HeldHere());
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed || found->second.kind != kind) {
        return nullptr;
    }
    return &found->second;
}

// The descriptor behind an open handle of `kind`, kept open until ReleaseDescriptor even
// when another thread closes the handle meanwhile.
bool AcquireDescriptor(HANDLE handle, int& fd, HandleKind kind = HandleKind::kDescriptor) {
    std::lock_guard lock(HandlesLock);
    HandleEntry* entry = FindLocked(handle, kind);
    if (entry == nullptr || entry->fd < 0) return false;
    ++entry->users;
    fd = entry->fd;
    return true;
}

// The same for what a wait can wait on, an event or a process; `autoReset` for an event
// whose signal a wait takes.
bool AcquireWaitable(HANDLE handle, int& fd, bool& autoReset) {
    std::lock_guard lock(HandlesLock);
    HandleEntry* entry = FindLocked(handle, HandleKind::kEvent);
    if (entry == nullptr) entry = FindLocked(handle, HandleKind::kProcess);
    if (entry == nullptr || entry->fd < 0) return false;
    ++entry->users;
    fd = entry->fd;
    autoReset = entry->kind == HandleKind::kEvent && !entry->manualReset;
    return true;
}

void ReleaseDescriptor(HANDLE handle) {
    std::lock_guard lock(HandlesLock);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end()) return;
    if (--found->second.users == 0 && found->second.closed) {
        close(found->second.fd);
        Handles().erase(found);
    }
}

BOOL FailWith(int error) {
    ThreadLastError = static_cast<DWORD>(error);
    return 0;
}

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

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    void* parameter;
};

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

void* RunThread(void* start) {
    const ThreadStart copy = *static_cast<ThreadStart*>(start);
    std::free(start);
    copy.routine(copy.parameter);
    return nullptr;
}

}  // namespace

BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES*, DWORD) {
    if (readEnd == nullptr || writeEnd == nullptr) return FailWith(EINVAL);
    posix::IgnoreBrokenPipes();
    // Close-on-exec: a server gets its ends only as its standard handles, never by
    // inheriting them, so it holds no copy that would keep a pipe from breaking.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return FailWith(errno);
    HandleEntry entry{HandleKind::kDescriptor};
    entry.fd = fds[0];
    *readEnd = AddHandle(entry);
    entry.fd = fds[1];
    *writeEnd = AddHandle(entry);
    return 1;
}

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

BOOL SetHandleInformation(HANDLE handle, DWORD, DWORD) {
    std::lock_guard lock(HandlesLock);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed) return FailWith(EBADF);
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

HANDLE CreateEventA(const SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState,
                    const char*) {
    const int fd = eventfd(initialState != 0 ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        FailWith(errno);
        return nullptr;
    }
    HandleEntry entry{HandleKind::kEvent};
    entry.fd = fd;
    entry.manualReset = manualReset != 0;
    return AddHandle(entry);
}

BOOL SetEvent(HANDLE event) {
    int fd = -1;
    if (!AcquireDescriptor(event, fd, HandleKind::kEvent)) return FailWith(EBADF);
    const std::uint64_t one = 1;
    const ssize_t written = posix::RetryOnInterrupt([&] { return write(fd, &one, sizeof one); });
    // EAGAIN: the counter is full, so the event is set already.
    const int error = written < 0 && errno != EAGAIN ? errno : 0;
    ReleaseDescriptor(event);
    if (error != 0) return FailWith(error);
    return 1;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    constexpr DWORD kMaximumObjects = 64;
    if (handles == nullptr || count == 0 || count > kMaximumObjects || waitAll != 0) {
        FailWith(EINVAL);
        return kWaitFailed;
    }
    pollfd waits[kMaximumObjects];
    bool autoReset[kMaximumObjects] = {};
    DWORD acquired = 0;
    int error = 0;
    for (; acquired < count; ++acquired) {
        int fd = -1;
        if (!AcquireWaitable(handles[acquired], fd, autoReset[acquired])) {
            error = EBADF;
            break;
        }
        waits[acquired] = pollfd{fd, POLLIN, 0};
    }

    DWORD result = kWaitFailed;
    const std::uint64_t deadline = GetTickCount64() + milliseconds;
    while (error == 0 && result == kWaitFailed) {
        int timeout = -1;
        if (milliseconds != kInfinite) {
            const std::uint64_t now = GetTickCount64();
            timeout = now >= deadline ? 0 : static_cast<int>(std::min<std::uint64_t>(deadline - now, 1u << 30));
        }
        const int ready = poll(waits, count, timeout);
        if (ready < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        if (ready == 0) {
            result = kWaitTimeout;
            break;
        }
        for (DWORD i = 0; i < count && result == kWaitFailed; ++i) {
            if (waits[i].revents == 0) continue;
            if (autoReset[i]) {
                // Another waiter may have taken the event first: then wait on.
                std::uint64_t value = 0;
                if (read(waits[i].fd, &value, sizeof value) != sizeof value) continue;
            }
            result = kWaitObject0 + i;
        }
    }
    for (DWORD i = 0; i < acquired; ++i) ReleaseDescriptor(handles[i]);
    if (error != 0) {
        FailWith(error);
        return kWaitFailed;
    }
    return result;
}

HANDLE CreateThread(const SECURITY_ATTRIBUTES*, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE routine, void* parameter, DWORD, DWORD* threadId) {
    if (routine == nullptr) {
        FailWith(EINVAL);
        return nullptr;
    }
    auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        FailWith(ENOMEM);
        return nullptr;
    }
    start->routine = routine;
    start->parameter = parameter;

    const int result = posix::StartDetachedThread(RunThread, start, stackSize);
    if (result != 0) {
        std::free(start);
        FailWith(result);
        return nullptr;
    }
    const HANDLE token = AddHandle(HandleEntry{HandleKind::kToken});
    if (threadId != nullptr) *threadId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(token));
    return token;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead, void*) {
    if (bytesRead != nullptr) *bytesRead = 0;
    int fd = -1;
    if (!AcquireDescriptor(file, fd)) return FailWith(EBADF);
    if (size == 0) {
        ReleaseDescriptor(file);
        return 1;
    }
    const ssize_t got = posix::RetryOnInterrupt([&] { return read(fd, buffer, size); });
    const int error = errno;
    ReleaseDescriptor(file);
    if (got < 0) return FailWith(error);
    // End of file: no write end is open anywhere. Windows fails such a read with
    // ERROR_BROKEN_PIPE; the nearest error number is EPIPE.
    if (got == 0) return FailWith(EPIPE);
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(got);
    return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten, void*) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    posix::IgnoreBrokenPipes();
    int fd = -1;
    if (!AcquireDescriptor(file, fd)) return FailWith(EBADF);
    // Everything is written, as a synchronous WriteFile does, unless an error stops it.
    const auto* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    int error = 0;
    do {
        const ssize_t written = write(fd, bytes + done, size - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(written);
    } while (done < size);
    ReleaseDescriptor(file);
    if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(done);
    if (error != 0) return FailWith(error);
    return 1;
}

HANDLE CreateFileA(const char* fileName, DWORD access, DWORD, const SECURITY_ATTRIBUTES*,
                   DWORD creationDisposition, DWORD, HANDLE) {
    if (fileName == nullptr || (access & (kGenericWrite | kFileAppendData)) == 0) {
        FailWith(EINVAL);
        return kInvalidHandleValue;
    }
    // Non-blocking, so that the open of a FIFO with no reader fails (ENXIO) instead of
    // waiting for one; on a regular file the flag changes nothing.
    int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if ((access & kGenericWrite) == 0) flags |= O_APPEND;
    if (creationDisposition == kCreateAlways) {
        flags |= O_CREAT | O_TRUNC;
    } else if (creationDisposition == kOpenAlways) {
        flags |= O_CREAT;
    }
    const int fd = posix::RetryOnInterrupt([&] { return open(fileName, flags, 0666); });
    if (fd < 0) {
        FailWith(errno);
        return kInvalidHandleValue;
    }
    HandleEntry entry{HandleKind::kDescriptor};
    entry.fd = fd;
    return AddHandle(entry);
}

DWORD GetFileType(HANDLE file) {
    int fd = -1;
    if (!AcquireDescriptor(file, fd)) {
        FailWith(EBADF);
        return kFileTypeUnknown;
    }
    struct stat info {};
    const int result = fstat(fd, &info);
    const int error = errno;
    ReleaseDescriptor(file);
    if (result != 0) {
        FailWith(error);
        return kFileTypeUnknown;
    }
    SetLastError(0);
    if (S_ISREG(info.st_mode)) return kFileTypeDisk;
    if (S_ISCHR(info.st_mode)) return kFileTypeChar;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return kFileTypePipe;
    return kFileTypeUnknown;
}

BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
    int fd = -1;
    if (size == nullptr) return FailWith(EINVAL);
    if (!AcquireDescriptor(file, fd)) return FailWith(EBADF);
    struct stat info {};
    const int result = fstat(fd, &info);
    const int error = errno;
    ReleaseDescriptor(file);
    if (result != 0) return FailWith(error);
    *size = static_cast<std::int64_t>(info.st_size);
    return 1;
}

BOOL DeleteFileA(const char* fileName) {
    if (fileName == nullptr) return FailWith(EINVAL);
    if (unlink(fileName) != 0) return FailWith(errno);
    return 1;
}

BOOL MoveFileExA(const char* existingName, const char* newName, DWORD) {
    if (existingName == nullptr || newName == nullptr) return FailWith(EINVAL);
    if (rename(existingName, newName) != 0) return FailWith(errno);
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    std::lock_guard lock(HandlesLock);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed) return FailWith(EBADF);
    HandleEntry& entry = found->second;
    if (entry.kind == HandleKind::kProcess) {
        // The one place that reaps: a child that has ended leaves no zombie; one that
        // still runs stays unreaped (it was never ours to wait for).
        if (PeekEndedLocked(entry)) (void)waitpid(entry.pid, nullptr, WNOHANG);
    }
    entry.closed = true;
    if (entry.users > 0) return 1;  // the last user closes the descriptor
    if (entry.fd >= 0) close(entry.fd);
    Handles().erase(found);
    return 1;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t GetTickCount64() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

DWORD GetLastError() { return ThreadLastError; }

void SetLastError(DWORD code) { ThreadLastError = code; }

void ExitProcess(DWORD exitCode) {
    // No flush of stdio: it would wait for the lock of a file that another thread is
    // reading (the command file), and the process would never end. Nothing of ours is
    // buffered there.
    // An exit status has 8 bits; a larger code would read as another code, so it
    // becomes the general failure 1.
    _exit(exitCode > 255 ? 1 : static_cast<int>(exitCode));
}

void* Allocate(std::size_t bytes) { return std::malloc(bytes != 0 ? bytes : 1); }

void Free(void* memory) { std::free(memory); }

}  // namespace platform
