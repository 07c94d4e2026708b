// Reading the settings file, preparing the log and the start-up messages.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "config/settings.h"
#include "config/settings_for_tests.h"
#include "config_test_files.h"
#include "fake/fake_env.h"
#include "platform/platform.h"

namespace {

using config_test::ConfigTest;
using config_test::ReadFile;
using config_test::WriteFile;

class LoadSettingsTest : public ConfigTest {
protected:
    // Names the settings file on the command line (which need not exist) and loads.
    void LoadWith(const std::string& iniName) {
        iniPath_ = Path(iniName).string();
        fake::SetCommandLine("C:\\svc\\tallowmere-service.exe -" + iniPath_);
        LoadSettings();
    }

    void LoadWithFile(const std::string& iniText) {
        WriteFile(Path("settings.ini"), iniText);
        LoadWith("settings.ini");
    }

    std::string StartupLines(const std::string& logName, const std::string& commandFile,
                             const std::string& launchFolder, const char* end = "\r\n") const {
        return "Using INI file: " + iniPath_ + end + "Writing to log file " + logName + end +
               "Launching file " + commandFile + end + "Home folder " + launchFolder + end;
    }

    std::string iniPath_;
};

// The six text settings, in the order in which LoadSettings reads them.
void ExpectTexts(const char* service, const char* log, const char* command, const char* folder,
                 const char* quit, const char* hint) {
    EXPECT_STREQ(Settings.ServiceName, service);
    EXPECT_STREQ(Settings.LogFileName, log);
    EXPECT_STREQ(Settings.CommandFile, command);
    EXPECT_STREQ(Settings.LaunchFolder, folder);
    EXPECT_STREQ(Settings.QuitCommand, quit);
    EXPECT_STREQ(Settings.StartHint, hint);
}

// --- Values -------------------------------------------------------------------------------

TEST_F(LoadSettingsTest, WithoutASettingsFileEveryValueIsItsDefault) {
    LoadWith("missing.ini");
    EXPECT_EQ(Settings.UseLog, 1);
    EXPECT_EQ(Settings.AppendToExistingLog, 1);
    ExpectTexts("", "Tallowmere.log", "quorinsv.bat", "", "quit\r\n", "STARTED");
    EXPECT_EQ(Settings.ServerStartupTimeoutInSeconds, 300);
    // The first start-up message still names the file that was tried.
    EXPECT_EQ(ReadFile(Path("Tallowmere.log")), StartupLines("Tallowmere.log", "quorinsv.bat", ""));
    EXPECT_EQ(fake::DebugOutput(), "");
}

TEST_F(LoadSettingsTest, EveryKeyOfTheSectionIsRead) {
    LoadWithFile(
        "[Other]\r\nServiceName=wrong\r\n"
        "[Tallowmere]\r\n"
        "UseLog=1\r\nAppendToExistingLog=1\r\nServiceName=Tallow\r\nLogFileName=run.log\r\n"
        "CommandFile=C:\\srv\\start.bat\r\nLaunchFolder=C:\\srv\r\nQuitCommand=quit\r\n"
        "StartHint=Server ready\r\nServerStartupTimeoutInSeconds=-5\r\n"
        "[Later]\r\nStartHint=wrong\r\n");
    // A configured quit command carries no line end.
    ExpectTexts("Tallow", "run.log", "C:\\srv\\start.bat", "C:\\srv", "quit", "Server ready");
    EXPECT_EQ(Settings.ServerStartupTimeoutInSeconds, -5);
    EXPECT_EQ(ReadFile(Path("run.log")), StartupLines("run.log", "C:\\srv\\start.bat", "C:\\srv"));
}

TEST_F(LoadSettingsTest, TheLogKeysHaveTheirDefaultsAndTheKeptCountItsBounds) {
    LoadWith("missing.ini");
    EXPECT_EQ(Settings.LogOutputAfterStart, 0);
    EXPECT_EQ(Settings.LogFileMaxSizeInKilobytes, 0);
    EXPECT_EQ(Settings.LogFilesKept, 5);
    for (const auto& [written, kept] :
         {std::pair{"0", 1}, {"-3", 1}, {"12", 12}, {"999", 999}, {"1000000", 999}}) {
        ResetSettingsForTest();
        LoadWithFile(std::string("[Tallowmere]\r\nLogOutputAfterStart=1\r\n"
                                 "LogFileMaxSizeInKilobytes=10240\r\nLogFilesKept=") +
                     written + "\r\n");
        EXPECT_EQ(Settings.LogOutputAfterStart, 1);
        EXPECT_EQ(Settings.LogFileMaxSizeInKilobytes, 10240);
        EXPECT_EQ(Settings.LogFilesKept, kept) << written;
    }
}

TEST_F(LoadSettingsTest, ATimeoutOfZeroStaysZero) {
    LoadWithFile("[Tallowmere]\r\nServerStartupTimeoutInSeconds=0\r\n");
    EXPECT_EQ(Settings.ServerStartupTimeoutInSeconds, 0);
}

TEST_F(LoadSettingsTest, APresentEmptyValueIsAnEmptyTextAndAMissingKeyTheDefault) {
    LoadWithFile("[Tallowmere]\r\nLaunchFolder=\r\nStartHint=\r\nLogFileName=\r\n");
    ASSERT_NE(Settings.LaunchFolder, nullptr);
    EXPECT_STREQ(Settings.LaunchFolder, "");
    ASSERT_NE(Settings.StartHint, nullptr);
    EXPECT_STREQ(Settings.StartHint, "");
    EXPECT_STREQ(Settings.CommandFile, "quorinsv.bat");
    EXPECT_STREQ(Settings.QuitCommand, "quit\r\n");
    // An empty log file name keeps the log on; the file cannot be opened, so the
    // messages reach the debugger output.
    ASSERT_NE(Settings.LogFileName, nullptr);
    EXPECT_STREQ(Settings.LogFileName, "");
    EXPECT_EQ(Settings.UseLog, 1);
    EXPECT_EQ(fake::DebugOutput(), StartupLines("", "quorinsv.bat", "", "\n"));
}

TEST_F(LoadSettingsTest, AValueIsCutToItsFirst4094Characters) {
    std::string value;
    for (int i = 0; i < 5000; ++i) value += static_cast<char>('a' + i % 26);
    LoadWithFile("[Tallowmere]\r\nUseLog=0\r\nStartHint=" + value + "\r\n");
    EXPECT_EQ(std::string(Settings.StartHint), value.substr(0, 4094));
}

TEST_F(LoadSettingsTest, EachTextIsACopyOfExactlyItsLength) {
    LoadWithFile("[Tallowmere]\r\nUseLog=0\r\nServiceName=Tallow\r\nLaunchFolder=C:\\srv\r\n");
    const std::vector<std::size_t> expected = {
        sizeof "Tallow", sizeof "Tallowmere.log", sizeof "quorinsv.bat",
        sizeof "C:\\srv", sizeof "quit\r\n",      sizeof "STARTED"};
    EXPECT_EQ(fake::AllocationSizes(), expected);
}

TEST_F(LoadSettingsTest, WithoutADashTheFileInTheCurrentFolderIsRead) {
    WriteFile(Path("Tallowmere.ini"), "[Tallowmere]\r\nUseLog=0\r\nServiceName=FromFolder\r\n");
    fake::SetCommandLine("C:\\my-tools\\tallowmere-service.exe");
    LoadSettings();
    EXPECT_STREQ(Settings.ServiceName, "FromFolder");
    EXPECT_EQ(fake::DebugOutput().rfind("Using INI file: " + Path("Tallowmere.ini").string() +
                                            "\n", 0),
              0u);
}

TEST_F(LoadSettingsTest, ACurrentFolderTooLongForItsBufferIsReadAsDot) {
    // "." is still the current folder, where the test put the file.
    WriteFile(Path("Tallowmere.ini"), "[Tallowmere]\r\nUseLog=0\r\nServiceName=FromDot\r\n");
    fake::SetCurrentDirectory(std::string(260, 'd'));
    fake::SetCommandLine("tallowmere-service.exe");
    LoadSettings();
    EXPECT_STREQ(Settings.ServiceName, "FromDot");
    const std::string dotPath = std::string(".") + platform::kPathSeparator + "Tallowmere.ini";
    EXPECT_EQ(fake::DebugOutput().rfind("Using INI file: " + dotPath + "\n", 0), 0u);
}

TEST_F(LoadSettingsTest, ACurrentFolderThatCannotBeReadIsReadAsDot) {
    WriteFile(Path("Tallowmere.ini"), "[Tallowmere]\r\nUseLog=0\r\nServiceName=FromDot\r\n");
    fake::FailCurrentDirectory(5);
    fake::SetCommandLine("tallowmere-service.exe");
    LoadSettings();
    EXPECT_STREQ(Settings.ServiceName, "FromDot");
}

// --- Log destination and reset ----------------------------------------------------------

struct LogModeCase {
    int useLog;
    int append;
    bool logExistedBefore;
    const char* expectedLog;  // null: no log file afterwards
    bool startupInDebugOutput;
};

TEST_F(LoadSettingsTest, UseLogAndAppendToExistingLogDecideWhatTheLogFileHolds) {
    // "@" stands for the four start-up lines.
    const LogModeCase cases[] = {
        {1, 1, true, "old\r\n@", false},
        {1, 0, true, "@", false},
        {1, 0, false, "@", false},
        {0, 1, true, "old\r\n", true},
        {0, 0, true, "old\r\n", true},
        {0, 0, false, nullptr, true},
        {0, 1, false, nullptr, true},
    };
    for (const LogModeCase& c : cases) {
        SCOPED_TRACE("UseLog=" + std::to_string(c.useLog) +
                     " AppendToExistingLog=" + std::to_string(c.append) +
                     (c.logExistedBefore ? " with a log" : " without a log"));
        ResetSettingsForTest();
        fake::ResetEnv();
        std::filesystem::remove(Path("run.log"));
        if (c.logExistedBefore) WriteFile(Path("run.log"), "old\r\n");
        LoadWithFile("[Tallowmere]\r\nLogFileName=run.log\r\nUseLog=" +
                     std::to_string(c.useLog) +
                     "\r\nAppendToExistingLog=" + std::to_string(c.append) + "\r\n");
        const std::string startup = StartupLines("run.log", "quorinsv.bat", "");
        if (c.expectedLog == nullptr) {
            EXPECT_FALSE(std::filesystem::exists(Path("run.log")));
        } else {
            std::string expected = c.expectedLog;
            const std::size_t at = expected.find('@');
            if (at != std::string::npos) expected.replace(at, 1, startup);
            EXPECT_EQ(ReadFile(Path("run.log")), expected);
        }
        EXPECT_EQ(fake::DebugOutput(),
                  c.startupInDebugOutput ? StartupLines("run.log", "quorinsv.bat", "", "\n") : "");
    }
}

// --- Out of memory ------------------------------------------------------------------------

// Allocations in reading order: ServiceName, LogFileName, CommandFile, LaunchFolder,
// QuitCommand, StartHint.

TEST_F(LoadSettingsTest, OutOfMemoryRunsOnIntoTheFirstStartupLine) {
    fake::FailAllocation(3);
    LoadWithFile("[Tallowmere]\r\nLogFileName=run.log\r\n");
    EXPECT_EQ(Settings.CommandFile, nullptr);
    EXPECT_STREQ(Settings.LaunchFolder, "");
    EXPECT_STREQ(Settings.StartHint, "STARTED");
    EXPECT_EQ(Settings.UseLog, 1);
    EXPECT_EQ(ReadFile(Path("run.log")),
              "Error - Out of memory" + StartupLines("run.log", "(null)", ""));
    EXPECT_EQ(fake::DebugOutput(), "");
}

TEST_F(LoadSettingsTest, TheLogResetRemovesTheOutOfMemoryMessageAgain) {
    WriteFile(Path("run.log"), "old\r\n");
    fake::FailAllocation(4);
    LoadWithFile("[Tallowmere]\r\nLogFileName=run.log\r\nAppendToExistingLog=0\r\n");
    EXPECT_EQ(Settings.LaunchFolder, nullptr);
    EXPECT_EQ(ReadFile(Path("run.log")), StartupLines("run.log", "quorinsv.bat", "(null)"));
}

TEST_F(LoadSettingsTest, NoMemoryForTheLogFileNameSendsEverythingToTheDebuggerOutput) {
    WriteFile(Path("run.log"), "old\r\n");
    fake::FailAllocation(2);
    LoadWithFile("[Tallowmere]\r\nLogFileName=run.log\r\nAppendToExistingLog=0\r\n");
    EXPECT_EQ(Settings.LogFileName, nullptr);
    EXPECT_EQ(Settings.UseLog, 0);
    // No reset: the old log is untouched.
    EXPECT_EQ(ReadFile(Path("run.log")), "old\r\n");
    EXPECT_EQ(fake::DebugOutput(),
              "Error - Out of memory" + StartupLines("(null)", "quorinsv.bat", "", "\n"));
}

TEST_F(LoadSettingsTest, OutOfMemoryBeforeAnyLogFileNameGoesToTheDebuggerOutput) {
    fake::FailAllocation(1);
    LoadWithFile("[Tallowmere]\r\nLogFileName=run.log\r\n");
    EXPECT_EQ(Settings.ServiceName, nullptr);
    EXPECT_EQ(Settings.UseLog, 1);
    EXPECT_EQ(fake::DebugOutput(), "Error - Out of memory");
    EXPECT_EQ(ReadFile(Path("run.log")), StartupLines("run.log", "quorinsv.bat", ""));
}

TEST_F(LoadSettingsTest, NoMemoryAtAllLeavesEveryTextWithoutTextAndTouchesNoFile) {
    fake::FailAllocation(1, true);
    LoadWithFile("[Tallowmere]\r\nLogFileName=run.log\r\nAppendToExistingLog=0\r\n");
    ExpectTexts(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(Settings.UseLog, 0);
    EXPECT_EQ(fake::AllocationCalls(), 6);
    std::string expected;
    for (int i = 0; i < 6; ++i) expected += "Error - Out of memory";
    EXPECT_EQ(fake::DebugOutput(), expected + StartupLines("(null)", "(null)", "(null)", "\n"));
    EXPECT_FALSE(std::filesystem::exists(Path("run.log")));
    EXPECT_FALSE(std::filesystem::exists(Path("Tallowmere.log")));
}

}  // namespace
