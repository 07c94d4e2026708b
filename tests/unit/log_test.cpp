// The log writer: where each message goes and which bytes reach the log file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "config/log.h"
#include "config/settings.h"
#include "config_test_files.h"
#include "fake/fake_env.h"
#include "fake/fake_files.h"
#include "fake/fake_platform.h"
#include "platform/platform.h"
#include "support/support.h"

namespace {

using config_test::ConfigTest;
using config_test::ReadFile;
using config_test::WriteFile;
using support::WithCrLf;

// Settings own their texts, so the log file name is an allocated copy as LoadSettings
// would make it.
void UseLogFile(int useLog, const std::string& fileName) {
    char* copy = static_cast<char*>(platform::Allocate(fileName.size() + 1));
    std::memcpy(copy, fileName.c_str(), fileName.size() + 1);
    Settings.UseLog = useLog;
    if (Settings.LogFileName != nullptr) platform::Free(Settings.LogFileName);
    Settings.LogFileName = copy;
}

class LogTest : public ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        logPath_ = Path("service.log");
        UseLogFile(1, logPath_.string());
    }

    std::string Log() const { return ReadFile(logPath_); }

    std::filesystem::path logPath_;
};

// --- Bytes in the log file ----------------------------------------------------------------

TEST_F(LogTest, EachLineFeedIsStoredAsCarriageReturnAndLineFeed) {
    LogText("one\ntwo\r\n\nthree");
    EXPECT_EQ(Log(), "one\r\ntwo\r\r\n\r\nthree");
}

TEST_F(LogTest, MessagesFollowOneAnotherWithNothingAdded) {
    LogText("Error - Out of memory");
    LogText("Using INI file: x\n");
    LogText("");
    LogText("tail");
    EXPECT_EQ(Log(), "Error - Out of memoryUsing INI file: x\r\ntail");
    EXPECT_EQ(fake::DebugOutput(), "");
}

TEST_F(LogTest, AnEmptyTextCreatesTheMissingFile) {
    LogText("");
    EXPECT_TRUE(std::filesystem::exists(logPath_));
    EXPECT_EQ(Log(), "");
}

TEST_F(LogTest, PercentSignsAreKeptInBothEntryPoints) {
    LogText("cmd /c run.bat %1 %s %d 100%\n");
    LogFormatted("Command line %s\n", "C:\\100%\\srv.exe %s %d %%");
    LogFormatted("%d%% done\n", 50);
    EXPECT_EQ(Log(),
              "cmd /c run.bat %1 %s %d 100%\r\n"
              "Command line C:\\100%\\srv.exe %s %d %%\r\n"
              "50% done\r\n");
}

// --- The debugger output ------------------------------------------------------------------

TEST_F(LogTest, WithUseLogZeroMessagesReachTheDebuggerOutputUnchangedAndNoFile) {
    Settings.UseLog = 0;
    LogText("cmd %1\r\n");
    LogFormatted("Home folder %s\n", "C:\\50%");
    LogText("");
    EXPECT_EQ(fake::DebugOutput(), "cmd %1\r\nHome folder C:\\50%\n");
    EXPECT_FALSE(std::filesystem::exists(logPath_));
}

// A log that cannot take a message (a full disk, a file gone read-only, a device in its
// place) loses none: the whole message goes to the debugger output, and the next one
// tries the file again.
TEST_F(LogTest, AMessageThatTheLogCannotTakeGoesWholeToTheDebuggerOutput) {
    fake::Fail(fake::Op::FileWrite, 1, 112);  // ERROR_DISK_FULL
    LogText("first\n");
    LogText("second\n");
    EXPECT_EQ(fake::DebugOutput(), "first\n");
    EXPECT_EQ(Log(), "second\r\n");

    const std::string device = support::kNullDevice;
    UseLogFile(1, device);
    LogText("third\n");
    EXPECT_EQ(fake::DebugOutput(), "first\nthird\n");
    EXPECT_EQ(fake::OpenFiles(), 0);
}

// --- Rotation ---------------------------------------------------------------------------

constexpr platform::DWORD kSharingViolation = 32;

// A rotation that fails (a kept file held open by another program) loses nothing: the
// append goes into the log as it is, the failure is told once, and a later append over
// the limit tries again.
TEST_F(LogTest, ARotationThatFailsLosesNothingIsToldOnceAndIsTriedAgain) {
    Settings.LogFileMaxSizeInKilobytes = 1;
    Settings.LogFilesKept = 2;
    const std::string first = std::string(900, 'a') + "\n";
    const std::string second = std::string(200, 'b') + "\n";
    LogText(first.c_str());
    // Every rotation begins by removing service.log.2: the first three cannot.
    for (int nth = 1; nth <= 3; ++nth) fake::Fail(fake::Op::DeleteFileA, nth, kSharingViolation);
    LogText(second.c_str());
    LogText(second.c_str());
    EXPECT_EQ(Log(), WithCrLf(first + second + "Log rotation failed with error 32\n" + second));
    EXPECT_FALSE(std::filesystem::exists(Path("service.log.1")));

    LogText("third\n");
    EXPECT_EQ(ReadFile(Path("service.log.1")),
              WithCrLf(first + second + "Log rotation failed with error 32\n" + second));
    EXPECT_EQ(Log(), "third\r\n");
    EXPECT_EQ(fake::OpenFiles(), 0);
}

// The kept files move from the oldest down, and a step that fails stops the rotation
// before the file it would have moved onto is overwritten.
TEST_F(LogTest, ARotationStopsAtTheStepThatFailsSoNoKeptFileIsOverwritten) {
    Settings.LogFileMaxSizeInKilobytes = 1;
    Settings.LogFilesKept = 2;
    const std::string full = std::string(1020, 'x') + "\n";  // 1,022 bytes stored
    WriteFile(Path("service.log.1"), "one\r\n");
    WriteFile(Path("service.log.2"), "two\r\n");
    LogText(full.c_str());
    // Removing service.log.2 works; moving service.log.1 onto it does not, nor any step after.
    fake::Fail(fake::Op::MoveFileExA, 1, kSharingViolation, true);
    LogText("next\n");
    EXPECT_FALSE(std::filesystem::exists(Path("service.log.2")));
    EXPECT_EQ(ReadFile(Path("service.log.1")), "one\r\n");
    EXPECT_EQ(Log(), WithCrLf(full + "next\n" + "Log rotation failed with error 32\n"));
}

// --- Formatting ---------------------------------------------------------------------------

TEST_F(LogTest, NumbersPrintAsSigned32BitValuesWithDAndLd) {
    LogFormatted("SetServiceStatus error %ld\n", INT32_MIN);
    LogFormatted("RegisterServiceCtrlHandler failed %d\n", -1);
    LogFormatted("Unrecognized opcode %ld\n", INT32_MAX);
    // A status code is unsigned; its bits arrive as a signed value.
    LogFormatted("Error writing stop command %ld.\n", static_cast<std::int32_t>(232u));
    EXPECT_EQ(Log(),
              "SetServiceStatus error -2147483648\r\n"
              "RegisterServiceCtrlHandler failed -1\r\n"
              "Unrecognized opcode 2147483647\r\n"
              "Error writing stop command 232.\r\n");
}

TEST_F(LogTest, AFormatWithoutConversionIgnoresItsZero) {
    LogFormatted("\nReturning the Main Thread \n", 0);
    LogFormatted("stopped.\n", 0);
    EXPECT_EQ(Log(), "\r\nReturning the Main Thread \r\nstopped.\r\n");
}

TEST_F(LogTest, ATextWithoutTextPrintsNull) {
    LogFormatted("Writing to log file %s\n", static_cast<const char*>(nullptr));
    LogText(nullptr);
    EXPECT_EQ(Log(), "Writing to log file (null)\r\n(null)");
}

TEST_F(LogTest, SDAndLdEachTakeTheArgumentAsWhatItIs) {
    LogFormatted("[%d][%ld][%s]\n", 42);
    LogFormatted("[%s][%d][%ld]\n", "ab");
    EXPECT_EQ(Log(), "[42][42][42]\r\n[ab][ab][ab]\r\n");
}

TEST_F(LogTest, EveryOtherConversionStandsAsWritten) {
    LogFormatted("%n %f %p %*d %5d %x %lld %c %%d %l%\n", 7);
    EXPECT_EQ(Log(), "%n %f %p %*d %5d %x %lld %c %d %l%\r\n");
}

TEST_F(LogTest, AFormatOf999CharactersIsWrittenAndOneOf1000IsNot) {
    const std::string format999 = std::string(997, 'f') + "%d";
    LogFormatted(format999.c_str(), 7);
    EXPECT_EQ(Log(), std::string(997, 'f') + "7");

    const std::string format1000 = std::string(998, 'g') + "%d";
    LogFormatted(format1000.c_str(), 7);
    LogFormatted((std::string(1000, 'h')).c_str(), "text");
    EXPECT_EQ(Log(), std::string(997, 'f') + "7");

    Settings.UseLog = 0;
    LogFormatted(format1000.c_str(), 7);
    EXPECT_EQ(fake::DebugOutputCalls(), 0);
}

TEST_F(LogTest, AResultLongerThan1023CharactersIsCut) {
    const std::string longText(3000, 'y');
    LogFormatted("Command line %s\n", longText.c_str());
    const std::string expected = "Command line " + std::string(1023 - 13, 'y');
    EXPECT_EQ(Log(), expected);

    Settings.UseLog = 0;
    LogFormatted((std::string(990, 'z') + "%s|").c_str(), longText.c_str());
    EXPECT_EQ(fake::DebugOutput(), std::string(990, 'z') + std::string(33, 'y'));
}

// --- A log file that changes or cannot be opened -------------------------------------------

TEST_F(LogTest, ALogFileDeletedOrEmptiedWhileRunningIsWrittenAgain) {
    LogText("first\n");
    std::filesystem::remove(logPath_);
    LogText("second\n");
    EXPECT_EQ(Log(), "second\r\n");
    WriteFile(logPath_, "");
    LogText("third\n");
    EXPECT_EQ(Log(), "third\r\n");
}

TEST_F(LogTest, ALogFileThatCannotBeOpenedSendsTheMessageToTheDebuggerOutput) {
    ResetSettingsForTest();
    const std::filesystem::path missingFolder = Path("later");
    const std::filesystem::path inFolder = missingFolder / "service.log";
    UseLogFile(1, inFolder.string());
    LogText("lost\n");
    EXPECT_EQ(fake::DebugOutput(), "lost\n");
    // The next message tries the file again.
    std::filesystem::create_directory(missingFolder);
    LogFormatted("found %d\n", 2);
    EXPECT_EQ(ReadFile(inFolder), "found 2\r\n");
    EXPECT_EQ(fake::DebugOutput(), "lost\n");
}

TEST_F(LogTest, AnEmptyOrMissingLogFileNameSendsTheMessageToTheDebuggerOutput) {
    ResetSettingsForTest();
    UseLogFile(1, "");
    LogText("to nowhere\n");
    ResetSettingsForTest();
    Settings.UseLog = 1;
    LogText("Error - Out of memory");
    EXPECT_EQ(fake::DebugOutput(), "to nowhere\nError - Out of memory");
}

// --- Several threads ----------------------------------------------------------------------

constexpr int kThreads = 8;
constexpr int kMessagesPerThread = 1000;

// Mostly one short line; every 50th message is longer than a stdio buffer, so that it
// reaches the file in several writes, which another thread could come between.
std::string ThreadMessage(int thread, int index) {
    const std::string head = "T" + std::to_string(thread) + " M" + std::to_string(index);
    const std::string body(80, static_cast<char>('a' + thread));
    if (index % 50 != 49) return head + " " + body + "\n";
    std::string text;
    for (int line = 0; line < 60; ++line) text += head + " L" + std::to_string(line) + " " + body + "\n";
    return text;
}

TEST_F(LogTest, MessagesFromEightThreadsAtOnceEachReachTheFileWhole) {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &start] {
            start.arrive_and_wait();
            for (int i = 0; i < kMessagesPerThread; ++i) LogText(ThreadMessage(t, i).c_str());
        });
    }
    for (std::thread& thread : threads) thread.join();

    // The file must be the messages one after another, each whole and each thread's in
    // its own order.
    const std::string log = Log();
    int next[kThreads] = {};
    std::size_t at = 0;
    int messages = 0;
    while (at < log.size()) {
        int thread = -1;
        int index = -1;
        ASSERT_EQ(std::sscanf(log.c_str() + at, "T%d M%d", &thread, &index), 2)
            << "no message starts at byte " << at;
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << "at byte " << at;
        ASSERT_EQ(index, next[thread]) << "thread " << thread << " at byte " << at;
        const std::string expected = WithCrLf(ThreadMessage(thread, index));
        ASSERT_EQ(log.compare(at, expected.size(), expected), 0)
            << "message T" << thread << " M" << index << " broken at byte " << at;
        at += expected.size();
        ++next[thread];
        ++messages;
    }
    EXPECT_EQ(messages, kThreads * kMessagesPerThread);
    EXPECT_EQ(fake::DebugOutput(), "");
}

}  // namespace
