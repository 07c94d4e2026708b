// The process environment and the settings-file calls of the Windows build, where they
// answer differently from the POSIX build.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/support.h"

namespace {

TEST(Win32Environment, ACurrentFolderTooLongForTheBufferLeavesItUntouched) {
    char full[1024] = {};
    platform::DWORD length = platform::GetCurrentDirectoryA(sizeof(full), full);
    ASSERT_GT(length, 3u);
    ASSERT_EQ(std::strlen(full), length);

    char small[3] = {'x', 'y', 'z'};
    EXPECT_EQ(platform::GetCurrentDirectoryA(sizeof(small), small), length + 1);
    EXPECT_EQ(std::string(small, 3), "xyz");
}

// A settings path without any folder is looked for in the Windows folder: a documented
// difference from the POSIX build, which looks in the current folder.
TEST(Win32Settings, ASettingsNameWithoutAFolderIsReadFromTheWindowsFolder) {
    char windows[MAX_PATH + 1] = {};
    ASSERT_GT(GetWindowsDirectoryA(windows, MAX_PATH), 0u);
    std::string name = "tallowmere-win32-test-" + std::to_string(GetCurrentProcessId()) + ".ini";
    std::string inWindows = support::Join(windows, name);
    support::WriteWholeFile(inWindows, "[Tallowmere]\r\nKey=fromWindowsFolder\r\nN=42\r\n");

    support::TempFolder temp("win32-bare-ini");
    support::WriteWholeFile(temp.File(name), "[Tallowmere]\r\nKey=fromCurrentFolder\r\nN=7\r\n");
    char previous[MAX_PATH + 1] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(temp.path.c_str()));

    char value[4096] = {};
    platform::GetPrivateProfileStringA("Tallowmere", "Key", "DEF", value, 4095, name.c_str());
    platform::DWORD number = platform::GetPrivateProfileIntA("Tallowmere", "N", 777, name.c_str());

    SetCurrentDirectoryA(previous);
    std::remove(inWindows.c_str());
    EXPECT_STREQ(value, "fromWindowsFolder");
    EXPECT_EQ(number, 42u);
}

TEST(Win32Settings, AValueIsCutTo4094CharactersInABufferOf4095) {
    support::TempFolder temp("win32-ini-cut");
    std::string path = temp.File("long.ini");
    support::WriteWholeFile(path, "[Tallowmere]\r\nKey=" + std::string(5000, 'v') + "\r\n");
    char value[4096];
    std::memset(value, '#', sizeof(value));
    platform::DWORD count =
        platform::GetPrivateProfileStringA("Tallowmere", "Key", "DEF", value, 4095, path.c_str());
    EXPECT_EQ(count, 4094u);
    EXPECT_EQ(std::strlen(value), 4094u);
    EXPECT_EQ(value[4095], '#');
}

TEST(Win32Settings, ANegativeNumberComesBackAsItsTwosComplement) {
    support::TempFolder temp("win32-ini-int");
    std::string path = temp.File("int.ini");
    support::WriteWholeFile(path, "[Tallowmere]\r\nServerStartupTimeoutInSeconds=-5\r\n");
    platform::DWORD value = platform::GetPrivateProfileIntA(
        "Tallowmere", "ServerStartupTimeoutInSeconds", 300, path.c_str());
    EXPECT_EQ(static_cast<std::int32_t>(value), -5);
}

}  // namespace

#endif  // _WIN32
