// The wait for the start hint: the reports it makes, its timeout on the monotonic clock,
// and the end of a server that never showed its hint.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "service/control.h"
#include "service_test_support.h"
#include "supervision/launch.h"
#include "supervision/reader.h"
#include "supervision/startup_wait.h"

namespace {

using service_test::CallsOf;
using service_test::ServiceTest;
using service_test::Show;

using Strings = std::vector<std::string>;

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

    // Expects start-pending reports with check points first, first + 1, ... and wait
    // hint 1000.
    static void ExpectStartPending(const std::vector<platform::SERVICE_STATUS>& reports,
                                   std::size_t from, std::size_t count, platform::DWORD first) {
        ASSERT_GE(reports.size(), from + count);
        for (std::size_t i = 0; i < count; ++i) {
            const platform::SERVICE_STATUS& report = reports[from + i];
            EXPECT_EQ(report.CurrentState, platform::kServiceStartPending) << i;
            EXPECT_EQ(report.CheckPoint, first + i) << i;
            EXPECT_EQ(report.WaitHint, 1000u) << i;
        }
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
    // Each pass reports, then sleeps half a second.
    EXPECT_EQ(CallsOf({"SetServiceStatus", "Sleep"}),
              (Strings{"SetServiceStatus 2 0", "Sleep 500", "SetServiceStatus 2 1", "Sleep 500",
                       "SetServiceStatus 2 2", "Sleep 500", "SetServiceStatus 4 0"}));
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

TEST_F(StartupWaitTest, TheWaitGivesUpAtTheFirstPassAtWhichTheTimeoutHasPassed) {
    Settings.ServerStartupTimeoutInSeconds = 2;
    // The server ends as soon as it is asked to quit, so the grace adds no report.
    fake::ExitOnWrite(0);
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    // Passes at 0, 500, 1000 and 1500 ms report; the one at 2000 ms leaves.
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 4u);
    ExpectStartPending(reports, 0, 4, 0);
    EXPECT_EQ(CallsOf({"SetServiceStatus", "WriteFile"}).back(), "WriteFile h4 6");
}

TEST_F(StartupWaitTest, TimeSpentOutsideTheSleepsCountsTowardsTheTimeout) {
    Settings.ServerStartupTimeoutInSeconds = 3;
    // Each report takes a second: passes at 0, 1500 and 3000 ms.
    fake::SetSleepHook([](int) { fake::Advance(1000); });
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    const auto calls = CallsOf({"SetServiceStatus", "WriteFile"});
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "SetServiceStatus 2 0");
    EXPECT_EQ(calls[1], "SetServiceStatus 2 1");
    EXPECT_EQ(calls[2], "WriteFile h4 6");  // the quit command: the wait is over
}

TEST_F(StartupWaitTest, AfterTheTimeoutTheServerIsAskedToQuitThenEndedAfterTheGrace) {
    Settings.ServerStartupTimeoutInSeconds = 1;
    const std::uint64_t start = fake::Now();
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    const auto reports = fake::Reports();
    // Two passes of the wait, then ten of the grace, the check points running on.
    ASSERT_EQ(reports.size(), 12u);
    ExpectStartPending(reports, 0, 12, 0);
    EXPECT_EQ(fake::Now() - start, 1000 + kTimeoutGraceMilliseconds);
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
    const auto calls = CallsOf({"WriteFile", "SetServiceStatus", "TerminateProcess"});
    EXPECT_EQ(calls[2], "WriteFile h4 6");
    EXPECT_EQ(calls.back(), "TerminateProcess h5 109");
    EXPECT_EQ(Log(), "server.exe --port 7777\n" + std::string(kServerEndedMessage));
    // No stopped report here: that is the start routine's.
    EXPECT_EQ(Record().CurrentState, platform::kServiceStartPending);
}

TEST_F(StartupWaitTest, AServerThatQuitsDuringTheGraceIsNotEndedTheHardWay) {
    Settings.ServerStartupTimeoutInSeconds = 1;
    fake::SetSleepHook([](int sleep) {
        if (sleep == 4) fake::SetExitCode(0);  // two sleeps into the grace
    });
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    EXPECT_TRUE(fake::CallsStartingWith("TerminateProcess").empty());
    EXPECT_EQ(fake::Reports().size(), 4u);
    EXPECT_EQ(Log().find(kServerEndedMessage), std::string::npos);
}

TEST_F(StartupWaitTest, ATimeoutOf0MakesNoReportAtAllNotEvenDuringTheGrace) {
    Settings.ServerStartupTimeoutInSeconds = 0;
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    EXPECT_TRUE(fake::Reports().empty());
    EXPECT_EQ(fake::CallsStartingWith("TerminateProcess"), Strings{"TerminateProcess h5 109"});
    EXPECT_LE(fake::Sleeps() * 500, static_cast<int>(kTimeoutGraceMilliseconds));
}

TEST_F(StartupWaitTest, ANegativeTimeoutMakesNoReportEither) {
    Settings.ServerStartupTimeoutInSeconds = -5;
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    EXPECT_TRUE(fake::Reports().empty());
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
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 4u);
    for (const auto& report : reports) EXPECT_EQ(report.Win32ExitCode, 3u) << Show(report);
    // Its handles are gone: nothing is written or ended after the timeout.
    EXPECT_TRUE(fake::CallsStartingWith("WriteFile").empty());
    EXPECT_TRUE(fake::CallsStartingWith("TerminateProcess").empty());
    EXPECT_EQ(fake::ClosedHandleUses(), 0);
}

// --- A stop request during the wait ----------------------------------------------------------------

TEST_F(StartupWaitTest, AStopDuringTheWaitEndsItWithNoReportAfterStopped) {
    fake::SetSleepHook([](int sleep) {
        if (sleep != 2) return;
        ControlHandler(platform::kServiceControlStop);
        // The hint comes late, after the stop: no running report may follow.
        fake::PushRead("STARTED\n");
        ASSERT_TRUE(fake::WaitForReader(1));
    });
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 3u);
    ExpectStartPending(reports, 0, 2, 0);
    EXPECT_EQ(reports[2].CurrentState, platform::kServiceStopped);
    EXPECT_EQ(reports[2].Win32ExitCode, 0u);
    EXPECT_EQ(fake::Sleeps(), 2);  // the wait left at its next pass
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
    EXPECT_TRUE(fake::CallsStartingWith("TerminateProcess").empty());
}

TEST_F(StartupWaitTest, AStopDuringTheGraceEndsItWithoutTheHardEnd) {
    Settings.ServerStartupTimeoutInSeconds = 1;
    fake::SetSleepHook([](int sleep) {
        if (sleep == 3) ControlHandler(platform::kServiceControlStop);
    });
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports.back().CurrentState, platform::kServiceStopped);
    EXPECT_TRUE(fake::CallsStartingWith("TerminateProcess").empty());
    EXPECT_EQ(Log().find(kServerEndedMessage), std::string::npos);
}

// The timeout has sent the quit command already; a second one may not fit the pipe beside
// it, and a write into a full pipe of a server that does not read would never return.
TEST_F(StartupWaitTest, AStopDuringTheGraceDoesNotWriteTheQuitCommandAgain) {
    Settings.ServerStartupTimeoutInSeconds = 1;
    fake::SetSleepHook([](int sleep) {
        if (sleep == 3) ControlHandler(platform::kServiceControlStop);
    });
    EXPECT_EQ(LaunchServer(), kStartTimedOut);
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
    EXPECT_EQ(fake::CallsStartingWith("WriteFile").size(), 1u);
    const auto reports = fake::Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().CurrentState, platform::kServiceStopped);
    EXPECT_EQ(reports.back().Win32ExitCode, 0u);
    EXPECT_EQ(Log(), "server.exe --port 7777\nstopped.\n");
}

}  // namespace
