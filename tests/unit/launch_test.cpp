// Starting the server: result codes, what each way out of LaunchServer leaves behind,
// and what the platform receives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service_test_support.h"
#include "state/server.h"
#include "supervision/launch.h"
#include "supervision/reader.h"
#include "supervision/writer.h"

namespace {

using service_test::CallsOf;
using service_test::ServiceTest;
using service_test::SetText;
using service_test::WriteBytes;

using Strings = std::vector<std::string>;
const Strings kHandleCalls = {"CreatePipe", "CreateProcessA", "CreateThread", "CloseHandle",
                              "TerminateProcess", "TerminateJobObject"};

class LaunchTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        PrepareStatus();
        fake::SetThreadMode(fake::ThreadMode::RunUntilIdle);
    }
};

// --- Ways out before the server exists -------------------------------------------------

TEST_F(LaunchTest, AMissingCommandFileGives2AndLeavesNothingBehind) {
    std::filesystem::remove(commandFile_);
    EXPECT_EQ(LaunchServer(), 2u);
    EXPECT_EQ(fake::Calls(), Strings{});
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(fake::Reports().empty());
}

TEST_F(LaunchTest, ACommandFileNameLostToAFailedAllocationGives2) {
    service_test::ClearText(Settings.CommandFile);
    EXPECT_EQ(LaunchServer(), 2u);
    EXPECT_EQ(fake::Calls(), Strings{});
}

TEST_F(LaunchTest, AnEmptyCommandFileGives9AndCreatesNoPipe) {
    WriteBytes(commandFile_, "");
    EXPECT_EQ(LaunchServer(), 9u);
    EXPECT_EQ(fake::Calls(), Strings{});
    EXPECT_EQ(Log(), "");
}

TEST_F(LaunchTest, ACommandFileBeginningWithCtrlZGives9) {
    WriteBytes(commandFile_, "\x1Aserver.exe\r\n");
    EXPECT_EQ(LaunchServer(), 9u);
    EXPECT_EQ(fake::Calls(), Strings{});
}

TEST_F(LaunchTest, AFailedFirstPipeGivesItsErrorAndClosesNothing) {
    fake::Fail(fake::Op::CreatePipe, 1, 8);
    EXPECT_EQ(LaunchServer(), 8u);
    EXPECT_EQ(CallsOf(kHandleCalls), (Strings{"CreatePipe failed"}));
    EXPECT_EQ(Log(), "");
}

TEST_F(LaunchTest, AFailedSecondPipeClosesExactlyTheFirstPipesEnds) {
    fake::Fail(fake::Op::CreatePipe, 2, 1816);
    EXPECT_EQ(LaunchServer(), 1816u);
    EXPECT_EQ(CallsOf(kHandleCalls), (Strings{"CreatePipe h1 h2", "CreatePipe failed",
                                              "CloseHandle h1", "CloseHandle h2"}));
    EXPECT_EQ(fake::OpenHandles(), 0);
    // The command line is logged only once both pipes exist.
    EXPECT_EQ(Log(), "");
    EXPECT_TRUE(fake::Reports().empty());
}

TEST_F(LaunchTest, AFailedProcessCreationClosesTheFourEndsInOrderAfterLoggingTheCommandLine) {
    fake::Fail(fake::Op::CreateProcessA, 1, 2);
    EXPECT_EQ(LaunchServer(), 2u);
    EXPECT_EQ(CallsOf(kHandleCalls),
              (Strings{"CreatePipe h1 h2", "CreatePipe h3 h4", "CreateProcessA failed",
                       "CloseHandle h1", "CloseHandle h2", "CloseHandle h3", "CloseHandle h4",
                       "CloseHandle j1"}));
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_EQ(Log(), "server.exe --port 7777\n");
    EXPECT_TRUE(fake::Reports().empty());
}

TEST_F(LaunchTest, AFailedThreadCreationEndsTheServerAndClosesAllItsHandles) {
    fake::Fail(fake::Op::CreateThread, 1, 8);
    EXPECT_EQ(LaunchServer(), 8u);
    EXPECT_EQ(CallsOf(kHandleCalls),
              (Strings{"CreatePipe h1 h2", "CreatePipe h3 h4", "CreateProcessA h5 h6",
                       "CreateThread failed", "TerminateJobObject j1 8", "CloseHandle h5",
                       "CloseHandle h6", "CloseHandle h1", "CloseHandle h2", "CloseHandle h3",
                       "CloseHandle h4", "CloseHandle j1"}));
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_TRUE(fake::Reports().empty());
    // A stop that comes now finds no handle to write into.
    std::lock_guard lock(ServiceLock);
    EXPECT_EQ(InputPipeWrite, nullptr);
    EXPECT_EQ(ServerProcess.hProcess, nullptr);
}

// --- What the platform receives ------------------------------------------------------------

TEST_F(LaunchTest, BothPipesAreInheritableWithTheDefaultSize) {
    fake::PushRead("STARTED");
    ASSERT_EQ(LaunchServer(), 0u);
    const std::vector<fake::PipeCall> pipes = fake::Pipes();
    ASSERT_EQ(pipes.size(), 2u);
    for (const fake::PipeCall& pipe : pipes) {
        EXPECT_EQ(pipe.attributesLength, sizeof(platform::SECURITY_ATTRIBUTES));
        EXPECT_FALSE(pipe.hasSecurityDescriptor);
        EXPECT_EQ(pipe.inheritHandle, 1);
        EXPECT_EQ(pipe.size, 0u);
    }
}

TEST_F(LaunchTest, TheServerGetsItsCommandLineHiddenWithItsStandardHandlesOnThePipes) {
    fake::PushRead("STARTED");
    ASSERT_EQ(LaunchServer(), 0u);
    const std::vector<fake::ProcessCall> processes = fake::Processes();
    ASSERT_EQ(processes.size(), 1u);
    const fake::ProcessCall& call = processes[0];
    EXPECT_TRUE(call.applicationNameNull);
    EXPECT_EQ(call.commandLine, "server.exe --port 7777");
    EXPECT_TRUE(call.processAttributesNull);
    EXPECT_TRUE(call.threadAttributesNull);
    EXPECT_EQ(call.inheritHandles, 1);
    // Suspended until it is in its job, so that whatever it starts is in the job too; and
    // the service's own ends are kept out of it.
    EXPECT_EQ(call.creationFlags, platform::kCreateSuspended);
    EXPECT_EQ(CallsOf({"SetHandleInformation", "CreateProcessA", "AssignProcessToJobObject",
                       "ResumeThread"}),
              (Strings{"SetHandleInformation h1 1 0", "SetHandleInformation h4 1 0",
                       "CreateProcessA h5 h6", "AssignProcessToJobObject j1 h5",
                       "ResumeThread h6"}));
    EXPECT_TRUE(call.environmentNull);
    EXPECT_EQ(call.startup.cb, sizeof(platform::STARTUPINFOA));
    EXPECT_EQ(call.startup.dwFlags, 0x101u);
    EXPECT_EQ(call.startup.wShowWindow, 0);
    EXPECT_EQ(fake::Name(call.startup.hStdInput), "h3");   // the input pipe's read end
    EXPECT_EQ(fake::Name(call.startup.hStdOutput), "h2");  // the output pipe's write end
    EXPECT_EQ(fake::Name(call.startup.hStdError), "h2");
}

TEST_F(LaunchTest, AnEmptyLaunchFolderIsHandedOverAsAnEmptyText) {
    fake::PushRead("STARTED");
    ASSERT_EQ(LaunchServer(), 0u);
    ASSERT_EQ(fake::Processes().size(), 1u);
    EXPECT_FALSE(fake::Processes()[0].currentDirectoryNull);
    EXPECT_EQ(fake::Processes()[0].currentDirectory, "");
}

TEST_F(LaunchTest, TheLaunchFolderIsHandedOverUnchanged) {
    SetText(Settings.LaunchFolder, "D:\\games\\quorin\\");
    fake::PushRead("STARTED");
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(fake::Processes()[0].currentDirectory, "D:\\games\\quorin\\");
}

TEST_F(LaunchTest, ALaunchFolderLostToAFailedAllocationIsHandedOverAsNoFolder) {
    service_test::ClearText(Settings.LaunchFolder);
    fake::PushRead("STARTED");
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_TRUE(fake::Processes()[0].currentDirectoryNull);
}

TEST_F(LaunchTest, AnEmptyFirstLineStillGoesToProcessCreationAndTheLog) {
    WriteBytes(commandFile_, "\r\nserver.exe\r\n");
    fake::Fail(fake::Op::CreateProcessA, 1, 2);
    EXPECT_EQ(LaunchServer(), 2u);
    ASSERT_EQ(fake::Processes().size(), 1u);
    EXPECT_EQ(fake::Processes()[0].commandLine, "");
    EXPECT_EQ(Log(), "\n");
}

TEST_F(LaunchTest, ACommandLineWithPercentSignsIsLoggedLiterally) {
    WriteBytes(commandFile_, "run.bat %1 %s %d\r\n");
    fake::Fail(fake::Op::CreateProcessA, 1, 2);
    LaunchServer();
    EXPECT_EQ(Log(), "run.bat %1 %s %d\n");
}

// --- A started server ------------------------------------------------------------------------

TEST_F(LaunchTest, AStartedServerKeepsAllItsHandlesOpen) {
    fake::PushRead("server STARTED\n");
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(CallsOf(kHandleCalls), (Strings{"CreatePipe h1 h2", "CreatePipe h3 h4",
                                              "CreateProcessA h5 h6", "CreateThread h7",
                                              "CreateThread h8"}));
    std::lock_guard lock(ServiceLock);
    for (platform::HANDLE handle : {OutputPipeRead, OutputPipeWrite, InputPipeRead,
                                    InputPipeWrite, ServerProcess.hProcess}) {
        EXPECT_TRUE(fake::IsOpen(handle)) << fake::Name(handle);
    }
    EXPECT_NE(ReaderThread, nullptr);
}

TEST_F(LaunchTest, AServerThatCannotBePutIntoItsJobIsEndedAndNothingIsLeftOpen) {
    fake::Fail(fake::Op::AssignProcessToJobObject, 1, 5);
    EXPECT_EQ(LaunchServer(), 5u);
    // Its job does not hold it: the process itself is ended.
    EXPECT_EQ(fake::CallsStartingWith("Terminate"), Strings{"TerminateProcess h5 5"});
    EXPECT_TRUE(fake::CallsStartingWith("ResumeThread").empty());
    EXPECT_EQ(fake::OpenHandles(), 0);
    EXPECT_TRUE(fake::Reports().empty());
}

TEST_F(LaunchTest, TheReaderThenTheWriterRunWithoutAParameter) {
    fake::SetThreadMode(fake::ThreadMode::RecordOnly);
    Settings.ServerStartupTimeoutInSeconds = 0;  // no reader runs, so no hint comes
    EXPECT_EQ(LaunchServer(), 109u);
    const std::vector<fake::ThreadCall> threads = fake::ThreadCalls();
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_EQ(threads[0].routine, &OutputReader);
    EXPECT_EQ(threads[0].parameter, nullptr);
    EXPECT_EQ(threads[1].routine, &InputWriter);
}

TEST_F(LaunchTest, TheLogHoldsTheCommandLineThenTheServersOutput) {
    fake::PushRead("banner 100%\n");
    fake::PushRead("server STARTED\n");
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(Log(), "server.exe --port 7777\nbanner 100%\nserver STARTED\n\n");
}

}  // namespace
