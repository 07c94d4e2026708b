#include "os.h"

#include <algorithm>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
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

void IgnoreBrokenPipes() {}  // Windows reports a broken pipe as a failed write already

void ExitNow(std::uint32_t code) { ExitProcess(code); }

void Crash() {
    // A real access violation would start Wine's debugger and hang the test.
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
    ExitProcess(1);
}

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

void IgnoreBrokenPipes() { (void)std::signal(SIGPIPE, SIG_IGN); }

void ExitNow(std::uint32_t code) { std::_Exit(static_cast<int>(code)); }

void Crash() {
    rlimit none{0, 0};
    (void)setrlimit(RLIMIT_CORE, &none);  // without it a core file may be written, no more
    (void)std::signal(SIGSEGV, SIG_DFL);
    (void)std::raise(SIGSEGV);
    // cppcheck-suppress unreachableCode ; raise returns when the signal does not end us
    std::_Exit(1);
}

#endif
