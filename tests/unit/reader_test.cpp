// The output reader: the log of the server's output, the start hint, and the end of the
// output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service_test_support.h"
#include "state/server.h"
#include "supervision/launch.h"
#include "supervision/reader.h"

namespace {

using service_test::CallsOf;
using service_test::ServiceTest;
using service_test::SetText;

using Strings = std::vector<std::string>;

// --- The hint search over chunks --------------------------------------------------------

// Searches each chunk in turn, as the reader does; the index of the first chunk that
// shows the hint, or -1.
int FirstChunkWithHint(const char* hint, const std::vector<std::string>& chunks) {
    char carry[kCarrySize];
    std::size_t carryLength = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        std::string text = chunks[i];  // as the reader sees it: without its zero bytes
        text.resize(DropZeroBytes(text.data(), text.size()));
        if (FindHint(hint, text.c_str(), text.size(), carry, carryLength)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TEST(FindHintTest, AHintInsideOneChunkIsFoundThere) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {"loading\n", "server STARTED on 7777\n"}), 1);
}

TEST(FindHintTest, AHintSplitOverTwoChunksIsFoundInTheSecond) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {"server STAR", "TED\n"}), 1);
}

TEST(FindHintTest, AHintSpreadOverManySmallChunksIsFound) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {"S", "T", "", "AR", "T", "ED"}), 5);
}

TEST(FindHintTest, BytesBetweenTheHalvesMeanNoHint) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {"STAR", "xTED", "more"}), -1);
}

TEST(FindHintTest, TheFirstLettersInOneChunkAndAWholeHintLaterIsFoundLater) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {"STAR", "ting\n", "ok: STARTED\n"}), 2);
}

TEST(FindHintTest, ALongChunkBetweenHalvesLeavesNoStaleTail) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {"STAR", std::string(5000, 'x'), "TED"}), -1);
}

TEST(FindHintTest, TheMatchIsCaseSensitive) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {"server started\n", "Started"}), -1);
}

TEST(FindHintTest, ZeroBytesAreLeftOutSoTheTextAroundThemIsSearchedAndCarried) {
    EXPECT_EQ(FirstChunkWithHint("STARTED", {std::string("x\0STARTED", 9)}), 0);
    EXPECT_EQ(FirstChunkWithHint("STARTED", {std::string("STAR\0", 5), "TED"}), 1);
    // ASCII text written as UTF-16, as some runtimes print it.
    EXPECT_EQ(FirstChunkWithHint("STARTED", {std::string("S\0T\0A\0R\0T\0E\0D\0", 14)}), 0);
}

TEST(FindHintTest, AnEmptyHintIsFoundInTheFirstChunkEvenAnEmptyOne) {
    EXPECT_EQ(FirstChunkWithHint("", {"", "x"}), 0);
}

TEST(FindHintTest, AHintLostToAFailedAllocationIsNeverFound) {
    EXPECT_EQ(FirstChunkWithHint(nullptr, {"STARTED", "(null)", ""}), -1);
}

TEST(FindHintTest, AOneLetterHintNeedsNoCarry) {
    EXPECT_EQ(FirstChunkWithHint("!", {"abc", "de!"}), 1);
}

// --- The reader on its thread ------------------------------------------------------------

class ReaderTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        PrepareStatus();
        // The server as LaunchServer leaves it: h1 h2 output pipe, h3 h4 input pipe,
        // h5 process, h6 its thread.
        platform::HANDLE ends[4] = {};
        platform::CreatePipe(&ends[0], &ends[1], nullptr, 0);
        platform::CreatePipe(&ends[2], &ends[3], nullptr, 0);
        platform::STARTUPINFOA startup = {};
        platform::PROCESS_INFORMATION information = {};
        char commandLine[] = "server.exe";
        platform::CreateProcessA(nullptr, commandLine, nullptr, nullptr, 1, 0, nullptr, nullptr,
                                 &startup, &information);
        std::lock_guard lock(ServiceLock);
        OutputPipeRead = ends[0];
        OutputPipeWrite = ends[1];
        InputPipeRead = ends[2];
        InputPipeWrite = ends[3];
        ServerProcess = information;
    }

    // Runs the reader on this thread until it ends: a script must end in a failed read.
    static void RunReader() { EXPECT_EQ(OutputReader(nullptr), 1u); }
};

TEST_F(ReaderTest, EachChunkReachesTheLogOnceExactlyAsRead) {
    fake::PushRead("first line\r\n");
    fake::PushRead("100% done, %s %d %n\n");
    fake::PushReadFailure(109);
    RunReader();
    EXPECT_EQ(Log(), "first line\r\n100% done, %s %d %n\n\n");
    EXPECT_EQ(ServerStarted.load(), 0u);
}

TEST_F(ReaderTest, AFullReadOf4096BytesIsLoggedAndSearchedWhole) {
    const std::string full = std::string(4096 - 7, '.') + "STARTED";
    fake::PushRead(full);
    fake::ReleaseReads();
    RunReader();
    EXPECT_EQ(Log(), full + "\n");
    EXPECT_EQ(ServerStarted.load(), 1u);
}

TEST_F(ReaderTest, OutputLongerThanOneReadArrivesInChunksOf4096) {
    const std::string output = std::string(4096, 'a') + std::string(100, 'b');
    fake::PushRead(output);
    fake::PushReadFailure(109);
    RunReader();
    EXPECT_EQ(Log(), output + "\n");
    EXPECT_EQ(fake::CallsStartingWith("ReadFile").size(), 3u);
}

TEST_F(ReaderTest, AZeroByteNeitherHidesTheRestOfItsReadNorTheHint) {
    fake::PushRead(std::string("booting\n\0junk\nServer STARTED\n", 29));
    fake::ReleaseReads();
    RunReader();
    EXPECT_EQ(Log(), "booting\njunk\nServer STARTED\n\n");
    EXPECT_EQ(ServerStarted.load(), 1u);
}

TEST_F(ReaderTest, AHintSplitOverTwoReadsIsFoundAndEachChunkLoggedOnce) {
    fake::PushRead("server STA");
    fake::PushRead("RTED on 7777\n");
    fake::ReleaseReads();
    RunReader();
    EXPECT_EQ(ServerStarted.load(), 1u);
    EXPECT_EQ(Log(), "server STARTED on 7777\n\n");
}

TEST_F(ReaderTest, AfterTheHintTheOutputIsReadOnButNotLoggedAndNothingIsClosed) {
    fake::PushRead("STARTED\n");
    fake::PushRead("chatter after the start\n");
    fake::PushRead(std::string(10000, 'z'));
    fake::PushReadFailure(109);
    RunReader();
    EXPECT_EQ(Log(), "STARTED\n\n");
    EXPECT_EQ(fake::ReadsTaken(), 4);  // drained to the end, so the server never blocks
    EXPECT_TRUE(fake::CallsStartingWith("GetExitCodeProcess").empty());
    EXPECT_TRUE(fake::CallsStartingWith("CloseHandle").empty());
    EXPECT_EQ(fake::OpenHandles(), 6);
    EXPECT_EQ(Record().Win32ExitCode, 0u);
}

TEST_F(ReaderTest, TheHintInLowerCaseDoesNotCount) {
    fake::PushRead("server started\n");
    fake::PushReadFailure(109);
    RunReader();
    EXPECT_EQ(ServerStarted.load(), 0u);
}

TEST_F(ReaderTest, AnEmptyHintCountsAtTheFirstReadEvenOfNoBytes) {
    SetText(Settings.StartHint, "");
    fake::PushRead("");
    fake::ReleaseReads();
    RunReader();
    EXPECT_EQ(ServerStarted.load(), 1u);
    EXPECT_EQ(Log(), "\n");
}

TEST_F(ReaderTest, AHintLostToAFailedAllocationNeverCounts) {
    service_test::ClearText(Settings.StartHint);
    fake::PushRead("STARTED (null)\n");
    fake::PushReadFailure(109);
    RunReader();
    EXPECT_EQ(ServerStarted.load(), 0u);
    EXPECT_EQ(Log(), "STARTED (null)\n\n");
}

// The process handle stays open: the supervising thread waits on it and closes it.
TEST_F(ReaderTest, AFailedReadStoresTheRunningServersCodeAndClosesTheFourEndsInOrder) {
    fake::PushRead("partial output");
    fake::PushReadFailure(109);
    RunReader();
    EXPECT_EQ(Record().Win32ExitCode, platform::kStillActive);
    EXPECT_EQ(CallsOf({"GetExitCodeProcess", "CloseHandle"}),
              (Strings{"GetExitCodeProcess h5", "CloseHandle h1", "CloseHandle h2",
                       "CloseHandle h3", "CloseHandle h4"}));
    EXPECT_EQ(Log(), "partial output\n");
    std::lock_guard lock(ServiceLock);
    EXPECT_EQ(OutputPipeRead, nullptr);
    EXPECT_EQ(InputPipeWrite, nullptr);
    EXPECT_NE(ServerProcess.hProcess, nullptr);
}

TEST_F(ReaderTest, AFailedReadStoresTheExitCodeOfAServerThatEnded) {
    fake::SetExitCode(42);
    fake::PushReadFailure(6);
    RunReader();
    EXPECT_EQ(Record().Win32ExitCode, 42u);
    EXPECT_EQ(fake::ClosedHandleUses(), 0);
}

TEST_F(ReaderTest, AFailingExitCodeQueryStillClosesEverything) {
    fake::Fail(fake::Op::GetExitCodeProcess, 1, 6);
    fake::PushReadFailure(109);
    RunReader();
    EXPECT_EQ(Record().Win32ExitCode, 0u);
    EXPECT_EQ(fake::OpenHandles(), 2);  // the server's process and thread handles
}

}  // namespace
