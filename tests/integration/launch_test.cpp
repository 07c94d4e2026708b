// LaunchServer, the output reader and the startup wait with a real server process on
// the real platform layer.
#include <mutex>
#include <string>

#include "config/settings.h"
#include "integration/real_server.h"
#include "state/status.h"
#include "state/server.h"
#include "supervision/launch.h"
#include "supervision/reader.h"
#include "state/lifecycle.h"
#include "supervision/supervise.h"

namespace {

using support::FloodPattern;
using support::WithCrLf;

// --- What the server prints reaches the log as read ----------------------------------

using ServerOutputInTheLog = RealServerTest;

TEST_F(ServerOutputInTheLog, AFull4096ByteReadIsLoggedWholeAndSearchedToItsLastByte) {
    // One write of 4096 bytes whose last seven are the hint.
    Configure(Server("--print-padded 4096:STARTED"));
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(ServerStarted.load(), 1u);
    const std::string expected =
        LoggedCommandLine() + WithCrLf(FloodPattern(4096 - 7)) + "STARTED" + "\r\n";
    EXPECT_EQ(SettledLog(expected), expected);
}

TEST_F(ServerOutputInTheLog, PercentSignsAreWrittenLiterallyAndZeroBytesAreLeftOut) {
    Configure(Server("--print \"100% done %s %d %% \\0STARTED\\0 more\\n\""));
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(ServerStarted.load(), 1u);
    const std::string expected =
        LoggedCommandLine() + "100% done %s %d %% STARTED more\r\n" + "\r\n";
    EXPECT_EQ(SettledLog(expected), expected);
}

TEST_F(ServerOutputInTheLog, OneMiBBeforeTheHintArrivesByteForByteWithCrLfLineEnds) {
    Configure(Server("--flood 1048576 --hint 0"));
    ASSERT_EQ(LaunchServer(), 0u);
    const std::string expected =
        LoggedCommandLine() + WithCrLf(FloodPattern(1048576) + "STARTED\n") + "\r\n";
    EXPECT_EQ(SettledLog(expected), expected);
}

TEST_F(ServerOutputInTheLog, TenMiBAfterTheHintNeitherBlockTheServerNorReachTheLog) {
    const std::string done = File("flood-done");
    Configure(Server("--hint 0 --flood 10485760 --mark " + support::QuoteForCommandLine(done)));
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_TRUE(support::WaitFor([&] { return support::FileExists(done); },
                                 std::chrono::milliseconds(120000)))
        << "the server blocked in its writes";

    // The reader drains the pipe only after its last log line, so a finished flood
    // means a finished log. Only the piece that held the hint is in it; that piece may
    // carry the flood's first bytes.
    const std::string head = LoggedCommandLine() + "STARTED\r\n";
    const std::string log = SettledLog([](const std::string&) { return true; });
    ASSERT_EQ(log.substr(0, head.size()), head);
    ASSERT_GE(log.size(), head.size() + 2);
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
    std::string flood = log.substr(head.size(), log.size() - head.size() - 2);
    for (std::size_t at = flood.find("\r\n"); at != std::string::npos; at = flood.find("\r\n", at))
        flood.erase(at, 1);
    EXPECT_LE(flood.size() + 8, static_cast<std::size_t>(kChunkSize));
    EXPECT_EQ(flood, FloodPattern(flood.size()));
}

TEST_F(ServerOutputInTheLog, AHintSplitOverTwoWritesIsFound) {
    Configure(Server("--split-hint 1000"));
    ASSERT_EQ(LaunchServer(), 0u);
    EXPECT_EQ(ServerStarted.load(), 1u);
    // A start-pending report between the halves fails here (no service manager), and its
    // message, which Log() leaves out, begins a line of its own.
    const std::string whole = LoggedCommandLine() + "STARTED\r\n" + "\r\n";
    const std::string broken = LoggedCommandLine() + "STAR\r\nTED\r\n" + "\r\n";
    const std::string log =
        SettledLog([&](const std::string& text) { return text == whole || text == broken; });
    EXPECT_TRUE(log == whole || log == broken) << log;
}

// --- Starts that fail ----------------------------------------------------------------

using FailedStart = RealServerTest;

TEST_F(FailedStart, AServerThatEndsBeforeItsHintEndsTheStartAtOnce) {
    Configure(Server("--print \"bye\\n\" --exit 3"), 300);
    Settings.StopWhenServerEnds = 1;
    EXPECT_EQ(LaunchServer(), kStartFailed);
    // What it printed, the reader's end, then its end: in that order, well before the
    // timeout.
    EXPECT_EQ(Log(), LoggedCommandLine() + "bye\r\n" + "\r\n" + "Server ended with exit code 3\r\n");
    std::lock_guard lock(ServiceLock);
    EXPECT_EQ(ServiceStatus.CurrentState, platform::kServiceStopped);
    EXPECT_EQ(ServiceStatus.Win32ExitCode, 109u);
    EXPECT_EQ(ServerProcess.hProcess, nullptr);
    EXPECT_EQ(OutputPipeRead, nullptr);
}

TEST_F(FailedStart, AMissingProgramGivesThePlatformsCodeAndClosesThePipes) {
    Configure(support::QuoteForCommandLine(support::MissingProgramPath()) + " --hint 0");
    EXPECT_EQ(LaunchServer(), support::kErrorProgramNotFound);
    EXPECT_EQ(Log(), LoggedCommandLine());
    std::lock_guard lock(ServiceLock);
    EXPECT_EQ(OutputPipeRead, nullptr);
    EXPECT_EQ(OutputPipeWrite, nullptr);
    EXPECT_EQ(InputPipeRead, nullptr);
    EXPECT_EQ(InputPipeWrite, nullptr);
    EXPECT_EQ(ServerProcess.hProcess, nullptr);
}

TEST_F(FailedStart, AFileThatIsNoProgramGivesThePlatformsCode) {
    const std::string text = File("not-a-program.txt");
    support::WriteWholeFile(text, "just text\n");
    Configure(support::QuoteForCommandLine(text));
    EXPECT_EQ(LaunchServer(), support::kErrorNotExecutable);
    EXPECT_EQ(Log(), LoggedCommandLine());
}

TEST_F(FailedStart, AMissingLaunchFolderGivesThePlatformsCode) {
    Configure(Server("--hint 0"));
    platform::Free(Settings.LaunchFolder);
    const std::string missing = File("no-such-folder");
    Settings.LaunchFolder = static_cast<char*>(platform::Allocate(missing.size() + 1));
    missing.copy(Settings.LaunchFolder, missing.size());
    Settings.LaunchFolder[missing.size()] = '\0';
    EXPECT_EQ(LaunchServer(), support::kErrorFolderNotFound);
    EXPECT_EQ(Log(), LoggedCommandLine());
}

// --- The server's standard input -----------------------------------------------------

using ServerInput = RealServerTest;

TEST_F(ServerInput, TheQuitCommandArrivesByteForByteAndNothingElseDoes) {
    const std::string received = File("stdin.bin");
    const std::string ended = File("ended.txt");
    Configure(Server("--hint 0 --stdin-file " + support::QuoteForCommandLine(received) +
                     " --exit-file " + support::QuoteForCommandLine(ended)));
    ASSERT_EQ(LaunchServer(), 0u);
    const std::string expected = LoggedCommandLine() + "STARTED\r\n" + "\r\n";
    EXPECT_EQ(SettledLog(expected), expected);
    PostControl(platform::kServiceControlStop);
    EXPECT_EQ(Supervise(), kStopReportedAlready);
    ASSERT_TRUE(support::WaitFor([&] { return support::FileExists(ended); }))
        << "the server did not end on the quit command";
    EXPECT_EQ(support::ReadWholeFile(ended), "quit\n");
    EXPECT_EQ(support::ReadWholeFile(received), "quit\r\n");
}

}  // namespace
