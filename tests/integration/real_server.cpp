#include "integration/real_server.h"

#include <cstring>
#include <mutex>
#include <regex>

#include "config/log.h"
#include "config/settings.h"
#include "config/settings_for_tests.h"
#include "state/state_for_tests.h"
#include "state/status.h"
#include "state/server.h"
#include "supervision/launch.h"
#include "supervision/reader.h"

namespace {

char* OwnedText(const std::string& text) {
    char* copy = static_cast<char*>(platform::Allocate(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

std::string TestTag() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info != nullptr ? std::string(info->name()) : std::string("integration");
}

bool ServerStillRuns() {
    std::lock_guard lock(ServiceLock);
    if (ServerProcess.hProcess == nullptr) return false;
    platform::DWORD code = 0;
    platform::GetExitCodeProcess(ServerProcess.hProcess, &code);
    return code == platform::kStillActive;
}

// An empty message writes nothing, but it takes the log writer's lock after the
// reader's last message has released it. That orders the reader's use of the settings
// before what this thread does next (freeing them, for one), also for ThreadSanitizer,
// which cannot see the order in the file's growth.
void SynchronizeWithTheLogWriter() { LogText(""); }

}  // namespace

RealServerTest::RealServerTest() : folder_(TestTag()) {}

RealServerTest::~RealServerTest() {
    FinishServer();
    ResetSettingsForTest();
    ResetServiceStateForTest();
}

void RealServerTest::Configure(const std::string& commandLine, int timeoutSeconds) {
    FinishServer();
    ResetSettingsForTest();
    ResetServiceStateForTest();
    commandLine_ = commandLine;
    support::WriteWholeFile(File("server.cmd"), commandLine + "\r\n");

    Settings.UseLog = 1;
    Settings.AppendToExistingLog = 0;
    Settings.ServiceName = OwnedText("");
    Settings.LogFileName = OwnedText(File("service.log"));
    Settings.CommandFile = OwnedText(File("server.cmd"));
    Settings.LaunchFolder = OwnedText("");
    Settings.QuitCommand = OwnedText("quit\r\n");
    Settings.StartHint = OwnedText("STARTED");
    Settings.ServerStartupTimeoutInSeconds = timeoutSeconds;

    // The start values that the start routine sets before the launch.
    std::lock_guard lock(ServiceLock);
    ServiceStatus = {platform::kServiceWin32OwnProcess | platform::kServiceWin32ShareProcess,
                     platform::kServiceStartPending, platform::kServiceAcceptStop, 0, 0, 0, 0};
    finished_ = false;
}

std::string RealServerTest::Server(const std::string& arguments) const {
    return support::QuoteForCommandLine(support::SampleServerPath()) + " " + arguments;
}

std::string RealServerTest::Log() const {
    static const std::regex failedReport("SetServiceStatus error -?[0-9]+\r\n");
    return std::regex_replace(support::ReadWholeFile(File("service.log")), failedReport, "");
}

std::string RealServerTest::SettledLog(const std::string& expected) {
    return SettledLog([&](const std::string& log) { return log == expected; });
}

std::string RealServerTest::SettledLog(
    const std::function<bool(const std::string&)>& complete) {
    support::WaitFor([&] { return complete(Log()); }, std::chrono::milliseconds(10000));
    SynchronizeWithTheLogWriter();
    return Log();
}

std::string RealServerTest::LoggedCommandLine() const { return commandLine_ + "\r\n"; }

void RealServerTest::FinishServer() {
    if (finished_) return;
    finished_ = true;
    const std::size_t logSize = support::ReadWholeFile(File("service.log")).size();
    bool readerRuns = false;
    {
        std::lock_guard lock(ServiceLock);
        readerRuns = OutputPipeRead != nullptr;
        if (ServerProcess.hProcess != nullptr) {
            platform::DWORD code = 0;
            platform::GetExitCodeProcess(ServerProcess.hProcess, &code);
            if (code == platform::kStillActive) platform::TerminateProcess(ServerProcess.hProcess, 1);
        }
        CloseHandleLocked(InputPipeWrite);
        CloseHandleLocked(InputPipeRead);
        CloseHandleLocked(OutputPipeWrite);
    }
    if (!readerRuns) return;  // never launched, or a failed launch closed everything

    if (ServerStarted.load() != 0) {
        // The reader drains the pipe until the server's end is gone too, then returns
        // without touching anything shared. Its read end stays open (left to the
        // process's end) so that its read never meets a closed handle.
        EXPECT_TRUE(support::WaitFor([] { return !ServerStillRuns(); })) << "the server lives on";
        SynchronizeWithTheLogWriter();
        std::lock_guard lock(ServiceLock);
        CloseHandleLocked(ServerProcess.hProcess);
        CloseHandleLocked(ServerProcess.hThread);
        return;
    }
    // The read fails now: the end-of-output path closes the handles, then "\n" is the
    // reader's last act.
    EXPECT_TRUE(support::WaitFor([] {
        std::lock_guard lock(ServiceLock);
        return OutputPipeRead == nullptr;
    })) << "the output reader did not end";
    EXPECT_TRUE(support::WaitFor([&] {
        return support::ReadWholeFile(File("service.log")).size() >= logSize + 2;
    })) << "the output reader's last line did not come";
    SynchronizeWithTheLogWriter();
    std::lock_guard lock(ServiceLock);
    CloseHandleLocked(ServerProcess.hThread);
}
