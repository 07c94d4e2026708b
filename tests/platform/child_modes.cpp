// The child side of the POSIX process tests, and the parent's helpers to start it.
#ifndef _WIN32

#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/platform.h"
#include "support/support.h"

namespace {

void Say(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

// What a server would find itself started with.
[[noreturn]] void DescribeStart() {
    std::vector<int> fds;
    if (DIR* folder = opendir("/proc/self/fd")) {
        const int own = dirfd(folder);
        while (const dirent* entry = readdir(folder)) {
            if (entry->d_name[0] == '.') continue;
            const int fd = std::atoi(entry->d_name);
            if (fd != own) fds.push_back(fd);
        }
        closedir(folder);
    }
    std::sort(fds.begin(), fds.end());
    std::string list;
    for (const int fd : fds) list += (list.empty() ? "" : ",") + std::to_string(fd);

    struct sigaction pipeAction {};
    sigaction(SIGPIPE, nullptr, &pipeAction);
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    int blocked = 0;
    for (int s = 1; s < NSIG; ++s) blocked += sigismember(&mask, s) == 1 ? 1 : 0;
    char* cwd = getcwd(nullptr, 0);

    Say("fds=" + list + "\n");
    Say(std::string("group=") + (getpgrp() == getpid() ? "own" : "shared") + "\n");
    Say(std::string("sigpipe=") +
        (pipeAction.sa_handler == SIG_DFL ? "default"
         : pipeAction.sa_handler == SIG_IGN ? "ignored"
                                            : "handled") +
        "\n");
    Say("blocked=" + std::to_string(blocked) + "\n");
    Say(std::string("cwd=") + (cwd != nullptr ? cwd : "?") + "\n");
    std::free(cwd);
    const char* err = "stderr-line\n";
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, err, std::strlen(err));
    _exit(7);
}

[[noreturn]] void WaitForEndOfInput(int code) {
    Say("ready\n");
    char buffer[256];
    std::string input;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) break;
        input.append(buffer, static_cast<std::size_t>(got));
    }
    Say("got " + std::to_string(input.size()) + "\n");
    _exit(code);
}

// --- Dispatcher children -------------------------------------------------------------

std::atomic<platform::SERVICE_STATUS_HANDLE> gStatusHandle{nullptr};
pthread_t gDispatcherThread;

void StoppingHandler(platform::DWORD control) {
    const bool onDispatcher = pthread_equal(pthread_self(), gDispatcherThread) != 0;
    Say("control " + std::to_string(control) + (onDispatcher ? " on dispatcher\n" : " elsewhere\n"));
    if (control != platform::kServiceControlStop) return;
    platform::SERVICE_STATUS status{0x30, platform::kServiceStopped, 1, 5, 0, 0, 0};
    platform::SetServiceStatus(gStatusHandle.load(), &status);
}

void RegisteringStart(platform::DWORD, char**) {
    gStatusHandle = platform::RegisterServiceCtrlHandlerA("", StoppingHandler);
    Say("registered\n");
}

void SilentStart(platform::DWORD, char**) {
    Say("started\n");
    for (;;) pause();
}

[[noreturn]] void RunDispatcher(platform::LPSERVICE_MAIN_FUNCTIONA start) {
    gDispatcherThread = pthread_self();
    const platform::SERVICE_TABLE_ENTRYA table[] = {{"", start}, {nullptr, nullptr}};
    const platform::BOOL result = platform::StartServiceCtrlDispatcherA(table);
    Say("dispatcher returned " + std::to_string(result) + "\n");
    platform::ExitProcess(0);
}

bool RunChildMode() {
    const char* mode = std::getenv("TALLOWMERE_PLATFORM_CHILD");
    if (mode == nullptr) return false;
    const char* argText = std::getenv("TALLOWMERE_PLATFORM_CHILD_ARG");
    const std::string arg = argText != nullptr ? argText : "";
    const std::string name = mode;
    if (name == "describe") DescribeStart();
    if (name == "wait-input") WaitForEndOfInput(std::atoi(arg.c_str()));
    if (name == "exit") {
        // Another thread holds standard input's lock for good, as one inside fread of a
        // file that brings nothing does: the process must end all the same.
        static std::atomic<bool> locked{false};
        pthread_t holder;
        pthread_create(&holder, nullptr, [](void*) -> void* {
            flockfile(stdin);
            locked.store(true);
            for (;;) pause();
        }, nullptr);
        while (!locked.load()) sched_yield();
        Say("ready");
        platform::ExitProcess(static_cast<platform::DWORD>(std::strtoul(arg.c_str(), nullptr, 10)));
    }
    if (name == "command-line") {
        Say(std::string(platform::GetCommandLineA()) + "\n");
        _exit(0);
    }
    if (name == "debug-output") {
        platform::OutputDebugStringA(arg.c_str());
        _exit(0);
    }
    if (name == "service") RunDispatcher(RegisteringStart);
    if (name == "service-unregistered") RunDispatcher(SilentStart);
    Say("unknown child mode " + name + "\n");
    _exit(99);
}

// Before any test: a child does its part and ends here.
[[maybe_unused]] const bool gIsChild = RunChildMode();

}  // namespace

namespace childtest {

std::string SelfCommand() {
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string self = length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "";
    return self.find_first_of(" \t") == std::string::npos ? self : "\"" + self + "\"";
}

std::string ChildEnvironment(const std::string& mode, const std::string& arg) {
    std::string block = "TALLOWMERE_PLATFORM_CHILD=" + mode;
    block += '\0';
    block += "TALLOWMERE_PLATFORM_CHILD_ARG=" + arg;
    block += '\0';
    // The sanitizers' settings, so that a sanitized child behaves as its parent.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            block += std::string(name) + "=" + value;
            block += '\0';
        }
    }
    block += '\0';
    return block;
}

void CloseChild(Child& child) {
    platform::CloseHandle(child.info.hProcess);
    platform::CloseHandle(child.input);
    platform::CloseHandle(child.output);
}

bool StartChild(const std::string& mode, Child& child, const std::string& arg,
                const std::string& arguments, const char* folder) {
    platform::HANDLE inRead = nullptr;
    platform::HANDLE outWrite = nullptr;
    if (!platform::CreatePipe(&inRead, &child.input, nullptr, 0)) return false;
    if (!platform::CreatePipe(&child.output, &outWrite, nullptr, 0)) return false;
    platform::STARTUPINFOA startup{};
    startup.cb = 68;
    startup.dwFlags = platform::kStartfUseStdHandles | platform::kStartfUseShowWindow;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::string commandLine = SelfCommand() + (arguments.empty() ? "" : " " + arguments);
    std::string environment = ChildEnvironment(mode, arg);
    const platform::BOOL started = platform::CreateProcessA(
        nullptr, commandLine.data(), nullptr, nullptr, 1, 0, environment.data(), folder,
        &startup, &child.info);
    platform::CloseHandle(inRead);
    platform::CloseHandle(outWrite);
    return started != 0;
}

std::string ReadToEnd(platform::HANDLE handle) {
    std::string text;
    char buffer[4096];
    platform::DWORD got = 0;
    while (platform::ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) {
        text.append(buffer, got);
    }
    return text;
}

bool ReadUntil(platform::HANDLE handle, const std::string& text, std::string& seen) {
    char buffer[4096];
    platform::DWORD got = 0;
    while (seen.find(text) == std::string::npos) {
        if (!platform::ReadFile(handle, buffer, sizeof buffer, &got, nullptr)) return false;
        seen.append(buffer, got);
    }
    return true;
}

platform::DWORD WaitForExit(platform::HANDLE process) {
    platform::DWORD code = platform::kStillActive;
    support::WaitFor([&] {
        return platform::GetExitCodeProcess(process, &code) && code != platform::kStillActive;
    });
    return code;
}

}  // namespace childtest

#endif
