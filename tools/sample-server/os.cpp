#include "os.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;  // NOLINT(readability-redundant-declaration)
#endif

#ifdef _WIN32

namespace {

HANDLE StdHandle(int which) {
    return GetStdHandle(which == 0 ? STD_INPUT_HANDLE
                                   : which == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

void WriteAll(int which, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD done = 0;
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
        if (WriteFile(StdHandle(which), data, piece, &done, nullptr) == 0) return;
        data += done;
        size -= done;
    }
}

std::size_t ReadStdin(char* buffer, std::size_t size) {
    DWORD done = 0;
    if (ReadFile(StdHandle(0), buffer, static_cast<DWORD>(size), &done, nullptr) == 0) return 0;
    return done;
}

void CloseStdin() {
    CloseHandle(StdHandle(0));
    SetStdHandle(STD_INPUT_HANDLE, nullptr);
}

unsigned long ProcessId() { return GetCurrentProcessId(); }

bool HandleIsOpen(std::uint64_t value) {
    DWORD flags = 0;
    // A handle's number, as the test that asks passes it on the command line.
    auto* const handle = reinterpret_cast<HANDLE>(  // NOLINT(performance-no-int-to-ptr)
        static_cast<std::uintptr_t>(value));
    return GetHandleInformation(handle, &flags) != 0;
}

void ExitNow(std::uint32_t code) { ExitProcess(code); }

void Crash() {
    // A real access violation would start Wine's debugger and hang the test.
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
    ExitProcess(1);
}


bool SpawnCopy(const std::vector<std::string>& arguments, CopyPlace place, unsigned long* pid) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    std::string line = std::string("\"") + path + "\"";
    for (const std::string& argument : arguments) line += " \"" + argument + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    const DWORD flags =
        place == CopyPlace::kSameGroup ? 0
        : place == CopyPlace::kOwnGroup ? CREATE_NEW_PROCESS_GROUP
                                        : CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS;
    if (CreateProcessA(path, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                       &startup, &created) == 0) {
        return false;
    }
    if (pid != nullptr) *pid = created.dwProcessId;
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return true;
}

bool JoinGroup(unsigned long) { return true; }

bool StartOrphans(std::uint64_t, std::uint64_t) { return false; }

#else

void WriteAll(int which, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t done = write(which, data, size);
        if (done < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
}

std::size_t ReadStdin(char* buffer, std::size_t size) {
    for (;;) {
        ssize_t done = read(0, buffer, size);
        if (done < 0 && errno == EINTR) continue;
        return done < 0 ? 0 : static_cast<std::size_t>(done);
    }
}

void CloseStdin() { close(0); }

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

bool HandleIsOpen(std::uint64_t value) {
    return value <= 0x7FFFFFFF && fcntl(static_cast<int>(value), F_GETFD) != -1;
}

void ExitNow(std::uint32_t code) { std::_Exit(static_cast<int>(code)); }

void Crash() {
    rlimit none{0, 0};
    (void)setrlimit(RLIMIT_CORE, &none);  // without it a core file may be written, no more
    (void)std::signal(SIGSEGV, SIG_DFL);
    (void)std::raise(SIGSEGV);
    // cppcheck-suppress unreachableCode ; raise returns when the signal does not end us
    std::_Exit(1);
}


bool SpawnCopy(const std::vector<std::string>& arguments, CopyPlace place, unsigned long* pid) {
    // The program's own path as the first argument, so that the copy is seen as what it is.
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return false;
    path[length] = '\0';
    std::vector<std::string> items = {path};
    items.insert(items.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(items.size() + 1);
    for (std::string& item : items) argv.push_back(item.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (place == CopyPlace::kOwnGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    } else if (place == CopyPlace::kOwnSession) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    }
    pid_t created = 0;
    const bool started = posix_spawn(&created, path, nullptr, &attributes, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
    if (started && pid != nullptr) *pid = static_cast<unsigned long>(created);
    return started;
}

bool JoinGroup(unsigned long group) { return setpgid(0, static_cast<pid_t>(group)) == 0; }

bool StartOrphans(std::uint64_t count, std::uint64_t perSecond) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < count; ++i) {
        if (perSecond != 0) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / perSecond));
        }
        // Only calls that are safe after fork in a process with threads.
        const pid_t child = fork();
        if (child < 0) return false;
        if (child == 0) {
            if (fork() == 0) _exit(0);
            _exit(0);
        }
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return true;
}

#endif
