// Whole service lives through the fake platform under faults the real system cannot be
// made to produce on demand: no memory for one text setting, and control requests that
// arrive in bursts while the start routine waits and after it.
#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "service/control.h"
#include "service/entry.h"
#include "state/status.h"
#include "service_test_support.h"
#include "support/support.h"

namespace {

using service_test::ServiceTest;
using service_test::States;
using service_test::WriteBytes;

constexpr platform::DWORD kUnknownControl = 200;
const auto kServerStdin = reinterpret_cast<platform::HANDLE>(4);

class FaultInjectionTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        logPath_ = folder_ / "service.log";
        UseSettingsFile("UseLog=1\r\nAppendToExistingLog=1\r\nLogFileName=" + logPath_.string() +
                        "\r\n");
    }

    // Runs the program to its end and lets the reader and the start routine finish.
    platform::DWORD RunToTheEnd() {
        const platform::DWORD result = ProgramEntry();
        fake::ReleaseReads();
        fake::JoinThreads();
        return result;
    }

    // Everything the program wrote, wherever it went, as one text with LF line ends.
    std::string Messages() const {
        std::string text = fake::DebugOutput() + support::ReadWholeFile(logPath_.string());
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
            plain += text[i];
        }
        return plain;
    }

    static bool NothingFollowsTheStoppedReport() {
        const auto reports = fake::Reports();
        for (std::size_t i = 0; i < reports.size(); ++i) {
            if (reports[i].CurrentState == platform::kServiceStopped) return i + 1 == reports.size();
        }
        return false;
    }

    std::filesystem::path logPath_;
};

// --- No memory for one text setting, in reading order ------------------------------------

struct LostSetting {
    const char* key;
    platform::DWORD exitCode;   // of the process and of the stopped report
    const char* quitWritten;    // what reaches the server's standard input
    bool logFileUsed;           // false: every message goes to the debugger output
};

const LostSetting kLostSettings[] = {
    {"ServiceName", 0, "quit\r\n", true},
    {"LogFileName", 0, "quit\r\n", false},
    {"CommandFile", 2, "", true},
    {"LaunchFolder", 0, "quit\r\n", true},
    {"QuitCommand", 0, "", true},
    // Running on the first output would report a start that nobody saw: the start
    // ends by the timeout instead.
    {"StartHint", 109, "quit\r\n", true},
};

TEST_F(FaultInjectionTest, EachTextSettingLostToNoMemoryStillGivesAWholeServiceLife) {
    for (int nth = 1; nth <= 6; ++nth) {
        const LostSetting& lost = kLostSettings[nth - 1];
        SCOPED_TRACE(lost.key);
        TearDown();
        SetUp();
        fake::FailAllocation(nth);
        fake::PushRead("server STARTED\n");
        // The hint may be looked for before the reader has it: let the second pass see it.
        fake::SetSleepHook([](int sleep) {
            if (sleep == 1) {
                ASSERT_TRUE(fake::WaitForReader(1));
            }
        });
        // The stop comes once the service runs (or has stopped on its own).
        std::thread stopper([] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < deadline) {
                const auto reports = fake::Reports();
                if (!reports.empty() &&
                    reports.back().CurrentState != platform::kServiceStartPending &&
                    reports.back().CurrentState != platform::kServiceStopPending) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            fake::SendControl(platform::kServiceControlStop);
        });

        EXPECT_EQ(RunToTheEnd(), lost.exitCode);
        stopper.join();
        const auto reports = fake::Reports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().CurrentState, platform::kServiceStopped);
        EXPECT_EQ(reports.back().Win32ExitCode, lost.exitCode);
        EXPECT_TRUE(NothingFollowsTheStoppedReport());
        EXPECT_EQ(fake::Written(kServerStdin), lost.quitWritten);

        const std::string messages = Messages();
        EXPECT_NE(messages.find("Error - Out of memory"), std::string::npos) << messages;
        EXPECT_EQ(std::filesystem::exists(logPath_), lost.logFileUsed);
        if (lost.exitCode == 0) {
            auto states = States(reports);
            if (states.front() == platform::kServiceStartPending) states.erase(states.begin());
            EXPECT_EQ(states, (std::vector<platform::DWORD>{4, 1}));
            EXPECT_NE(messages.find("server STARTED\n"), std::string::npos) << messages;
            EXPECT_NE(messages.find("stopped.\n"), std::string::npos) << messages;
            const auto processes = fake::Processes();
            ASSERT_EQ(processes.size(), 1u);
            // A lost launch folder means the service's own folder, never a garbled one.
            EXPECT_EQ(processes[0].currentDirectoryNull, nth == 4);
            if (nth != 4) {
                EXPECT_EQ(processes[0].currentDirectory, folder_.string());
            }
        } else if (lost.exitCode == 109) {
            // Start pending until the timeout, stop pending through the grace, stopped.
            auto states = States(reports);
            states.pop_back();
            const auto grace = std::find(states.begin(), states.end(), 3u);
            EXPECT_EQ(std::count(states.begin(), grace, 2u), grace - states.begin());
            EXPECT_EQ(std::count(grace, states.end(), 3u), states.end() - grace);
            EXPECT_NE(messages.find("Server ended: no start hint within the timeout"),
                      std::string::npos) << messages;
            EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject").size(), 1u);
        } else {
            EXPECT_EQ(States(reports), (std::vector<platform::DWORD>{1}));
            EXPECT_TRUE(fake::Processes().empty());
        }
    }
}

// --- Control requests in bursts ---------------------------------------------------------

TEST_F(FaultInjectionTest, ABurstOfControlsDuringTheWaitStopsOnceAndReportsNothingAfter) {
    constexpr int kRounds = 30;
    fake::SetSleepHook([](int sleep) {
        if (sleep != 2) return;
        for (int i = 0; i < kRounds; ++i) {
            fake::SendControl(platform::kServiceControlInterrogate);
            fake::SendControl(kUnknownControl);
            fake::SendControl(platform::kServiceControlStop);
        }
        // The dispatcher returns at the stopped report: the first stop ends the burst.
        ASSERT_TRUE(fake::WaitForControls(3));
        fake::PushRead("STARTED\n");  // a late hint, which must bring no running report
        ASSERT_TRUE(fake::WaitForReader(1));
    });
    EXPECT_EQ(ProgramEntry(), 0u);
    // The dispatcher returned at the stopped report; the start routine may still be in
    // its sleep. Let the late hint reach the reader before the reads are released.
    ASSERT_TRUE(fake::WaitForReader(1));
    fake::ReleaseReads();
    fake::JoinThreads();
    // Late requests a manager might still hand over once stopped was reported.
    for (int i = 0; i < kRounds; ++i) {
        ControlHandler(platform::kServiceControlInterrogate);
        ControlHandler(kUnknownControl);
        ControlHandler(platform::kServiceControlStop);
    }
    // Start pending (the passes of the wait and the answers to the requests before the
    // first stop), stop pending from that stop on, then the one stopped report.
    auto states = States(fake::Reports());
    ASSERT_GE(states.size(), 5u);
    EXPECT_EQ(states.back(), platform::kServiceStopped);
    states.pop_back();
    const auto firstStopping = std::find(states.begin(), states.end(), 3u);
    ASSERT_NE(firstStopping, states.end());
    EXPECT_GE(firstStopping - states.begin(), 2);
    EXPECT_TRUE(std::all_of(states.begin(), firstStopping, [](auto s) { return s == 2; }));
    EXPECT_TRUE(std::all_of(firstStopping, states.end(), [](auto s) { return s == 3; }));
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, 0u);
    EXPECT_EQ(fake::Written(kServerStdin), "quit\r\n");
    EXPECT_EQ(Messages().find("Returning the Main Thread"), std::string::npos);
}

TEST_F(FaultInjectionTest, ABurstOfControlsAfterTheWaitIsAnsweredInOrderAndStopsOnce) {
    constexpr int kRounds = 40;
    fake::PushRead("STARTED\n");
    for (int i = 0; i < kRounds; ++i) {
        fake::SendControl(platform::kServiceControlInterrogate, 1);
        fake::SendControl(kUnknownControl, 1);
    }
    fake::SendControl(platform::kServiceControlStop, 1);
    fake::SendControl(platform::kServiceControlStop, 1);
    EXPECT_EQ(RunToTheEnd(), 0u);
    for (int i = 0; i < kRounds; ++i) {
        ControlHandler(platform::kServiceControlStop);
        ControlHandler(platform::kServiceControlInterrogate);
    }

    // Running, then one answer per request (interrogate and unknown alike), then stopped.
    std::vector<platform::DWORD> expected(1 + 2 * kRounds, platform::kServiceRunning);
    expected.push_back(platform::kServiceStopped);
    EXPECT_EQ(States(fake::Reports()), expected);
    EXPECT_EQ(fake::Written(kServerStdin), "quit\r\n");

    // Each unknown request is logged once, whole, and none is lost or torn.
    const std::string messages = Messages();
    std::size_t count = 0;
    for (std::size_t at = messages.find("Unrecognized opcode 200\n"); at != std::string::npos;
         at = messages.find("Unrecognized opcode 200\n", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, static_cast<std::size_t>(kRounds)) << messages;
    EXPECT_EQ(messages.find("stopped.\n"), messages.rfind("stopped.\n"));
}

}  // namespace
