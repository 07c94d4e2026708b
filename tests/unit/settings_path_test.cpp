// Which settings file a command line names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "platform/platform.h"

namespace {

const std::string kWorkFolder = "C:\\work";

std::string InFolder(const std::string& folder) {
    return folder + platform::kPathSeparator + "Tallowmere.ini";
}

std::string PathFor(const char* commandLine, const char* currentDirectory = "C:\\work") {
    char path[520];
    std::memset(path, 'X', sizeof path);
    FindSettingsPath(commandLine, currentDirectory, path, sizeof path);
    return path;
}

struct PathCase {
    const char* commandLine;
    std::string expected;
};

TEST(SettingsPath, TheTextAfterTheDashThatFollowsTheProgramPathNamesTheFile) {
    const PathCase cases[] = {
        {"C:\\svc\\tallowmere-service.exe -D:\\conf\\server.ini", "D:\\conf\\server.ini"},
        // Further arguments and blanks belong to the path.
        {"C:\\svc\\tallowmere-service.exe -D:\\conf\\a.ini -x", "D:\\conf\\a.ini -x"},
        {"C:\\svc\\tallowmere-service.exe -D:\\conf\\a.ini  ", "D:\\conf\\a.ini  "},
        // The first "-" after the program path counts, wherever it stands.
        {"C:\\svc\\tallowmere-service.exe run -D:\\a.ini", "D:\\a.ini"},
        {"C:\\svc\\tallowmere-service.exe --D:\\a.ini", "-D:\\a.ini"},
        // A tab ends the program path as a blank does.
        {"C:\\svc\\tallowmere-service.exe\t-D:\\a.ini", "D:\\a.ini"},
        // A quoted program path ends at its closing quotation mark.
        {"\"C:\\Program Files\\my-tools\\tallowmere-service.exe\" -D:\\a.ini", "D:\\a.ini"},
        {"\"C:\\svc\\tallowmere-service.exe\"-D:\\a.ini", "D:\\a.ini"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(PathFor(c.commandLine), c.expected) << c.commandLine;
    }
}

TEST(SettingsPath, QuotationMarksAroundTheSettingsArgumentAreRemoved) {
    const PathCase cases[] = {
        {"C:\\svc\\tallowmere-service.exe -\"C:\\My Configs\\a.ini\"", "C:\\My Configs\\a.ini"},
        {"C:\\svc\\tallowmere-service.exe \"-C:\\My Configs\\a.ini\"", "C:\\My Configs\\a.ini"},
        {"C:\\svc\\tallowmere-service.exe -\"C:\\My Configs\\a.ini\" -x",
         "C:\\My Configs\\a.ini -x"},
        // The POSIX command line encloses an argument with a blank in quotation marks.
        {"/opt/t/tallowmere-service \"-/etc/my conf/x.ini\"", "/etc/my conf/x.ini"},
        // No opening mark at the argument's start: a quotation mark inside stays.
        {"C:\\svc\\tallowmere-service.exe -D:\\a\"b.ini", "D:\\a\"b.ini"},
        // No closing mark: only the opening one goes.
        {"C:\\svc\\tallowmere-service.exe -\"D:\\a b.ini", "D:\\a b.ini"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(PathFor(c.commandLine), c.expected) << c.commandLine;
    }
}

TEST(SettingsPath, WithoutANamedFileTheCurrentFolderIsUsed) {
    const char* const commandLines[] = {
        "C:\\svc\\tallowmere-service.exe",
        "C:\\svc\\tallowmere-service.exe -",
        "C:\\svc\\tallowmere-service.exe run",
        "C:\\svc\\tallowmere-service.exe -\"\"",
        "\"C:\\svc\\tallowmere-service.exe\" \"-\"",
        // A "-" inside the program's own path no longer counts.
        "C:\\my-tools\\tallowmere-service.exe",
        "\"C:\\Program Files\\my-tools\\tallowmere-service.exe\"",
        // An unclosed quotation mark makes the whole line the program path.
        "\"C:\\svc\\tallowmere-service.exe -D:\\a.ini",
        "",
    };
    for (const char* commandLine : commandLines) {
        EXPECT_EQ(PathFor(commandLine), InFolder(kWorkFolder)) << commandLine;
    }
}

TEST(SettingsPath, TheSeparatorIsAddedEvenAfterADriveRoot) {
    EXPECT_EQ(PathFor("tallowmere-service.exe", "D:\\"), std::string("D:\\") +
                                                             platform::kPathSeparator +
                                                             "Tallowmere.ini");
}

TEST(SettingsPath, AnUnreadableCurrentFolderStandsAsDot) {
    EXPECT_EQ(PathFor("tallowmere-service.exe", ""), InFolder("."));
    EXPECT_EQ(PathFor("tallowmere-service.exe", nullptr), InFolder("."));
    EXPECT_EQ(PathFor(nullptr, "C:\\work"), InFolder(kWorkFolder));
}

TEST(SettingsPath, ALongArgumentIsCutToTheBufferAndNothingBeyondIsWritten) {
    const std::string longPath(700, 'p');
    const std::string commandLine = "tallowmere-service.exe -" + longPath;
    char path[600];
    std::memset(path, 'X', sizeof path);
    FindSettingsPath(commandLine.c_str(), "C:\\work", path, 520);
    EXPECT_EQ(std::string(path), std::string(519, 'p'));
    EXPECT_EQ(std::string(path + 520, 80), std::string(80, 'X'));
}

TEST(SettingsPath, TheDefaultPathIsCutToASmallBuffer) {
    char path[16];
    std::memset(path, 'X', sizeof path);
    FindSettingsPath("tallowmere-service.exe", "C:\\work", path, 10);
    EXPECT_EQ(std::string(path), InFolder(kWorkFolder).substr(0, 9));
    EXPECT_EQ(std::string(path + 10, 6), std::string(6, 'X'));
}

TEST(SettingText, ATextWithNoTextReadsAsEmpty) {
    char hint[] = "STARTED";
    EXPECT_EQ(SettingText(hint), hint);
    EXPECT_STREQ(SettingText(nullptr), "");
}

}  // namespace
