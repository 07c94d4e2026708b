// The program's entry and the service's start routine, through the fake dispatcher.
#include <gtest/gtest.h>

#include <thread>

#include <string>
#include <vector>

#include "service/control.h"
#include "service/entry.h"
#include "service/start.h"
#include "state/status.h"
#include "service_test_support.h"
#include "state/server.h"
#include "supervision/reader.h"
#include "state/lifecycle.h"
#include "supervision/supervise.h"

namespace {

using service_test::ServiceTest;
using service_test::Show;
using service_test::WriteBytes;

using Strings = std::vector<std::string>;

// The settings come from a file named on the command line, as in a real start.
class ServiceStartTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        WriteSettings("");
    }

    void WriteSettings(const std::string& extraLines) {
        UseSettingsFile("UseLog=0\r\n" + extraLines);
    }

    std::string StartupLines() const {
        return "Using INI file: " + iniPath_ + "\nWriting to log file Tallowmere.log\n" +
               "Launching file " + commandFile_.string() + "\nHome folder " + folder_.string() +
               "\nCommand line " + commandLine_ + "\n";
    }

    // Runs the start routine, which goes on supervising the server once the service runs,
    // and stops the service once it has been reported running so that the routine returns.
    static void StartThenStop() {
        std::thread start([] { ServiceStart(0, nullptr); });
        EXPECT_TRUE(support::WaitFor([] {
            const auto reports = fake::Reports();
            return !reports.empty() && reports.back().CurrentState != platform::kServiceStartPending;
        }));
        ControlHandler(platform::kServiceControlStop);
        start.join();
    }

};

// --- The start routine -----------------------------------------------------------------------

TEST_F(ServiceStartTest, AFailedRegistrationIsLoggedAndNothingIsReportedOrStarted) {
    fake::Fail(fake::Op::RegisterServiceCtrlHandlerA, 1, 1072);
    ServiceStart(0, nullptr);
    EXPECT_EQ(Log(), StartupLines() + "RegisterServiceCtrlHandler failed 1072\n");
    EXPECT_TRUE(fake::Reports().empty());
    EXPECT_TRUE(fake::CallsStartingWith("CreatePipe").empty());
}

TEST_F(ServiceStartTest, AStopBeforeTheHandleIsStoredIsReportedAgainWithTheHandle) {
    fake::SetRegistrationHook([] { ControlHandler(platform::kServiceControlStop); });
    ServiceStart(0, nullptr);
    const auto reports = fake::Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().CurrentState, platform::kServiceStopped);
    EXPECT_EQ(fake::CallsStartingWith("SetServiceStatus").size(), 2u);
    EXPECT_TRUE(fake::CallsStartingWith("CreatePipe").empty());
    // No pipe exists yet, so the quit command could not be written: both reports carry
    // that write's error, and so does the process's exit code.
    EXPECT_EQ(reports.front().Win32ExitCode, reports.back().Win32ExitCode);
    platform::DWORD code = 0;
    EXPECT_TRUE(StoppedExitCode(&code));
    EXPECT_EQ(code, reports.back().Win32ExitCode);
}

TEST_F(ServiceStartTest, TheConfiguredServiceNameIsRegistered) {
    WriteSettings("ServiceName=Quorin Game\r\n");
    fake::PushRead("STARTED\n");
    StartThenStop();
    EXPECT_EQ(fake::CallsStartingWith("Register"), Strings{"RegisterServiceCtrlHandlerA Quorin Game"});
    EXPECT_EQ(fake::RegisteredHandler(), &ControlHandler);
}

TEST_F(ServiceStartTest, TheDefaultServiceNameIsRegisteredAsTheEmptyText) {
    fake::PushRead("STARTED\n");
    StartThenStop();
    EXPECT_EQ(fake::CallsStartingWith("Register"), Strings{"RegisterServiceCtrlHandlerA "});
}

TEST_F(ServiceStartTest, ASuccessfulStartLogsEverythingInOrderAndReportsRunning) {
    fake::PushRead("server STARTED\n");
    StartThenStop();
    EXPECT_EQ(Log(), StartupLines() + "server.exe --port 7777\n" + "server STARTED\n" + "\n" +
                         "\nReturning the Main Thread \n" + "stopped.\n");
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(Show(reports[0]), Show({0x30, 4, 1, 0, 0, 0, 1000}));
    EXPECT_EQ(Show(reports[1]), Show({0x30, 1, 1, 0, 0, 0, 0}));
}

TEST_F(ServiceStartTest, AMissingCommandFileGivesOneStoppedReportWithCode2AndNoMessage) {
    std::filesystem::remove(commandFile_);
    ServiceStart(0, nullptr);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Show(reports[0]), Show({0x30, 1, 1, 2, 0, 0, 0}));
    EXPECT_EQ(Log(), StartupLines());
}

TEST_F(ServiceStartTest, AFailingStoppedReportOfAFailedLaunchLeavesNoTrace) {
    std::filesystem::remove(commandFile_);
    fake::Fail(fake::Op::SetServiceStatus, 1, 6);
    ServiceStart(0, nullptr);
    EXPECT_EQ(fake::Reports().size(), 1u);
    EXPECT_EQ(Log(), StartupLines());
}

TEST_F(ServiceStartTest, ATimeoutEndsWithStartPendingThenOneStoppedReportWith109) {
    WriteSettings("ServerStartupTimeoutInSeconds=1\r\n");
    fake::ExitOnWrite(0);
    ServiceStart(0, nullptr);
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(service_test::States(reports), (std::vector<platform::DWORD>{2, 2, 3, 1}));
    EXPECT_EQ(Show(reports[3]), Show({0x30, 1, 1, 109, 0, 0, 0}));
}

TEST_F(ServiceStartTest, ATimeoutOf0EndsTheServerBeforeTheStoppedReport) {
    WriteSettings("ServerStartupTimeoutInSeconds=0\r\n");
    ServiceStart(0, nullptr);
    const auto reports = fake::Reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front().CurrentState, platform::kServiceStartPending);
    EXPECT_EQ(Show(reports.back()), Show({0x30, 1, 1, 109, 0, 0, 0}));
    const auto calls = service_test::CallsOf({"TerminateJobObject", "SetServiceStatus"});
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "TerminateJobObject j1 109");
    EXPECT_EQ(calls.back(), "SetServiceStatus 1 0");
    EXPECT_EQ(Log(), StartupLines() + "server.exe --port 7777\n" + "\n" + kNoHintEndMessage);
}

// --- The program's entry ----------------------------------------------------------------------

TEST_F(ServiceStartTest, TheDispatcherGetsOneServiceUnderTheEmptyName) {
    std::filesystem::remove(commandFile_);
    ProgramEntry();
    EXPECT_FALSE(fake::DispatchedNameNull());
    EXPECT_EQ(fake::DispatchedName(), "");
}

TEST_F(ServiceStartTest, AFailedDispatcherWritesOneDebuggerLineAndNothingElse) {
    fake::Fail(fake::Op::StartServiceCtrlDispatcherA, 1, 1063);
    EXPECT_EQ(ProgramEntry(), 1063u);
    EXPECT_EQ(fake::DebugOutput(), "StartServiceCtrlDispatcher error = 1063\n");
    EXPECT_EQ(fake::DebugOutputCalls(), 1);
    EXPECT_TRUE(fake::CallsStartingWith("Register").empty());
    EXPECT_TRUE(fake::Reports().empty());
}

TEST_F(ServiceStartTest, AFailedDispatcherWithoutAnErrorCodeStillGivesANonzeroResult) {
    fake::Fail(fake::Op::StartServiceCtrlDispatcherA, 1, 0);
    EXPECT_NE(ProgramEntry(), 0u);
    EXPECT_EQ(fake::DebugOutput(), "StartServiceCtrlDispatcher error = 0\n");
}

TEST_F(ServiceStartTest, AStartAndAStopEndTheProcessWithCode0) {
    fake::PushRead("STARTED\n");
    // Both come once the service has been reported running.
    fake::SendControl(platform::kServiceControlInterrogate, 1);
    fake::SendControl(platform::kServiceControlStop, 1);
    EXPECT_EQ(ProgramEntry(), 0u);
    fake::ReleaseReads();  // the reader, draining after the hint, ends
    fake::JoinThreads();
    EXPECT_EQ(service_test::States(fake::Reports()),
              (std::vector<platform::DWORD>{4, 4, 1}));
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "quit\r\n");
    // The start routine's thread acts on the stop, so its last line comes first.
    const std::size_t returning = Log().find("\nReturning the Main Thread \n");
    ASSERT_NE(returning, std::string::npos);
    EXPECT_EQ(Log().find("stopped.\n"), returning + 28);
}

TEST_F(ServiceStartTest, AFailedLaunchEndsTheProcessWithItsCode) {
    std::filesystem::remove(commandFile_);
    EXPECT_EQ(ProgramEntry(), 2u);
}

TEST_F(ServiceStartTest, AFailedQuitWriteEndsTheProcessWithTheWritesCode) {
    fake::PushRead("STARTED\n");
    fake::Fail(fake::Op::WriteFile, 1, 232);
    fake::SendControl(platform::kServiceControlStop, 1);
    EXPECT_EQ(ProgramEntry(), 232u);
}

TEST_F(ServiceStartTest, AStopDuringTheStartWaitEndsTheProcessAndNothingFollowsStopped) {
    fake::SetSleepHook([](int sleep) {
        if (sleep != 2) return;
        fake::SendControl(platform::kServiceControlStop);
        ASSERT_TRUE(fake::WaitForControls(1));
        fake::PushRead("STARTED\n");  // a late hint
        ASSERT_TRUE(fake::WaitForReader(1));
    });
    EXPECT_EQ(ProgramEntry(), 0u);
    // The dispatcher returned at the stopped report; the start routine is still in its
    // sleep. Let it see the late hint, then end the draining reader and the routine.
    ASSERT_TRUE(fake::WaitForReader(1));
    fake::ReleaseReads();
    fake::JoinThreads();
    const auto reports = fake::Reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].CurrentState, platform::kServiceStartPending);
    EXPECT_EQ(reports[1].CurrentState, platform::kServiceStartPending);
    EXPECT_EQ(reports[2].CurrentState, platform::kServiceStopPending);
    EXPECT_EQ(reports[3].CurrentState, platform::kServiceStopped);
    EXPECT_EQ(Log().find("Returning the Main Thread"), std::string::npos);
    EXPECT_EQ(fake::Sleeps(), 2);
}

}  // namespace
