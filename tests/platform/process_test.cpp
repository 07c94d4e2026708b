// The real platform beyond the shared list of tests/contract: the clock and memory, and
// on POSIX handles under concurrency and processes (the test program re-running itself,
// or /bin/sh).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>

#include "platform/child_process.h"
#include "platform/posix/handles.h"
#endif

namespace {

// --- Clock and memory, both systems ---------------------------------------------------------

TEST(Clock, SleepLastsAtLeastItsTimeOnTheTickCount) {
    const std::uint64_t before = platform::GetTickCount64();
    platform::Sleep(120);
    const std::uint64_t after = platform::GetTickCount64();
    EXPECT_GE(after - before, 120u - 16u);  // Windows ticks move in steps of about 16 ms
    EXPECT_LT(after - before, 120u + 5000u * static_cast<std::uint64_t>(support::TimeoutMultiplier()));
}

TEST(Memory, AllocateGivesWritableMemoryEvenForZeroBytes) {
    char* text = static_cast<char*>(platform::Allocate(6));
    ASSERT_NE(text, nullptr);
    std::memcpy(text, "quit\n", 6);
    EXPECT_STREQ(text, "quit\n");
    platform::Free(text);
    void* empty = platform::Allocate(0);
    EXPECT_NE(empty, nullptr);
    platform::Free(empty);
}

#ifndef _WIN32

// --- Handles under concurrency (POSIX) -----------------------------------------------------

char StateOf(const std::string& statPath) {
    std::ifstream stat(statPath);
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 'X' : text[close + 2];
}

char StateOf(long pid) { return StateOf("/proc/" + std::to_string(pid) + "/stat"); }

TEST(Handles, ClosingUnderABlockedReadEndsTheHandleButNotTheRead) {
    platform::HANDLE readEnd = nullptr;
    platform::HANDLE writeEnd = nullptr;
    ASSERT_TRUE(platform::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    std::atomic<long> readerId{0};
    std::string got;
    std::thread reader([&] {
        readerId.store(static_cast<long>(gettid()));
        char buffer[16];
        platform::DWORD count = 0;
        if (platform::ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr)) {
            got.assign(buffer, count);
        }
    });
    // Asleep in its read.
    ASSERT_TRUE(support::WaitFor([&] {
        return readerId.load() != 0 &&
               StateOf("/proc/self/task/" + std::to_string(readerId.load()) + "/stat") == 'S';
    }));
    EXPECT_TRUE(platform::CloseHandle(readEnd));
    // Dead at once for every later call...
    platform::DWORD count = 0;
    char buffer[4];
    platform::SetLastError(0);
    EXPECT_FALSE(platform::ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
    // ...while the read under way still gets what comes.
    ASSERT_TRUE(platform::WriteFile(writeEnd, "late", 4, &count, nullptr));
    reader.join();
    EXPECT_EQ(got, "late");
    platform::CloseHandle(writeEnd);
}

// --- Processes (POSIX) -----------------------------------------------------------------------

std::string ValueOf(const std::string& report, const std::string& name) {
    const std::string key = name + "=";
    const std::size_t start = report.find(key);
    if (start == std::string::npos) return "(missing)";
    const std::size_t end = report.find('\n', start);
    return report.substr(start + key.size(), end - start - key.size());
}

TEST(CreateProcess, GivesTheChildExactlyItsThreeStandardDescriptors) {
    // A descriptor of ours that is not close-on-exec must not reach the server either.
    const int stray = open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 3);
    childtest::Child child;
    ASSERT_TRUE(childtest::StartChild("describe", child));
    close(stray);
    const std::string report = childtest::ReadToEnd(child.output);
    EXPECT_EQ(ValueOf(report, "fds"), "0,1,2") << report;
    EXPECT_NE(report.find("stderr-line\n"), std::string::npos) << "standard error shares the pipe";
    EXPECT_EQ(childtest::WaitForExit(child.info.hProcess), 7u);
    childtest::CloseChild(child);
}

TEST(CreateProcess, StartsTheChildInItsOwnGroupWithSignalsResetButSigpipeIgnored) {
    // The dispatcher blocks the stop signals: that may not reach the server, since the
    // mask survives exec. SIGPIPE does stay ignored, as systemd starts a service: a server
    // that outlives us must not be killed by its next line of output.
    sigset_t stops;
    sigset_t previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    childtest::Child child;
    const bool started = childtest::StartChild("describe", child);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(started);
    const std::string report = childtest::ReadToEnd(child.output);
    EXPECT_EQ(ValueOf(report, "group"), "own");
    EXPECT_EQ(ValueOf(report, "sigpipe"), "ignored");
    EXPECT_EQ(ValueOf(report, "blocked"), "0");
    EXPECT_GT(child.info.dwProcessId, 0u);
    EXPECT_NE(child.info.hThread, nullptr);
    EXPECT_TRUE(platform::CloseHandle(child.info.hThread));
    childtest::WaitForExit(child.info.hProcess);
    childtest::CloseChild(child);
}

TEST(CreateProcess, RunsTheChildInTheLaunchFolderOrElseInOurs) {
    support::TempFolder folder("launch");
    const std::string ours = std::filesystem::current_path().string();
    const std::string launch = std::filesystem::canonical(folder.path).string();
    struct Case {
        const char* folder;
        std::string expected;
    };
    for (const Case& c : {Case{launch.c_str(), launch}, Case{nullptr, ours}, Case{"", ours}}) {
        SCOPED_TRACE(c.folder == nullptr ? "null folder" : "folder [" + std::string(c.folder) + "]");
        childtest::Child child;
        ASSERT_TRUE(childtest::StartChild("describe", child, "", "", c.folder));
        const std::string report = childtest::ReadToEnd(child.output);
        EXPECT_EQ(ValueOf(report, "cwd"), c.expected);
        childtest::WaitForExit(child.info.hProcess);
        childtest::CloseChild(child);
    }
}

// One creation that must fail, with the error that says why.
void ExpectCannotStart(const char* commandLine, const char* folder, platform::DWORD error) {
    SCOPED_TRACE(std::string("command line [") + commandLine + "] folder [" +
                 (folder ? folder : "null") + "]");
    std::string line = commandLine;
    platform::STARTUPINFOA startup{};
    startup.cb = 68;
    platform::PROCESS_INFORMATION info{};
    platform::SetLastError(0);
    EXPECT_FALSE(platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 1, 0, nullptr,
                                          folder, &startup, &info));
    EXPECT_EQ(platform::GetLastError(), error);
    EXPECT_EQ(info.hProcess, nullptr);
}

TEST(CreateProcess, AProgramThatCannotStartIsAFailedCall) {
    support::TempFolder folder("nostart");
    const std::string plain = folder.File("plain.txt");
    support::WriteWholeFile(plain, "not a program\n");
    const std::string missingFolder = folder.File("missing");

    ExpectCannotStart((folder.File("no-such-program") + " arg").c_str(), nullptr, ENOENT);
    ExpectCannotStart("tallowmere-no-such-program-on-path arg", nullptr, ENOENT);
    ExpectCannotStart(plain.c_str(), nullptr, EACCES);
    ExpectCannotStart("/bin/sh -c true", missingFolder.c_str(), ENOENT);
    ExpectCannotStart("/bin/sh -c true", plain.c_str(), ENOTDIR);
    ExpectCannotStart("", nullptr, ENOENT);
    ExpectCannotStart(" \t ", nullptr, ENOENT);
    ExpectCannotStart("/bin/sh -c 'exit 3", nullptr, EINVAL);
}

// Starts the command line with its standard output into a pipe (its standard error too,
// when `errors`); returns our read end, or nullptr when the child did not start.
platform::HANDLE StartWithOutput(std::string line, bool errors,
                                 platform::PROCESS_INFORMATION& info) {
    platform::HANDLE outRead = nullptr;
    platform::HANDLE outWrite = nullptr;
    if (!platform::CreatePipe(&outRead, &outWrite, nullptr, 0)) return nullptr;
    platform::STARTUPINFOA startup{};
    startup.cb = 68;
    startup.dwFlags = platform::kStartfUseStdHandles;
    startup.hStdOutput = outWrite;
    startup.hStdError = errors ? outWrite : nullptr;
    const bool started = platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 1, 0,
                                                  nullptr, nullptr, &startup, &info) != 0;
    platform::CloseHandle(outWrite);
    if (started) return outRead;
    platform::CloseHandle(outRead);
    return nullptr;
}

TEST(CreateProcess, FindsAProgramOnThePathAndPassesItsArgumentsUnexpanded) {
    platform::PROCESS_INFORMATION info{};
    const platform::HANDLE outRead = StartWithOutput(
        "sh -c 'printf \"[%s][%s]\" \"$0\" \"$1\"; exit 5' \"a  b\" '$HOME'", true, info);
    ASSERT_NE(outRead, nullptr);
    EXPECT_EQ(childtest::ReadToEnd(outRead), "[a  b][$HOME]");
    EXPECT_EQ(childtest::WaitForExit(info.hProcess), 5u);
    platform::CloseHandle(info.hProcess);
    platform::CloseHandle(outRead);
}

// Only closing its handle reaps the child: while the handle is open, its number (and its
// group's) stays ours, whatever waits and exit code queries saw its end.
TEST(CloseHandle, OfAnEndedChildIsWhatReapsIt) {
    childtest::Child child;
    ASSERT_TRUE(childtest::StartChild("wait-input", child, "42"));
    platform::DWORD written = 0;
    ASSERT_TRUE(platform::WriteFile(child.input, "quit\r\n", 6, &written, nullptr));
    platform::CloseHandle(child.input);  // the child ends at the end of its input
    std::string seen;
    EXPECT_TRUE(childtest::ReadUntil(child.output, "got 6\n", seen)) << seen;
    EXPECT_EQ(platform::WaitForMultipleObjects(1, &child.info.hProcess, 0, 60000),
              platform::kWaitObject0);
    EXPECT_EQ(childtest::WaitForExit(child.info.hProcess), 42u);
    EXPECT_EQ(StateOf(static_cast<long>(child.info.dwProcessId)), 'Z');
    platform::CloseHandle(child.info.hProcess);
    EXPECT_EQ(StateOf(static_cast<long>(child.info.dwProcessId)), 'X');
    platform::CloseHandle(child.output);
}

// The dispatcher reaps every child on SIGCHLD: one that ends before its handle exists is
// still the handle's, its exit code kept, and the start is no failure.
TEST(CreateProcess, AChildThatEndsAtOnceIsNotReapedBeforeItsHandleExists) {
    std::atomic<bool> done{false};
    std::thread reaper([&] {
        while (!done.load()) platform::posix::ReapChildren();
    });
    int failed = 0;
    int wrongCode = 0;
    for (int i = 0; i < 300; ++i) {
        std::string line = "/bin/sh -c 'exit 7'";
        platform::STARTUPINFOA startup{};
        startup.cb = 68;
        platform::PROCESS_INFORMATION info{};
        if (!platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 1, 0, nullptr,
                                      nullptr, &startup, &info)) {
            ++failed;
            continue;
        }
        if (childtest::WaitForExit(info.hProcess) != 7) ++wrongCode;
        platform::CloseHandle(info.hProcess);
        platform::CloseHandle(info.hThread);
    }
    done.store(true);
    reaper.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(wrongCode, 0);
}

TEST(GetExitCodeProcess, ADeathBySignalGives128PlusTheSignal) {
    std::string line = "/bin/sh -c 'kill -TERM $$'";
    platform::STARTUPINFOA startup{};
    startup.cb = 68;
    platform::PROCESS_INFORMATION info{};
    ASSERT_TRUE(platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 1, 0, nullptr,
                                         nullptr, &startup, &info));
    EXPECT_EQ(childtest::WaitForExit(info.hProcess), 128u + SIGTERM);
    platform::CloseHandle(info.hProcess);
}

TEST(TerminateProcess, KillsTheChildWithItsWholeProcessGroup) {
    // The grandchild's output goes elsewhere, so the pipe ends with the child.
    platform::PROCESS_INFORMATION info{};
    const platform::HANDLE outRead = StartWithOutput(
        "/bin/sh -c 'sleep 600 >/dev/null 2>&1 & echo $!; wait'", false, info);
    ASSERT_NE(outRead, nullptr);
    std::string seen;
    ASSERT_TRUE(childtest::ReadUntil(outRead, "\n", seen));
    const long grandchild = std::atol(seen.c_str());
    ASSERT_GT(grandchild, 0);
    ASSERT_NE(StateOf(grandchild), 'X');

    EXPECT_TRUE(platform::TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(childtest::WaitForExit(info.hProcess), 128u + SIGKILL);
    // Gone, or a zombie waiting for a parent that reaps it.
    EXPECT_TRUE(support::WaitFor([&] {
        const char state = StateOf(grandchild);
        return state == 'X' || state == 'Z';
    }));
    // Once reaped, the number is no longer ours to signal.
    platform::SetLastError(0);
    EXPECT_FALSE(platform::TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(platform::GetLastError(), static_cast<platform::DWORD>(ESRCH));
    platform::CloseHandle(info.hProcess);
    platform::CloseHandle(outRead);
}

TEST(ExitProcess, EndsWhileAnotherThreadHoldsAStreamAndGivesOneForCodesAboveAByte) {
    for (const auto& [code, expected] : {std::pair{"7", 7u}, {"255", 255u}, {"256", 1u},
                                         {"109", 109u}, {"3221225477", 1u}}) {
        SCOPED_TRACE(code);
        childtest::Child child;
        ASSERT_TRUE(childtest::StartChild("exit", child, code));
        EXPECT_EQ(childtest::ReadToEnd(child.output), "ready");
        EXPECT_EQ(childtest::WaitForExit(child.info.hProcess), expected);
        childtest::CloseChild(child);
    }
}

#endif  // _WIN32

}  // namespace
