// The control handler: stop, interrogate and every other request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/control.h"
#include "service_test_support.h"
#include "state/input.h"
#include "state/server.h"
#include "state/lifecycle.h"
#include "supervision/launch.h"
#include "supervision/reader.h"
#include "supervision/supervise.h"

namespace {

using service_test::ServiceTest;
using service_test::SetText;
using service_test::Show;

using Strings = std::vector<std::string>;

// The input pipe's write end, as the launch hands it out.
platform::HANDLE const kQuitPipe = reinterpret_cast<platform::HANDLE>(4);

class ControlTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        PrepareStatus();
        fake::SetThreadMode(fake::ThreadMode::RunUntilIdle);
    }

    // A service that runs: server started, hint seen, running reported. The log and the
    // reports start empty from here.
    void StartRunning() {
        fake::PushRead("STARTED\n");
        ASSERT_EQ(LaunchServer(), 0u);
        ASSERT_EQ(fake::Reports().size(), 1u);
        logBefore_ = Log();
    }

    // A stop request, and the supervising thread's turn to act on it.
    static void Stop() {
        ControlHandler(platform::kServiceControlStop);
        EXPECT_EQ(Supervise(), kStopReportedAlready);
    }

    std::string NewLog() const { return Log().substr(logBefore_.size()); }
    static std::vector<platform::SERVICE_STATUS> NewReports() {
        std::vector<platform::SERVICE_STATUS> reports = fake::Reports();
        reports.erase(reports.begin());
        return reports;
    }

    std::string logBefore_;
};

// --- Stop -----------------------------------------------------------------------------------------

TEST_F(ControlTest, AStopWritesExactlyTheSixQuitBytesLogsStoppedAndReportsStopped) {
    StartRunning();
    Stop();
    EXPECT_EQ(fake::Written(kQuitPipe), std::string("quit\r\n"));
    EXPECT_EQ(fake::CallsStartingWith("WriteFile"), Strings{"WriteFile h4 6"});
    EXPECT_EQ(NewLog(), "stopped.\n");
    const auto reports = NewReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].ServiceType, 0x30u);
    EXPECT_EQ(reports[0].CurrentState, platform::kServiceStopped);
    EXPECT_EQ(reports[0].ControlsAccepted, 1u);
    EXPECT_EQ(reports[0].Win32ExitCode, 0u);
    EXPECT_EQ(reports[0].ServiceSpecificExitCode, 0u);
    EXPECT_EQ(reports[0].CheckPoint, 0u);
    EXPECT_EQ(reports[0].WaitHint, 0u);
    // The server is neither waited for nor ended; of its handles only our end of its input
    // goes, so that it reads the command and then end of file.
    EXPECT_TRUE(fake::CallsStartingWith("TerminateJobObject").empty());
    EXPECT_EQ(fake::CallsStartingWith("CloseHandle"), Strings{"CloseHandle h4"});
}

TEST_F(ControlTest, AConfiguredQuitCommandIsWrittenByteForByteWithNoLineEndAdded) {
    SetText(Settings.QuitCommand, "quit");
    StartRunning();
    Stop();
    EXPECT_EQ(fake::Written(kQuitPipe), "quit");
}

TEST_F(ControlTest, AnEmptyQuitCommandStillMakesTheWriteCall) {
    SetText(Settings.QuitCommand, "");
    StartRunning();
    Stop();
    EXPECT_EQ(fake::CallsStartingWith("WriteFile"), Strings{"WriteFile h4 0"});
    EXPECT_EQ(NewLog(), "stopped.\n");
}

TEST_F(ControlTest, AQuitCommandLostToAFailedAllocationIsWrittenAsAnEmptyOne) {
    service_test::ClearText(Settings.QuitCommand);
    StartRunning();
    Stop();
    EXPECT_EQ(fake::CallsStartingWith("WriteFile"), Strings{"WriteFile h4 0"});
    EXPECT_EQ(NewReports().at(0).CurrentState, platform::kServiceStopped);
}

TEST_F(ControlTest, AFailedWriteIsLoggedWithItsCodeWhichTheStoppedReportCarries) {
    StartRunning();
    fake::Fail(fake::Op::WriteFile, 1, 232);
    Stop();
    EXPECT_EQ(NewLog(), "Error writing stop command 232.\n");
    const auto reports = NewReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].CurrentState, platform::kServiceStopped);
    EXPECT_EQ(reports[0].Win32ExitCode, 232u);
}

TEST_F(ControlTest, AStopReplacesTheServersStoredExitCode) {
    StartRunning();
    {
        std::lock_guard lock(ServiceLock);
        ServiceStatus.Win32ExitCode = 3;
    }
    Stop();
    EXPECT_EQ(NewReports().at(0).Win32ExitCode, 0u);
}

TEST_F(ControlTest, AStopAfterTheReaderClosedThePipesFailsWithTheInvalidHandleCode) {
    fake::SetExitCode(7);
    fake::PushRead("no hint here\n");
    fake::PushReadFailure(109);
    fake::SetSleepHook([](int sleep) {
        if (sleep == 1) ControlHandler(platform::kServiceControlStop);
    });
    ASSERT_EQ(LaunchServer(), kStopReportedAlready);
    const std::string expected =
        "Error writing stop command " + std::to_string(platform::kErrorInvalidHandle) + ".\n";
    EXPECT_EQ(Log().substr(Log().size() - expected.size()), expected);
    const auto reports = fake::Reports();
    EXPECT_EQ(reports.back().CurrentState, platform::kServiceStopped);
    EXPECT_EQ(reports.back().Win32ExitCode, platform::kErrorInvalidHandle);
    // The write went to no handle at all: never into a closed or reused one.
    EXPECT_EQ(fake::ClosedHandleUses(), 0);
}

TEST_F(ControlTest, AFailingStoppedReportIsLoggedAfterTheStopMessage) {
    StartRunning();
    fake::Fail(fake::Op::SetServiceStatus, 2, 1062);
    Stop();
    EXPECT_EQ(NewLog(), "stopped.\nSetServiceStatus error 1062\n");
}

TEST_F(ControlTest, ASecondStopChangesNothing) {
    StartRunning();
    Stop();
    ControlHandler(platform::kServiceControlStop);
    EXPECT_EQ(fake::Written(kQuitPipe), "quit\r\n");
    EXPECT_EQ(NewReports().size(), 1u);
    EXPECT_EQ(NewLog(), "stopped.\n");
}

// --- Interrogate and the rest ----------------------------------------------------------------

TEST_F(ControlTest, AnInterrogationReportsTheRecordUnchangedAndLogsNothing) {
    StartRunning();
    const platform::SERVICE_STATUS before = Record();
    ControlHandler(platform::kServiceControlInterrogate);
    const auto reports = NewReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(Show(reports[0]), Show(before));
    EXPECT_EQ(NewLog(), "");
    EXPECT_TRUE(fake::CallsStartingWith("WriteFile").empty());
}

TEST_F(ControlTest, AnyOtherCodeIsLoggedAsUnrecognisedAndAnsweredWithOneReport) {
    StartRunning();
    const platform::SERVICE_STATUS before = Record();
    ControlHandler(2);
    ControlHandler(6);
    EXPECT_EQ(NewLog(), "Unrecognized opcode 2\nUnrecognized opcode 6\n");
    const auto reports = NewReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(Show(reports[0]), Show(before));
    EXPECT_EQ(Show(reports[1]), Show(before));
    EXPECT_TRUE(fake::CallsStartingWith("WriteFile").empty());
}

TEST_F(ControlTest, CodesFrom2147483648OnArePrintedAsNegativeNumbers) {
    StartRunning();
    ControlHandler(2147483648u);
    ControlHandler(4294967295u);
    EXPECT_EQ(NewLog(), "Unrecognized opcode -2147483648\nUnrecognized opcode -1\n");
}

TEST_F(ControlTest, NothingIsReportedAfterStopped) {
    StartRunning();
    Stop();
    ControlHandler(platform::kServiceControlInterrogate);
    ControlHandler(5);
    const auto reports = NewReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].CurrentState, platform::kServiceStopped);
    // The request is still logged: it did arrive.
    EXPECT_EQ(NewLog(), "stopped.\nUnrecognized opcode 5\n");
}

TEST_F(ControlTest, TheProcessExitCodeIsTheStoppedReportsNotALaterWrite) {
    fake::SetSleepHook([](int sleep) {
        if (sleep == 1) ControlHandler(platform::kServiceControlStop);
    });
    EXPECT_EQ(LaunchServer(), kStopReportedAlready);
    // The server ends and its output breaks after the stop: the reader stores its code.
    fake::SetExitCode(42);
    fake::PushReadFailure(109);
    ASSERT_TRUE(fake::WaitForReader(1));
    EXPECT_EQ(Record().Win32ExitCode, 42u);
    platform::DWORD exitCode = 99;
    ASSERT_TRUE(StoppedExitCode(&exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(fake::Reports().back().CurrentState, platform::kServiceStopped);
}

// --- Commands on control codes, through the input writer --------------------------------

TEST_F(ControlTest, AControlCodeWithACommandWritesItBeforeTheQuitCommand) {
    SetText(Settings.ControlCommands[129 - 128], "save-all");
    StartRunning();
    ControlHandler(129);
    ControlHandler(130);  // no command: an unrecognized opcode, as before
    ControlHandler(platform::kServiceControlStop);
    EXPECT_EQ(Supervise(), kStopReportedAlready);
    EXPECT_EQ(fake::Written(reinterpret_cast<platform::HANDLE>(4)), "save-all\r\nquit\r\n");
    const std::string log = Log();
    EXPECT_NE(log.find("Command from control code 129: save-all\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Unrecognized opcode 130\n"), std::string::npos) << log;
    // A command changes nothing of the service's state: only the code without one reports.
    EXPECT_EQ(service_test::States(fake::Reports()), (std::vector<platform::DWORD>{4, 4, 1}));
}

// A writer that never gets its quit command out (a server that does not read) holds up
// nothing: without a stop timeout the stopped report follows after the short wait, with
// the timeout's code.
TEST_F(ControlTest, AStopWithoutAWaitIsNotHeldUpByAWriterThatCannotWrite) {
    SetText(Settings.ControlCommands[0], "say hi");
    StartRunning();
    fake::FillPipes();
    ControlHandler(128);  // the writer now waits in its write for good
    const std::uint64_t before = fake::Now();
    ControlHandler(platform::kServiceControlStop);
    EXPECT_EQ(Supervise(), kStopReportedAlready);
    EXPECT_LE(fake::Now() - before, 200u);
    EXPECT_EQ(fake::Reports().back().CurrentState, platform::kServiceStopped);
    EXPECT_EQ(fake::Reports().back().Win32ExitCode, platform::kErrorTimeout);
    const std::string line =
        "Error writing stop command " + std::to_string(platform::kErrorTimeout) + ".\n";
    EXPECT_NE(Log().find(line), std::string::npos) << Log();
}

}  // namespace
