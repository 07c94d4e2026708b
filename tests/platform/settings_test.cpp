// The process environment calls: current folder, command line, debugger output.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/support.h"

#ifndef _WIN32
#include "platform/child_process.h"
#endif

namespace {

TEST(GetCurrentDirectory, WritesTheFolderAndReturnsItsLength) {
    const std::string folder = std::filesystem::current_path().string();
    char buffer[4096];
    std::memset(buffer, '~', sizeof buffer);
    const platform::DWORD length = platform::GetCurrentDirectoryA(sizeof buffer, buffer);
    ASSERT_EQ(length, folder.size());
    EXPECT_EQ(std::string(buffer), folder);
}

TEST(GetCurrentDirectory, AskingWithTooSmallABufferGivesTheSizeNeededAndWritesNothing) {
    const std::string folder = std::filesystem::current_path().string();
    std::string buffer(folder.size() + 8, '~');
    // Room for every character but not the terminator: too small.
    const auto tight = static_cast<platform::DWORD>(folder.size());
    EXPECT_EQ(platform::GetCurrentDirectoryA(tight, buffer.data()), folder.size() + 1);
    EXPECT_EQ(buffer, std::string(folder.size() + 8, '~'));
    EXPECT_EQ(platform::GetCurrentDirectoryA(tight + 1, buffer.data()), folder.size());
    EXPECT_EQ(std::string(buffer.c_str()), folder);
}

TEST(GetCurrentDirectory, FollowsAChangeOfFolder) {
    support::TempFolder folder("cwd");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path);
    char buffer[4096] = {};
    const platform::DWORD length = platform::GetCurrentDirectoryA(sizeof buffer, buffer);
    const std::string expected = std::filesystem::current_path().string();
    std::filesystem::current_path(previous);
    EXPECT_EQ(std::string(buffer, length), expected);
}

TEST(GetCommandLine, BeginsWithTheProgramAndStaysTheSame) {
    const char* first = platform::GetCommandLineA();
    ASSERT_NE(first, nullptr);
    EXPECT_NE(std::string(first).find("platform_tests"), std::string::npos) << first;
    EXPECT_EQ(platform::GetCommandLineA(), first);
}

#ifndef _WIN32

std::string RunChild(const std::string& mode, const std::string& arg,
                     const std::string& arguments) {
    childtest::Child child;
    if (!childtest::StartChild(mode, child, arg, arguments)) return "(not started)";
    std::string output = childtest::ReadToEnd(child.output);
    if (childtest::WaitForExit(child.info.hProcess) != 0) output += "(exit code not 0)";
    childtest::CloseChild(child);
    return output;
}

TEST(GetCommandLine, QuotesAnArgumentWithABlankSoTheSettingsPathStaysWhole) {
    // As systemd starts ExecStart=<program> "-/etc/my conf/x.ini" plain: the argument
    // arrives without its quotation marks, and the command line shows them again.
    const std::string self = childtest::SelfCommand();
    EXPECT_EQ(RunChild("command-line", "", "\"-/etc/my conf/x.ini\" plain 'tab\there'"),
              self + " \"-/etc/my conf/x.ini\" plain \"tab\there\"\n");
    EXPECT_EQ(RunChild("command-line", "", ""), self + "\n");
}

#ifndef _WIN32
// A settings file is read as far as 1 MiB: a key beyond it is not seen, one before it is,
// and the same path rewritten is read anew.
TEST(GetPrivateProfile, ReadsASettingsFileAsFarAsOneMebibyte) {
    support::TempFolder folder("settings-bound");
    const std::string path = folder.File("big.ini");
    const std::string padding = ";" + std::string(1024 * 1024, 'x') + "\r\n";
    support::WriteWholeFile(path, "[Tallowmere]\r\nUseLog=0\r\n" + padding + "AppendToExistingLog=0\r\n");
    EXPECT_EQ(platform::GetPrivateProfileIntA("Tallowmere", "UseLog", 1, path.c_str()), 0u);
    EXPECT_EQ(platform::GetPrivateProfileIntA("Tallowmere", "AppendToExistingLog", 1, path.c_str()),
              1u);
    support::WriteWholeFile(path, "[Tallowmere]\r\nUseLog=7\r\n");
    EXPECT_EQ(platform::GetPrivateProfileIntA("Tallowmere", "UseLog", 1, path.c_str()), 7u);
}
#endif

TEST(OutputDebugString, WritesTheTextUnchangedOnStandardError) {
    const std::string text = "Using INI file: /etc/x.ini\n100% \"done\"\r\nno line end";
    EXPECT_EQ(RunChild("debug-output", text, ""), text);
    const std::string large(20000, 'x');
    EXPECT_EQ(RunChild("debug-output", large, ""), large);
}

#endif

}  // namespace
