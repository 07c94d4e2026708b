// Handles, pipes, processes, threads, the clock and the last error on POSIX.
//
// Handles are entries of our own table, never descriptors: a handle value is never
// reused, so a handle that one thread closed fails with EBADF in every later call of
// another thread instead of reaching whatever descriptor the number names by then.
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
#include "platform/platform.h"

// POSIX has the program declare it; glibc's <unistd.h> does too, but only with _GNU_SOURCE.
extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace platform {

namespace {

enum class HandleKind { kDescriptor, kProcess, kToken };

struct HandleEntry {
    HandleKind kind;
    int fd = -1;           // kDescriptor
    pid_t pid = 0;         // kProcess
    bool ended = false;    // kProcess: the child has been reaped, exitCode is final
    DWORD exitCode = 0;    // kProcess
    int users = 0;         // kDescriptor: calls that use fd right now
    bool closed = false;   // CloseHandle done; fd is closed once users drops to 0
};

std::mutex gHandlesMutex;  // guards the table and gNextHandle
std::uintptr_t gNextHandle = 0x1000;

// Never destroyed: detached threads may still use handles while the process ends.
std::unordered_map<std::uintptr_t, HandleEntry>& Handles() {
    static auto* table = new std::unordered_map<std::uintptr_t, HandleEntry>();
    return *table;
}

thread_local DWORD tLastError = 0;

void IgnoreBrokenPipes() {
    static std::once_flag once;
    // A write into a pipe whose reader has gone must fail with EPIPE, not end us.
    std::call_once(once, [] { (void)std::signal(SIGPIPE, SIG_IGN); });
}

HANDLE AddHandle(const HandleEntry& entry) {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    const std::uintptr_t value = gNextHandle;
    gNextHandle += 4;
    Handles().emplace(value, entry);
    // A handle is a number of our own table, handed out as the pointer type Win32 uses.
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

// The descriptor behind an open handle, kept open until ReleaseDescriptor even when
// another thread closes the handle meanwhile.
bool AcquireDescriptor(HANDLE handle, int& fd) {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed ||
        found->second.kind != HandleKind::kDescriptor) {
        return false;
    }
    ++found->second.users;
    fd = found->second.fd;
    return true;
}

void ReleaseDescriptor(HANDLE handle) {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end()) return;
    if (--found->second.users == 0 && found->second.closed) {
        close(found->second.fd);
        Handles().erase(found);
    }
}

BOOL FailWith(int error) {
    tLastError = static_cast<DWORD>(error);
    return 0;
}

// A child that died of a signal reports 128 + the signal's number, as shells do.
DWORD ExitCodeOf(int status) {
    if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return 128u + static_cast<DWORD>(WTERMSIG(status));
    return 1;
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

void* RunThread(void* start) {
    const ThreadStart copy = *static_cast<ThreadStart*>(start);
    std::free(start);
    copy.routine(copy.parameter);
    return nullptr;
}

}  // namespace

BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES*, DWORD) {
    if (readEnd == nullptr || writeEnd == nullptr) return FailWith(EINVAL);
    IgnoreBrokenPipes();
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
    IgnoreBrokenPipes();

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
    // signals and the signal mask survive exec, so both are reset: we ignore SIGPIPE and
    // the dispatcher blocks the stop signals.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
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

    HandleEntry process{HandleKind::kProcess};
    process.pid = pid;
    information->hProcess = AddHandle(process);
    // A token that stands for the primary thread, so that code written for Windows may
    // close it; it refers to nothing.
    information->hThread = AddHandle(HandleEntry{HandleKind::kToken});
    information->dwProcessId = static_cast<DWORD>(pid);
    information->dwThreadId = static_cast<DWORD>(pid);
    return 1;
}

BOOL TerminateProcess(HANDLE process, DWORD) {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(process));
    if (found == Handles().end() || found->second.closed ||
        found->second.kind != HandleKind::kProcess) {
        return FailWith(EBADF);
    }
    // Once reaped, the number may belong to someone else by now.
    if (found->second.ended) return FailWith(ESRCH);
    const pid_t pid = found->second.pid;
    // The whole group, so that whatever the server started goes with it. The child is
    // not reaped yet, so neither its number nor its group can have been reused.
    if (kill(-pid, SIGKILL) != 0 && kill(pid, SIGKILL) != 0) return FailWith(errno);
    return 1;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    if (exitCode == nullptr) return FailWith(EINVAL);
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(process));
    if (found == Handles().end() || found->second.closed ||
        found->second.kind != HandleKind::kProcess) {
        return FailWith(EBADF);
    }
    HandleEntry& entry = found->second;
    if (!entry.ended) {
        int status = 0;
        pid_t reaped = 0;
        do {
            reaped = waitpid(entry.pid, &status, WNOHANG);
        } while (reaped < 0 && errno == EINTR);
        if (reaped < 0) return FailWith(errno);
        if (reaped == 0) {
            *exitCode = kStillActive;
            return 1;
        }
        entry.ended = true;
        entry.exitCode = ExitCodeOf(status);
    }
    *exitCode = entry.exitCode;
    return 1;
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

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // Nobody joins our threads: they end by themselves or with the process.
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attributes,
                                  std::max<std::size_t>(stackSize, PTHREAD_STACK_MIN));
    }
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, RunThread, start);
    pthread_attr_destroy(&attributes);
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
    ssize_t got = 0;
    do {
        got = read(fd, buffer, size);
    } while (got < 0 && errno == EINTR);
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
    IgnoreBrokenPipes();
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

BOOL CloseHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed) return FailWith(EBADF);
    HandleEntry& entry = found->second;
    if (entry.kind == HandleKind::kDescriptor) {
        entry.closed = true;
        if (entry.users > 0) return 1;  // the last user closes the descriptor
        close(entry.fd);
    } else if (entry.kind == HandleKind::kProcess && !entry.ended) {
        // Reaped now if it has ended; a child that still runs stays unreaped (it was
        // never ours to wait for).
        int status = 0;
        waitpid(entry.pid, &status, WNOHANG);
    }
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

DWORD GetLastError() { return tLastError; }

void SetLastError(DWORD code) { tLastError = code; }

void ExitProcess(DWORD exitCode) {
    (void)std::fflush(nullptr);  // nothing is left to report a failure to
    // An exit status has 8 bits; a larger code would read as another code, so it
    // becomes the general failure 1.
    _exit(exitCode > 255 ? 1 : static_cast<int>(exitCode));
}

void* Allocate(std::size_t bytes) { return std::malloc(bytes != 0 ? bytes : 1); }

void Free(void* memory) { std::free(memory); }

}  // namespace platform
