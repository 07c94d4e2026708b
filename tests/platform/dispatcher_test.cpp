// The POSIX dispatcher: the start routine on a thread of its own, signals turned into
// control requests on the calling thread, and the return after a stopped report.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/platform.h"
#include "support/support.h"

namespace {

// What one dispatcher run saw; reset by each test.
std::mutex gSeenMutex;                  // guards gControls and gStartName
std::vector<platform::DWORD> gControls;  // control codes in the order they came
std::string gStartName;
std::atomic<int> gStartArgc{-1};
std::atomic<bool> gStartOnOtherThread{false};
std::atomic<bool> gHandlerOffThread{false};
std::atomic<bool> gStopReportSent{true};
std::atomic<platform::DWORD> gStopReportError{0};
std::atomic<bool> gStartFinished{true};  // the start routine has returned
pthread_t gDispatcherThread;
std::atomic<platform::SERVICE_STATUS_HANDLE> gHandle{nullptr};

void ResetSeen() {
    std::lock_guard<std::mutex> lock(gSeenMutex);
    gControls.clear();
    gStartName = "(not started)";
    gStartArgc.store(-1);
    gStartOnOtherThread.store(false);
    gHandlerOffThread.store(false);
    gStopReportSent.store(true);
    gStopReportError.store(0);
    gStartFinished.store(false);
    gDispatcherThread = pthread_self();
}

// The start routine may still be on its way out when the dispatcher returns; the next
// test must not change what it reads.
void WaitForStartRoutine() {
    EXPECT_TRUE(support::WaitFor([] { return gStartFinished.load(); }));
}

std::size_t ControlsSeen() {
    std::lock_guard<std::mutex> lock(gSeenMutex);
    return gControls.size();
}

void ReportStopped(platform::DWORD exitCode) {
    const platform::SERVICE_STATUS stopped{0x30, platform::kServiceStopped, 1, exitCode, 0, 0, 0};
    gStopReportSent.store(platform::SetServiceStatus(gHandle.load(), &stopped) != 0);
    gStopReportError.store(platform::GetLastError());
}

void RecordingHandler(platform::DWORD control) {
    if (pthread_equal(pthread_self(), gDispatcherThread) == 0) gHandlerOffThread.store(true);
    {
        std::lock_guard<std::mutex> lock(gSeenMutex);
        gControls.push_back(control);
    }
    if (control == platform::kServiceControlStop) ReportStopped(0);
}

void NoteStart(platform::DWORD argc, char** argv) {
    gStartArgc.store(static_cast<int>(argc));
    gStartOnOtherThread.store(pthread_equal(pthread_self(), gDispatcherThread) == 0);
    std::lock_guard<std::mutex> lock(gSeenMutex);
    gStartName = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "(none)";
}

// Sends each signal once the previous one has been handled, then a stop.
void SignallingStart(platform::DWORD argc, char** argv) {
    NoteStart(argc, argv);
    gHandle = platform::RegisterServiceCtrlHandlerA("", RecordingHandler);
    std::size_t handled = 0;
    for (const int signal : {SIGUSR1, SIGHUP, SIGUSR1, SIGINT}) {
        pthread_kill(gDispatcherThread, signal);
        ++handled;
        if (!support::WaitFor([&] { return ControlsSeen() >= handled; })) break;
    }
    gStartFinished.store(true);
}

void FailingStart(platform::DWORD argc, char** argv) {
    NoteStart(argc, argv);
    gHandle = platform::RegisterServiceCtrlHandlerA("", RecordingHandler);
    ReportStopped(2);
    gStartFinished.store(true);
}

void SilentFailingStart(platform::DWORD argc, char** argv) {
    NoteStart(argc, argv);
    gHandle = platform::RegisterServiceCtrlHandlerA("", RecordingHandler);
    pthread_kill(gDispatcherThread, SIGTERM);
    gStartFinished.store(true);
}

TEST(Dispatcher, TurnsSignalsIntoControlsOnTheCallingThreadOneAtATime) {
    unsetenv("NOTIFY_SOCKET");
    ResetSeen();
    const platform::SERVICE_TABLE_ENTRYA table[] = {{"", SignallingStart}, {nullptr, nullptr}};
    EXPECT_NE(platform::StartServiceCtrlDispatcherA(table), 0);
    WaitForStartRoutine();
    std::lock_guard<std::mutex> lock(gSeenMutex);
    EXPECT_EQ(gControls, (std::vector<platform::DWORD>{4, 6, 4, 1}));
    EXPECT_FALSE(gHandlerOffThread.load());
}

TEST(Dispatcher, RunsTheStartRoutineOnceOnAThreadOfItsOwnWithTheServiceName) {
    unsetenv("NOTIFY_SOCKET");
    ResetSeen();
    const platform::SERVICE_TABLE_ENTRYA table[] = {{"Tallowmere", FailingStart},
                                                     {nullptr, nullptr}};
    EXPECT_NE(platform::StartServiceCtrlDispatcherA(table), 0);
    WaitForStartRoutine();
    EXPECT_EQ(gStartArgc.load(), 1);
    EXPECT_TRUE(gStartOnOtherThread.load());
    std::lock_guard<std::mutex> lock(gSeenMutex);
    EXPECT_EQ(gStartName, "Tallowmere");
}

TEST(Dispatcher, ReturnsAfterAStoppedReportFromAnotherThread) {
    unsetenv("NOTIFY_SOCKET");
    ResetSeen();
    const platform::SERVICE_TABLE_ENTRYA table[] = {{"", FailingStart}, {nullptr, nullptr}};
    EXPECT_NE(platform::StartServiceCtrlDispatcherA(table), 0);
    WaitForStartRoutine();
    EXPECT_TRUE(gStopReportSent.load());
    std::lock_guard<std::mutex> lock(gSeenMutex);
    EXPECT_TRUE(gControls.empty());
}

TEST(Dispatcher, ReturnsAfterAStoppedReportThatCouldNotBeSent) {
    support::TempFolder folder("dispatcher");
    setenv("NOTIFY_SOCKET", folder.File("nobody.sock").c_str(), 1);
    ResetSeen();
    const platform::SERVICE_TABLE_ENTRYA table[] = {{"", SilentFailingStart},
                                                     {nullptr, nullptr}};
    EXPECT_NE(platform::StartServiceCtrlDispatcherA(table), 0);
    WaitForStartRoutine();
    unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(gStopReportSent.load());
    EXPECT_EQ(gStopReportError.load(), static_cast<platform::DWORD>(ENOENT));
    std::lock_guard<std::mutex> lock(gSeenMutex);
    EXPECT_EQ(gControls, (std::vector<platform::DWORD>{1}));
}

TEST(Dispatcher, RefusesATableItCannotRun) {
    platform::SetLastError(0);
    EXPECT_EQ(platform::StartServiceCtrlDispatcherA(nullptr), 0);
    EXPECT_NE(platform::GetLastError(), 0u);
    const platform::SERVICE_TABLE_ENTRYA empty[] = {{nullptr, nullptr}};
    platform::SetLastError(0);
    EXPECT_EQ(platform::StartServiceCtrlDispatcherA(empty), 0);
    EXPECT_NE(platform::GetLastError(), 0u);
}

// Starts a child in `mode` and, once it has written `ready`, sends SIGTERM to the whole
// process as systemd does; gives what the child wrote and its exit code.
void SigtermChild(const char* mode, const std::string& ready, std::string& seen,
                  platform::DWORD& code) {
    childtest::Child child;
    ASSERT_TRUE(childtest::StartChild(mode, child));
    ASSERT_TRUE(childtest::ReadUntil(child.output, ready, seen)) << seen;
    ASSERT_EQ(kill(static_cast<pid_t>(child.info.dwProcessId), SIGTERM), 0);
    seen += childtest::ReadToEnd(child.output);
    code = childtest::WaitForExit(child.info.hProcess);
    childtest::CloseChild(child);
}

TEST(Dispatcher, TurnsAProcessWideSigtermIntoAStopAndReturns) {
    std::string seen;
    platform::DWORD code = 1;
    SigtermChild("service", "registered\n", seen, code);
    EXPECT_EQ(seen, "registered\ncontrol 1 on dispatcher\ndispatcher returned 1\n");
    EXPECT_EQ(code, 0u);
}

TEST(Dispatcher, AStopBeforeAnyHandlerIsRegisteredEndsTheProcessByThatSignal) {
    std::string seen;
    platform::DWORD code = 0;
    SigtermChild("service-unregistered", "started\n", seen, code);
    EXPECT_EQ(seen, "started\n") << "the dispatcher must not return";
    EXPECT_EQ(code, 128u + SIGTERM);
}

}  // namespace

#endif  // _WIN32
