// The lifecycle's cells that the end-to-end scenarios cannot reach at will: requests that
// come while the service is stopping, the shutdown control, a stop before the launch.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "service/control.h"
#include "service_test_support.h"
#include "state/lifecycle.h"
#include "state/server.h"
#include "supervision/launch.h"
#include "supervision/supervise.h"

namespace {

using service_test::ServiceTest;
using service_test::States;

using Strings = std::vector<std::string>;
using StateList = std::vector<platform::DWORD>;

class LifecycleTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        PrepareStatus();
        Settings.StopWhenServerEnds = 1;
        fake::SetThreadMode(fake::ThreadMode::RunUntilIdle);
    }

    // Started and reported running, with a service that waits `seconds` for its server.
    static void RunWithStopTimeout(int seconds) {
        Settings.ServerStopTimeoutInSeconds = seconds;
        fake::PushRead("STARTED\n");
        ASSERT_EQ(LaunchServer(), 0u);
    }
};

TEST_F(LifecycleTest, RequestsWhileStoppingAreAnsweredWithoutASecondQuitCommand) {
    RunWithStopTimeout(10);
    ControlHandler(platform::kServiceControlStop);
    fake::SetSleepHook([](int sleep) {
        if (sleep == 1) {
            ControlHandler(platform::kServiceControlInterrogate);
            ControlHandler(platform::kServiceControlStop);
        }
        if (sleep == 2) fake::SetExitCode(0);  // the server has saved and ends
    });
    EXPECT_EQ(Supervise(), kStopReportedAlready);
    // Running; stop pending; the interrogation's answer; the second stop's; the next
    // pass; stopped.
    EXPECT_EQ(States(fake::Reports()), (StateList{4, 3, 3, 3, 3, 1}));
    EXPECT_EQ(fake::CallsStartingWith("WriteFile"), Strings{"WriteFile h4 6"});
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, 0u);
    // Not ended the hard way; what it left behind is ended with the service.
    EXPECT_TRUE(service_test::HardEnds().empty());
    EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject"), Strings{"TerminateJobObject j1 1"});
}

TEST_F(LifecycleTest, AFailedQuitWriteIsTheStopsCodeEvenWhenTheServerEndsInTime) {
    RunWithStopTimeout(10);
    fake::Fail(fake::Op::WriteFile, 1, 232);
    ControlHandler(platform::kServiceControlStop);
    fake::SetSleepHook([](int sleep) {
        if (sleep == 1) fake::SetExitCode(0);
    });
    EXPECT_EQ(Supervise(), kStopReportedAlready);
    EXPECT_EQ(fake::Reports().back().CurrentState, platform::kServiceStopped);
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, 232u);
    EXPECT_NE(Log().find("Error writing stop command 232.\n"), std::string::npos);
}

// The wait that ends at the deadline times out in the same moment as the server ends by
// itself: its own end wins, and nothing is ended the hard way.
TEST_F(LifecycleTest, AServerThatEndsAsTheStopDeadlineFallsDueIsNotEndedTheHardWay) {
    RunWithStopTimeout(2);
    ControlHandler(platform::kServiceControlStop);
    fake::EndAtNextLook(7);
    EXPECT_EQ(Supervise(), kStopReportedAlready);
    // Not ended the hard way; what it left behind is ended with the service.
    EXPECT_TRUE(service_test::HardEnds().empty());
    EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject"), Strings{"TerminateJobObject j1 1"});
    EXPECT_NE(Log().find("Server ended with exit code 7\n"), std::string::npos) << Log();
    EXPECT_EQ(Log().find(kNoExitEndMessage), std::string::npos) << Log();
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, 0u);
}

// A machine's shutdown must wait for the server's save only when the service waits for it
// at all; otherwise the manager never sends it, and it is any other code. The same holds
// for the preshutdown before it, which is what gives a service time at a shutdown.
TEST_F(LifecycleTest, ShutdownAndPreshutdownAreAStopOnlyForAServiceThatWaitsForItsServer) {
    for (const platform::DWORD control :
         {platform::kServiceControlShutdown, platform::kServiceControlPreshutdown}) {
        SCOPED_TRACE(control);
        TearDown();
        SetUp();
        RunWithStopTimeout(10);
        ControlHandler(control);
        fake::SetSleepHook([](int sleep) {
            if (sleep == 1) fake::SetExitCode(0);
        });
        EXPECT_EQ(Supervise(), kStopReportedAlready);
        EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
        EXPECT_EQ(fake::Reports().back().CurrentState, platform::kServiceStopped);

        TearDown();
        SetUp();
        RunWithStopTimeout(0);
        ControlHandler(control);
        EXPECT_TRUE(fake::CallsStartingWith("WriteFile").empty());
        EXPECT_EQ(States(fake::Reports()), (StateList{4, 4}));
        EXPECT_NE(Log().find("Unrecognized opcode " + std::to_string(control) + "\n"),
                  std::string::npos);
    }
}

TEST_F(LifecycleTest, AStopDuringTheStartWaitsForTheServerToo) {
    Settings.ServerStopTimeoutInSeconds = 10;
    fake::SetSleepHook([](int sleep) {
        if (sleep == 1) ControlHandler(platform::kServiceControlStop);
        if (sleep == 3) fake::SetExitCode(0);
    });
    EXPECT_EQ(LaunchServer(), kStopReportedAlready);
    const auto reports = fake::Reports();
    EXPECT_EQ(States(reports), (StateList{2, 3, 3, 1}));
    // The handler's stop pending is check point 0; the wait's next one goes on from it.
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[1].CheckPoint, 0u);
    EXPECT_EQ(reports[2].CheckPoint, 1u);
    EXPECT_EQ(Log(), "server.exe --port 7777\nstopped.\n\nServer ended with exit code 0\n");
}

TEST_F(LifecycleTest, WithStopWhenServerEnds0TheServersEndIsReapedButNotActedOn) {
    Settings.StopWhenServerEnds = 0;
    RunWithStopTimeout(0);
    std::thread supervisor([] { EXPECT_EQ(Supervise(), kStopReportedAlready); });
    fake::SetExitCode(7);
    // Its handles are closed once its end is seen: on POSIX that is what reaps it.
    EXPECT_TRUE(support::WaitFor([] { return !fake::IsOpen(reinterpret_cast<platform::HANDLE>(5)); }));
    EXPECT_EQ(States(fake::Reports()), (StateList{4}));
    ControlHandler(platform::kServiceControlStop);
    supervisor.join();
    EXPECT_EQ(States(fake::Reports()), (StateList{4, 1}));
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, 0u);
    EXPECT_EQ(Log().find("Server ended"), std::string::npos);
    // The stop needs no wait, and what the ended server left behind goes with the service.
    EXPECT_EQ(fake::CallsStartingWith("TerminateJobObject"), Strings{"TerminateJobObject j1 1"});
}

TEST_F(LifecycleTest, AStopBeforeTheLaunchStartsNoServerAndReportsOnce) {
    ControlHandler(platform::kServiceControlStop);
    EXPECT_EQ(LaunchServer(), kStopReportedAlready);
    EXPECT_TRUE(fake::Processes().empty());
    EXPECT_TRUE(fake::Pipes().empty());
    EXPECT_EQ(States(fake::Reports()), (StateList{1}));
    EXPECT_EQ(fake::Reports()[0].Win32ExitCode, 0u);
    EXPECT_EQ(Log(), "stopped.\n");
    EndStartWithFailure(kStopReportedAlready);  // what the start routine does next
    EXPECT_EQ(fake::Reports().size(), 1u);
}

}  // namespace
