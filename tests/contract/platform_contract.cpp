// What the logic relies on from the platform layer, written once and run on every backend:
// the fake platform (unit_tests, suite FakeContract) and the POSIX or Win32 layer
// (platform_tests, suite PlatformContract). Where a case fails on the fake alone, the fake
// is what changes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "contract/backend.h"
#include "platform/platform.h"
#include "support/support.h"

namespace {

using platform::DWORD;
using platform::HANDLE;

// Catches a hang, not slowness: Wine starts processes slowly.
DWORD Bound() { return static_cast<DWORD>(30000 * support::TimeoutMultiplier()); }

// The code a child ends with: Windows carries all 32 bits, a POSIX status 8.
#ifdef _WIN32
constexpr DWORD kChildCode = 1234;
#else
constexpr DWORD kChildCode = 42;
#endif

class TALLOWMERE_CONTRACT_SUITE : public ::testing::Test {
protected:
    void SetUp() override { contract::BeginCase(); }
    void TearDown() override { contract::EndCase(); }
};
// One level more, so that the suite's macro is expanded before TEST_F pastes it.
#define CONTRACT_CASE_(suite, name) TEST_F(suite, name)
#define CONTRACT_CASE(name) CONTRACT_CASE_(TALLOWMERE_CONTRACT_SUITE, name)

struct Child {
    platform::PROCESS_INFORMATION info{};
    HANDLE input = nullptr;   // our write end of its standard input
    HANDLE output = nullptr;  // our read end of its standard output and error
};

// As the logic starts the server: inheritable pipes with our own ends kept out of the
// child, started suspended, put into `job` and resumed.
bool StartChild(DWORD exitCode, HANDLE job, Child& child) {
    const platform::SECURITY_ATTRIBUTES inheritable{
        static_cast<DWORD>(sizeof(platform::SECURITY_ATTRIBUTES)), nullptr, 1};
    HANDLE inRead = nullptr;
    HANDLE outWrite = nullptr;
    if (!platform::CreatePipe(&inRead, &child.input, &inheritable, 0) ||
        !platform::CreatePipe(&child.output, &outWrite, &inheritable, 0) ||
        !platform::SetHandleInformation(child.input, platform::kHandleFlagInherit, 0) ||
        !platform::SetHandleInformation(child.output, platform::kHandleFlagInherit, 0)) {
        return false;
    }
    platform::STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = platform::kStartfUseShowWindow | platform::kStartfUseStdHandles;
    startup.wShowWindow = platform::kSwHide;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::string line = contract::ChildCommandLine(exitCode);
    const bool started =
        platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 1,
                                 platform::kCreateSuspended, nullptr, nullptr, &startup,
                                 &child.info) != 0 &&
        (job == nullptr || platform::AssignProcessToJobObject(job, child.info.hProcess) != 0) &&
        platform::ResumeThread(child.info.hThread) != platform::kResumeFailed;
    platform::CloseHandle(inRead);
    platform::CloseHandle(outWrite);
    return started;
}

void CloseChild(Child& child) {
    for (const HANDLE handle :
         {child.info.hProcess, child.info.hThread, child.input, child.output}) {
        if (handle != nullptr) {
            EXPECT_TRUE(platform::CloseHandle(handle));
        }
    }
}

// Everything the pipe brings until it fails; the failure's error in `error`.
std::string ReadToEnd(HANDLE pipe, DWORD& error) {
    std::string text;
    char buffer[256];
    DWORD got = 0;
    while (platform::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) != 0) {
        text.append(buffer, got);
    }
    error = platform::GetLastError();
    return text;
}

CONTRACT_CASE(APipeCarriesItsBytesThenBreaksOnceOneSideHasNoEndLeft) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(platform::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    ASSERT_NE(readEnd, nullptr);
    ASSERT_NE(writeEnd, nullptr);
    EXPECT_NE(readEnd, writeEnd);
    const std::string text("quit\r\n\0after", 12);
    DWORD count = 0;
    ASSERT_TRUE(platform::WriteFile(writeEnd, text.data(), 12, &count, nullptr));
    EXPECT_EQ(count, 12u);
    ASSERT_TRUE(platform::CloseHandle(writeEnd));
    // What was written before the last write end went is read first; then the end.
    char buffer[64];
    ASSERT_TRUE(platform::ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), text);
    count = 77;
    platform::SetLastError(0);
    EXPECT_FALSE(platform::ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(platform::CloseHandle(readEnd));

    // A quit command for a server that is gone fails, and does not end us (SIGPIPE).
    ASSERT_TRUE(platform::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    ASSERT_TRUE(platform::CloseHandle(readEnd));
    platform::SetLastError(0);
    EXPECT_FALSE(platform::WriteFile(writeEnd, "quit\r\n", 6, &count, nullptr));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorNoData);
    EXPECT_TRUE(platform::CloseHandle(writeEnd));
}

// The log: appended to and emptied as a regular file, and anything else told apart
// before a byte is written to it.
CONTRACT_CASE(AFileIsAppendedToOrEmptiedAndADeviceIsNoRegularFile) {
    support::TempFolder folder("contract-file");
    const std::string path = folder.File("service.log");
    const auto open = [](const std::string& name, DWORD access, DWORD disposition) {
        return platform::CreateFileA(name.c_str(), access,
                                     platform::kFileShareRead | platform::kFileShareWrite, nullptr,
                                     disposition, platform::kFileAttributeNormal, nullptr);
    };
    for (const char* text : {"one\r\n", "two"}) {
        const HANDLE file = open(path, platform::kFileAppendData, platform::kOpenAlways);
        ASSERT_NE(file, platform::kInvalidHandleValue) << platform::GetLastError();
        EXPECT_EQ(platform::GetFileType(file), platform::kFileTypeDisk);
        DWORD count = 0;
        EXPECT_TRUE(platform::WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &count,
                                        nullptr));
        EXPECT_TRUE(platform::CloseHandle(file));
    }
    EXPECT_EQ(support::ReadWholeFile(path), "one\r\ntwo");
    const HANDLE emptied = open(path, platform::kGenericWrite, platform::kCreateAlways);
    ASSERT_NE(emptied, platform::kInvalidHandleValue);
    EXPECT_TRUE(platform::CloseHandle(emptied));
    EXPECT_EQ(support::ReadWholeFile(path), "");

    EXPECT_EQ(open(folder.path, platform::kFileAppendData, platform::kOpenAlways),
              platform::kInvalidHandleValue);
    const HANDLE device = open(support::kNullDevice, platform::kFileAppendData,
                               platform::kOpenAlways);
    ASSERT_NE(device, platform::kInvalidHandleValue) << platform::GetLastError();
    EXPECT_EQ(platform::GetFileType(device), platform::kFileTypeChar);
    EXPECT_TRUE(platform::CloseHandle(device));
}

// The logic writes its quit command into a closed pipe end as handle 0, and a handle closed
// by mistake must fail where it is used rather than reach another object.
CONTRACT_CASE(ClosedNullAndMadeUpHandlesFailAsInvalidInEveryCall) {
    // The event first: Windows may hand a closed handle's value to the next new object.
    const HANDLE event = platform::CreateEventA(nullptr, 0, 0, nullptr);
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_NE(event, nullptr);
    ASSERT_TRUE(platform::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    ASSERT_TRUE(platform::CloseHandle(event));
    ASSERT_TRUE(platform::CloseHandle(readEnd));
    ASSERT_TRUE(platform::CloseHandle(writeEnd));

    const auto expectInvalid = [](const char* call, bool failed) {
        const DWORD error = platform::GetLastError();
        EXPECT_TRUE(failed) << call;
        EXPECT_EQ(error, platform::kErrorInvalidHandle) << call;
        platform::SetLastError(0);
    };
    const HANDLE madeUp = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ffe0000));
    DWORD count = 0;
    char buffer[4];
    platform::SetLastError(0);
    expectInvalid("WriteFile 0", !platform::WriteFile(nullptr, "q", 1, &count, nullptr));
    expectInvalid("WriteFile closed", !platform::WriteFile(writeEnd, "q", 1, &count, nullptr));
    expectInvalid("ReadFile closed", !platform::ReadFile(readEnd, buffer, 4, &count, nullptr));
    expectInvalid("CloseHandle closed", !platform::CloseHandle(writeEnd));
    expectInvalid("CloseHandle 0", !platform::CloseHandle(nullptr));
    expectInvalid("SetHandleInformation closed",
                  !platform::SetHandleInformation(readEnd, platform::kHandleFlagInherit, 0));
    expectInvalid("SetEvent closed", !platform::SetEvent(event));
    expectInvalid("WaitForMultipleObjects closed",
                  platform::WaitForMultipleObjects(1, &event, 0, 0) == platform::kWaitFailed);
    expectInvalid("GetExitCodeProcess made up", !platform::GetExitCodeProcess(madeUp, &count));
    expectInvalid("ResumeThread 0", platform::ResumeThread(nullptr) == platform::kResumeFailed);
}

CONTRACT_CASE(TheLastErrorBelongsToEachThread) {
    // Creating, waiting for and joining a thread may set the last error themselves
    // (Windows), so the two threads meet by spinning on a flag, with no call between.
    std::atomic<int> step{0};
    DWORD seenByOther = 99;
    std::thread other([&] {
        for (long long spins = 0; step.load() != 1 && spins < 20'000'000'000LL; ++spins) {
        }
        seenByOther = platform::GetLastError();
        platform::SetLastError(5678);
        step.store(2);
    });
    platform::SetLastError(1234);
    step.store(1);
    for (long long spins = 0; step.load() != 2 && spins < 20'000'000'000LL; ++spins) {
    }
    const DWORD ours = platform::GetLastError();
    other.join();
    EXPECT_EQ(step.load(), 2);
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(ours, 1234u);
}

DWORD SetTheEvent(void* event) { return platform::SetEvent(static_cast<HANDLE>(event)); }

CONTRACT_CASE(AnEventSetOnAThreadWakesOneWaitAndAWaitForNothingTimesOut) {
    const HANDLE event = platform::CreateEventA(nullptr, 0, 0, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(platform::WaitForMultipleObjects(1, &event, 0, 0), platform::kWaitTimeout);
    EXPECT_EQ(platform::WaitForMultipleObjects(1, &event, 0, 50), platform::kWaitTimeout);
    // The routine gets its parameter: a wrong one would set nothing.
    DWORD threadId = 0;
    const HANDLE thread = platform::CreateThread(nullptr, 0, SetTheEvent, event, 0, &threadId);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(platform::WaitForMultipleObjects(1, &event, 0, Bound()), platform::kWaitObject0);
    // The wait that the set ended took it.
    EXPECT_EQ(platform::WaitForMultipleObjects(1, &event, 0, 0), platform::kWaitTimeout);
    EXPECT_TRUE(platform::CloseHandle(thread));
    EXPECT_TRUE(platform::CloseHandle(event));
}

CONTRACT_CASE(AChildRunsUntilItsInputEndsThenItsEndIsSignalledForGood) {
    const HANDLE event = platform::CreateEventA(nullptr, 0, 0, nullptr);
    const HANDLE job = platform::CreateJobObjectA(nullptr, nullptr);
    ASSERT_NE(event, nullptr);
    ASSERT_NE(job, nullptr);
    Child child;
    ASSERT_TRUE(StartChild(kChildCode, job, child)) << platform::GetLastError();
    DWORD code = 0;
    ASSERT_TRUE(platform::GetExitCodeProcess(child.info.hProcess, &code));
    EXPECT_EQ(code, platform::kStillActive);
    const HANDLE both[2] = {event, child.info.hProcess};
    EXPECT_EQ(platform::WaitForMultipleObjects(2, both, 0, 50), platform::kWaitTimeout);
    // Its copy of the input's read end keeps that pipe open while it runs.
    DWORD written = 0;
    EXPECT_TRUE(platform::WriteFile(child.input, "\n", 1, &written, nullptr));

    // Its input ends only if it holds no write end of its own: ours stayed out of it. And
    // only a resumed child can end.
    contract::EndChildInput(child.input, kChildCode);
    ASSERT_EQ(platform::WaitForMultipleObjects(2, both, 0, Bound()), platform::kWaitObject0 + 1);
    EXPECT_EQ(platform::WaitForMultipleObjects(2, both, 0, 0), platform::kWaitObject0 + 1);
    ASSERT_TRUE(platform::GetExitCodeProcess(child.info.hProcess, &code));
    EXPECT_EQ(code, kChildCode);
    // Its copy of the output's write end went with it.
    DWORD error = 0;
    EXPECT_EQ(ReadToEnd(child.output, error), "");
    EXPECT_EQ(error, platform::kErrorBrokenPipe);
    CloseChild(child);
    EXPECT_TRUE(platform::CloseHandle(job));
    EXPECT_TRUE(platform::CloseHandle(event));
}

// A child that will not end by itself ends the hard way: its job's end, or without a job
// its own, is signalled with the code the platform gives a killed process.
void EndHard(bool byJob) {
    const HANDLE job = byJob ? platform::CreateJobObjectA(nullptr, nullptr) : nullptr;
    ASSERT_EQ(job != nullptr, byJob);
    Child child;
    ASSERT_TRUE(StartChild(kChildCode, job, child)) << platform::GetLastError();
    ASSERT_TRUE(byJob ? platform::TerminateJobObject(job, 77)
                      : platform::TerminateProcess(child.info.hProcess, 77));
    ASSERT_EQ(platform::WaitForMultipleObjects(1, &child.info.hProcess, 0, Bound()),
              platform::kWaitObject0);
    DWORD code = 0;
    ASSERT_TRUE(platform::GetExitCodeProcess(child.info.hProcess, &code));
    EXPECT_EQ(code, support::KilledExitCode(77));
    DWORD error = 0;
    ReadToEnd(child.output, error);
    EXPECT_EQ(error, platform::kErrorBrokenPipe);
    CloseChild(child);
    if (job != nullptr) {
        EXPECT_TRUE(platform::CloseHandle(job));
    }
}

CONTRACT_CASE(EndingItsJobEndsAChild) { EndHard(true); }

CONTRACT_CASE(TerminateProcessEndsAChild) { EndHard(false); }

}  // namespace

namespace {

// A client connected to a fresh endpoint, and the endpoint's side of it.
struct ConsolePair {
    HANDLE endpoint = platform::kInvalidHandleValue;
    HANDLE client = platform::kInvalidHandleValue;
    HANDLE server = platform::kInvalidHandleValue;
    char who[128] = "";
};

bool Connect(const std::string& address, ConsolePair& pair) {
    pair.endpoint = platform::CreateConsoleEndpoint(address.c_str());
    if (pair.endpoint == platform::kInvalidHandleValue) return false;
    pair.client = platform::ConnectConsoleEndpoint(address.c_str());
    if (pair.client == platform::kInvalidHandleValue) return false;
    pair.server = platform::AcceptConsoleClient(pair.endpoint, pair.who, sizeof pair.who);
    return pair.server != platform::kInvalidHandleValue;
}

std::string ReadSome(HANDLE connection, DWORD milliseconds) {
    char buffer[256];
    DWORD got = 0;
    if (!platform::ReadConnection(connection, buffer, sizeof buffer, &got, milliseconds)) return "";
    return std::string(buffer, got);
}

}  // namespace

// The console's endpoint: bytes go both ways, a read gives up after its bound, a closed side
// is a broken pipe for the other, the address is the endpoint's alone while it is open, and
// nothing at an address is "not found".
CONTRACT_CASE(AConsoleEndpointCarriesBytesBothWaysAndKeepsItsAddress) {
    const std::string address = contract::ConsoleAddress("both-ways");
    ConsolePair pair;
    ASSERT_TRUE(Connect(address, pair)) << platform::GetLastError();
    EXPECT_STRNE(pair.who, "");

    ASSERT_TRUE(platform::WriteConnection(pair.client, "status\n", 7, Bound()));
    EXPECT_EQ(ReadSome(pair.server, Bound()), "status\n");
    ASSERT_TRUE(platform::WriteConnection(pair.server, "ok\n", 3, Bound()));
    EXPECT_EQ(ReadSome(pair.client, Bound()), "ok\n");

    DWORD got = 0;
    char byte = 0;
    EXPECT_FALSE(platform::ReadConnection(pair.server, &byte, 1, &got, 50));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorTimeout);

    // A second endpoint at the same address is refused while the first is open.
    EXPECT_EQ(platform::CreateConsoleEndpoint(address.c_str()), platform::kInvalidHandleValue);

    ASSERT_TRUE(platform::CloseHandle(pair.client));
    EXPECT_FALSE(platform::ReadConnection(pair.server, &byte, 1, &got, Bound()));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
    platform::CloseHandle(pair.server);
    platform::CloseHandle(pair.endpoint);

    const std::string nowhere = contract::ConsoleAddress("nowhere");
    EXPECT_EQ(platform::ConnectConsoleEndpoint(nowhere.c_str()), platform::kInvalidHandleValue);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
}
