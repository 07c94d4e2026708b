// The start: the reports it makes while it waits for the hint, its timeout on the
// monotonic clock, the grace of a server that never showed its hint, and a stop meanwhile.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "service/control.h"
#include "service_test_support.h"
#include "state/server.h"
#include "supervision/launch.h"
#include "supervision/reader.h"
#include "state/lifecycle.h"
#include "supervision/supervise.h"

namespace {

using service_test::CallsOf;
using service_test::ServiceTest;
using service_test::Show;

using Strings = std::vector<std::string>;

// Expects start-pending reports with check points first, first + 1, ... and wait hint 1000.
void ExpectStartPending(const std::vector<platform::SERVICE_STATUS>& reports, std::size_t from,
                        std::size_t count, platform::DWORD first) {
    ASSERT_GE(reports.size(), from + count);
    for (std::size_t i = 0; i < count; ++i) {
        const platform::SERVICE_STATUS& report = reports[from + i];
        EXPECT_EQ(report.CurrentState, platform::kServiceStartPending) << i;
        EXPECT_EQ(report.CheckPoint, first + i) << i;
        EXPECT_EQ(report.WaitHint, 1000u) << i;
    }
}

class StartupWaitTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        PrepareStatus();
        fake::SetThreadMode(fake::ThreadMode::RunUntilIdle);
    }

    // The server shows its hint during the sleep that follows the given pass: the reader
    // has seen it before the next pass begins.
    static void HintAfterPass(int pass) {
        fake::SetSleepHook([pass](int sleep) {
            if (sleep != pass) return;
            fake::PushRead("server STARTED\n");
            ASSERT_TRUE(fake::WaitForReader(1));
        });
    }
};

// --- A hint that comes ---------------------------------------------------------------------

TEST_F(StartupWaitTest, AHintSeenBeforeTheFirstPassGivesOnlyTheRunningReport) {
    fake::PushRead("STARTED\n");
    EXPECT_EQ(LaunchServer(), 0u);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].CurrentState, platform::kServiceRunning);
    EXPECT_EQ(reports[0].CheckPoint, 0u);
    EXPECT_EQ(reports[0].WaitHint, 1000u);
    EXPECT_EQ(reports[0].ServiceType, 0x30u);
    EXPECT_EQ(reports[0].ControlsAccepted, 1u);
    EXPECT_EQ(fake::Sleeps(), 0);
}

TEST_F(StartupWaitTest, AHintAfterThreePassesGivesCheckPoints0To2ThenRunningWithCheckPoint0) {
    HintAfterPass(3);
    EXPECT_EQ(LaunchServer(), 0u);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStartPending(reports, 0, 3, 0);
    EXPECT_EQ(reports[3].CurrentState, platform::kServiceRunning) << Show(reports[3]);
    EXPECT_EQ(reports[3].CheckPoint, 0u);
    EXPECT_EQ(reports[3].WaitHint, 1000u);
    // Each pass reports, then waits half a second at most.
    EXPECT_EQ(CallsOf({"SetServiceStatus", "Wait"}),
              (Strings{"SetServiceStatus 2 0", "Wait 500", "SetServiceStatus 2 1", "Wait 500",
                       "SetServiceStatus 2 2", "Wait 500", "SetServiceStatus 4 0"}));
}

TEST_F(StartupWaitTest, AFailingReportIsLoggedAndTheWaitGoesOnWithTheNextCheckPoint) {
    fake::Fail(fake::Op::SetServiceStatus, 2, 1234);
    HintAfterPass(4);
    EXPECT_EQ(LaunchServer(), 0u);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 5u);
    ExpectStartPending(reports, 0, 4, 0);
    EXPECT_EQ(reports[4].CurrentState, platform::kServiceRunning);
    // The second report failed; the hint came after the fourth.
    EXPECT_EQ(Log(), "server.exe --port 7777\nSetServiceStatus error 1234\nserver STARTED\n\n");
}

TEST_F(StartupWaitTest, AFailingRunningReportIsLoggedWithItsCode) {
    fake::Fail(fake::Op::SetServiceStatus, 1, 5);
    fake::PushRead("STARTED");
    EXPECT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(Log(), "server.exe --port 7777\nSTARTED\nSetServiceStatus error 5\n");
}

TEST_F(StartupWaitTest, AHugeTimeoutDoesNotOverflowIntoNoWait) {
    Settings.ServerStartupTimeoutInSeconds = INT_MAX;
    HintAfterPass(2);
    EXPECT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(fake::Reports().size(), 3u);
}

// --- The timeout ------------------------------------------------------------------------------

// Stop-pending reports with check points 0, 1, ... and wait hint 1000.
void ExpectStopPending(const std::vector<platform::SERVICE_STATUS>& reports, std::size_t from,
                       std::size_t count) {
    ASSERT_GE(reports.size(), from + count);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(reports[from + i].CurrentState, platform::kServiceStopPending) << i;
        EXPECT_EQ(reports[from + i].CheckPoint, i) << i;
        EXPECT_EQ(reports[from + i].WaitHint, 1000u) << i;
    }
}

// A start that timed out: `starts` start-pending reports, `stops` of the grace, then
// stopped with 109.
void ExpectTimedOutStart(const std::vector<platform::SERVICE_STATUS>& reports,
                         std::size_t starts, std::size_t stops) {
    ASSERT_EQ(reports.size(), starts + stops + 1);
    ExpectStartPending(reports, 0, starts, 0);
    ExpectStopPending(reports, starts, stops);
    EXPECT_EQ(reports.back().CurrentState, platform::kServiceStopped);
    EXPECT_EQ(reports.back().Win32ExitCode, 109u);
}

TEST_F(StartupWaitTest, TheWaitGivesUpAtTheFirstPassAtWhichTheTimeoutHasPassed) {
    Settings.ServerStartupTimeoutInSeconds = 2;
    // The server ends as soon as it is asked to quit: the grace reports once and ends.
    fake::ExitOnWrite(0);
    EXPECT_EQ(LaunchServer(), kStartFailed);
    // Passes at 0, 500, 1000 and 1500 ms report; the one at 2000 ms leaves.
    const auto reports = fake::Reports();
    ExpectTimedOutStart(reports, 4, 1);
    EXPECT_EQ(CallsOf({"SetServiceStatus 2", "WriteFile"})[4], "WriteFile h4 6");
    EXPECT_EQ(Log(), "server.exe --port 7777\n\nServer ended with exit code 0\n");
}

TEST_F(StartupWaitTest, TimeSpentOutsideTheSleepsCountsTowardsTheTimeout) {
    Settings.ServerStartupTimeoutInSeconds = 3;
    // Each report takes a second: passes at 0, 1500 and 3000 ms.
    fake::SetSleepHook([](int) { fake::Advance(1000); });
    EXPECT_EQ(LaunchServer(), kStartFailed);
    // The writer writes the quit command beside the grace's first report, in either order.
    const auto calls = CallsOf({"SetServiceStatus 2", "WriteFile"});
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "SetServiceStatus 2 0");
    EXPECT_EQ(calls[1], "SetServiceStatus 2 1");
    EXPECT_EQ(calls[2], "WriteFile h4 6");  // the quit command: the wait is over
}

TEST_F(StartupWaitTest, AfterTheTimeoutTheServerIsAskedToQuitThenItsJobIsEndedAfterTheGrace) {
    Settings.ServerStartupTimeoutInSeconds = 1;
    const std::uint64_t start = fake::Now();
    EXPECT_EQ(LaunchServer(), kStartFailed);
    const auto reports = fake::Reports();
    // Two passes of the wait, then ten of the grace reporting stop pending, then stopped.
    ExpectTimedOutStart(reports, 2, 10);
    EXPECT_EQ(fake::Now() - start, 1000 + kTimeoutGraceMilliseconds);
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
    const auto calls = CallsOf({"WriteFile", "SetServiceStatus 2", "TerminateJobObject"});
    EXPECT_EQ(calls[2], "WriteFile h4 6");
    EXPECT_EQ(calls.back(), "TerminateJobObject j1 109");
    EXPECT_EQ(Log(), "server.exe --port 7777\n\n" + std::string(kNoHintEndMessage));
}

TEST_F(StartupWaitTest, AServerThatQuitsDuringTheGraceIsNotEndedTheHardWay) {
    Settings.ServerStartupTimeoutInSeconds = 1;
    fake::SetSleepHook([](int sleep) {
        if (sleep == 4) fake::SetExitCode(0);  // two waits into the grace
    });
    EXPECT_EQ(LaunchServer(), kStartFailed);
    // Not ended the hard way; what it left behind is ended with the service.
    EXPECT_TRUE(service_test::HardEnds().empty());
    EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject"), Strings{"TerminateJobObject j1 1"});
    EXPECT_EQ(service_test::States(fake::Reports()),
              (std::vector<platform::DWORD>{2, 2, 3, 3, 1}));
    EXPECT_EQ(Log(), "server.exe --port 7777\n\nServer ended with exit code 0\n");
}

// Windows's manager ends a service whose first report is stop pending, and leaves its
// server behind: the first report is start pending even when there is nothing to wait for.
TEST_F(StartupWaitTest, ATimeoutOf0ReportsStartPendingOnceThenTheGrace) {
    Settings.ServerStartupTimeoutInSeconds = 0;
    EXPECT_EQ(LaunchServer(), kStartFailed);
    const auto reports = fake::Reports();
    ExpectTimedOutStart(reports, 1, 10);
    EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject"), Strings{"TerminateJobObject j1 109"});
}

TEST_F(StartupWaitTest, ANegativeTimeoutIsATimeoutOf0) {
    Settings.ServerStartupTimeoutInSeconds = -5;
    fake::ExitOnWrite(0);
    EXPECT_EQ(LaunchServer(), kStartFailed);
    EXPECT_EQ(service_test::States(fake::Reports()), (std::vector<platform::DWORD>{2, 3, 1}));
}

TEST_F(StartupWaitTest, ATimeoutOf0WithTheHintAlreadySeenStillStarts) {
    Settings.ServerStartupTimeoutInSeconds = 0;
    fake::PushRead("STARTED");
    EXPECT_EQ(LaunchServer(), 0u);
    ASSERT_EQ(fake::Reports().size(), 1u);
    EXPECT_EQ(fake::Reports()[0].CurrentState, platform::kServiceRunning);
}

TEST_F(StartupWaitTest, ReportsAfterTheServersOutputBrokeCarryItsExitCode) {
    Settings.ServerStartupTimeoutInSeconds = 2;
    fake::SetExitCode(3);
    fake::PushReadFailure(109);  // the reader ends before the first pass
    EXPECT_EQ(LaunchServer(), kStartFailed);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(reports[i].Win32ExitCode, 3u) << Show(reports[i]);
    EXPECT_EQ(reports[4].Win32ExitCode, 109u);
    // The server has ended: nothing is written to it or ended after the timeout.
    EXPECT_TRUE(fake::CallsStartingWith("WriteFile").empty());
    // Not ended the hard way; what it left behind is ended with the service.
    EXPECT_TRUE(service_test::HardEnds().empty());
    EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject"), Strings{"TerminateJobObject j1 1"});
    EXPECT_EQ(fake::ClosedHandleUses(), 0);
}

// --- The server's end during the wait -----------------------------------------------------------

TEST_F(StartupWaitTest, AServerThatEndsBeforeItsHintEndsTheStartAtOnceWith109) {
    Settings.StopWhenServerEnds = 1;
    fake::SetSleepHook([](int sleep) {
        if (sleep != 2) return;
        fake::PushRead("bye\n");
        fake::SetExitCode(7);
        ASSERT_TRUE(fake::WaitForReader(1));
    });
    EXPECT_EQ(LaunchServer(), kStartFailed);
    EXPECT_EQ(service_test::States(fake::Reports()), (std::vector<platform::DWORD>{2, 2, 1}));
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, 109u);
    // What it printed last, the reader's end, and only then the server's end.
    EXPECT_EQ(Log(), "server.exe --port 7777\nbye\n\nServer ended with exit code 7\n");
    // Its end was an event: the wait was not run out, and its handles are closed.
    EXPECT_EQ(fake::Sleeps(), 2);
    EXPECT_FALSE(fake::IsOpen(reinterpret_cast<platform::HANDLE>(5)));
    EXPECT_TRUE(fake::CallsStartingWith("WriteFile").empty());
}

TEST_F(StartupWaitTest, WithStopWhenServerEnds0AnEndBeforeTheHintWaitsForTheTimeout) {
    Settings.StopWhenServerEnds = 0;
    Settings.ServerStartupTimeoutInSeconds = 2;
    fake::SetSleepHook([](int sleep) {
        if (sleep == 1) fake::SetExitCode(7);
    });
    EXPECT_EQ(LaunchServer(), kStartFailed);
    EXPECT_EQ(service_test::States(fake::Reports()),
              (std::vector<platform::DWORD>{2, 2, 2, 2, 1}));
}

// --- A stop request during the wait ----------------------------------------------------------------

// Stop pending is reported before the handler returns: a manager that sends a second
// stop to a service that still says start pending (Wine's) ends its process.
TEST_F(StartupWaitTest, AStopDuringTheWaitEndsItAtOnceWithNoReportAfterStopped) {
    fake::SetSleepHook([](int sleep) {
        if (sleep != 2) return;
        ControlHandler(platform::kServiceControlStop);
        const auto answered = fake::Reports();
        ASSERT_EQ(answered.size(), 3u);
        EXPECT_EQ(answered[2].CurrentState, platform::kServiceStopPending);
        EXPECT_EQ(answered[2].CheckPoint, 0u);
        // The hint comes late, after the stop: no running report may follow.
        fake::PushRead("STARTED\n");
        ASSERT_TRUE(fake::WaitForReader(1));
    });
    EXPECT_EQ(LaunchServer(), kStopReportedAlready);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStartPending(reports, 0, 2, 0);
    EXPECT_EQ(reports[3].CurrentState, platform::kServiceStopped);
    EXPECT_EQ(reports[3].Win32ExitCode, 0u);
    EXPECT_EQ(fake::Sleeps(), 2);  // the stop woke the wait
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
    EXPECT_TRUE(fake::CallsStartingWith("TerminateJobObject").empty());
}

// The server has had its quit command and the service is about to end: nothing of the
// server's may outlive it, and the quit command, which may still fill the pipe of a server
// that does not read, is not written again.
TEST_F(StartupWaitTest, AStopDuringTheGraceEndsTheServerAtOnceWithoutASecondQuitCommand) {
    Settings.ServerStartupTimeoutInSeconds = 1;
    fake::SetSleepHook([](int sleep) {
        if (sleep == 3) ControlHandler(platform::kServiceControlStop);
    });
    EXPECT_EQ(LaunchServer(), kStopReportedAlready);
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
    EXPECT_EQ(fake::CallsStartingWith("WriteFile").size(), 1u);
    EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject"), Strings{"TerminateJobObject j1 109"});
    EXPECT_EQ(service_test::States(fake::Reports()), (std::vector<platform::DWORD>{2, 2, 3, 1}));
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, 0u);
    EXPECT_EQ(Log(), "server.exe --port 7777\n\nstopped.\n");
}

}  // namespace
