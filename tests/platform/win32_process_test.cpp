// What the Windows platform layer adds to the real calls, and the Windows answers that
// the logic relies on (measured under Wine, as on Windows).
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "support/support.h"

namespace {

constexpr platform::DWORD kErrorDirectory = 267;

platform::SECURITY_ATTRIBUTES Inheritable() {
    return platform::SECURITY_ATTRIBUTES{12, nullptr, 1};
}

std::string CurrentFolder() {
    char folder[1024] = {};
    platform::DWORD length = platform::GetCurrentDirectoryA(sizeof(folder), folder);
    EXPECT_GT(length, 0u);
    return std::string(folder, length);
}

// Starts the sample server with the given arguments and folder, no redirection.
bool StartSample(const std::string& arguments, const char* folder,
                 platform::PROCESS_INFORMATION& server) {
    std::string line = support::QuoteForCommandLine(support::SampleServerPath()) + " " + arguments;
    platform::STARTUPINFOA start = {};
    start.cb = 68;
    start.dwFlags = platform::kStartfUseShowWindow;
    start.wShowWindow = platform::kSwHide;
    server = {};
    return platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 0, 0, nullptr,
                                    folder, &start, &server) != 0;
}

// The exit code once the process has ended; kStillActive when the bound passed first.
platform::DWORD WaitForExit(platform::HANDLE process) {
    platform::DWORD code = platform::kStillActive;
    support::WaitFor([&] {
        return platform::GetExitCodeProcess(process, &code) != 0 && code != platform::kStillActive;
    });
    return code;
}

void CloseBoth(const platform::PROCESS_INFORMATION& server) {
    platform::CloseHandle(server.hThread);
    platform::CloseHandle(server.hProcess);
}

// Starts `line` as the launch does: its standard handles redirected, inheritance on.
bool StartRedirected(std::string line, platform::HANDLE input, platform::HANDLE output,
                     platform::PROCESS_INFORMATION& server) {
    platform::STARTUPINFOA start = {};
    start.cb = 68;
    start.dwFlags = platform::kStartfUseShowWindow | platform::kStartfUseStdHandles;
    start.wShowWindow = platform::kSwHide;
    start.hStdInput = input;
    start.hStdOutput = output;
    start.hStdError = output;
    server = {};
    return platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 1, 0, nullptr,
                                    nullptr, &start, &server) != 0;
}

TEST(Win32LaunchFolder, AnEmptyFolderTextStartsTheServerInTheCallersFolder) {
    support::TempFolder temp("win32-empty-folder");
    std::string cwdFile = temp.File("cwd.txt");
    platform::PROCESS_INFORMATION server;
    ASSERT_TRUE(StartSample("--cwd-file " + support::QuoteForCommandLine(cwdFile) + " --exit 0",
                            "", server))
        << "error " << platform::GetLastError();
    EXPECT_EQ(WaitForExit(server.hProcess), 0u);
    CloseBoth(server);
    EXPECT_EQ(support::ReadWholeFile(cwdFile), CurrentFolder() + "\n");
}

TEST(Win32LaunchFolder, ANamedFolderIsTheServersCurrentFolder) {
    support::TempFolder temp("win32-named-folder");
    std::string cwdFile = temp.File("cwd.txt");
    platform::PROCESS_INFORMATION server;
    ASSERT_TRUE(StartSample("--cwd-file " + support::QuoteForCommandLine(cwdFile) + " --exit 0",
                            temp.path.c_str(), server))
        << "error " << platform::GetLastError();
    EXPECT_EQ(WaitForExit(server.hProcess), 0u);
    CloseBoth(server);
    EXPECT_EQ(support::ReadWholeFile(cwdFile), temp.path + "\n");
}

TEST(Win32LaunchFolder, AFolderThatDoesNotExistFailsWithTheWindowsCode) {
    support::TempFolder temp("win32-missing-folder");
    std::string missing = temp.File("no-such-folder");
    platform::PROCESS_INFORMATION server;
    platform::SetLastError(0);
    EXPECT_FALSE(StartSample("--exit 0", missing.c_str(), server));
    EXPECT_EQ(platform::GetLastError(), kErrorDirectory);
}

TEST(Win32Process, AMissingProgramFailsWithFileNotFound) {
    std::string line = support::MissingProgramPath() + " arg";
    platform::STARTUPINFOA start = {};
    start.cb = 68;
    platform::PROCESS_INFORMATION server = {};
    platform::SetLastError(0);
    EXPECT_EQ(platform::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 1, 0, nullptr,
                                       nullptr, &start, &server),
              0);
    EXPECT_EQ(platform::GetLastError(), 2u);
    EXPECT_EQ(server.hProcess, nullptr);
}

TEST(Win32Process, TheServerReadsItsStandardInputAndWritesIntoTheOutputPipe) {
    platform::SECURITY_ATTRIBUTES attributes = Inheritable();
    platform::HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    ASSERT_NE(platform::CreatePipe(&outRead, &outWrite, &attributes, 0), 0);
    ASSERT_NE(platform::CreatePipe(&inRead, &inWrite, &attributes, 0), 0);
    support::TempFolder temp("win32-pipes");
    std::string stdinFile = temp.File("stdin.bin");
    std::string line = support::QuoteForCommandLine(support::SampleServerPath()) +
                       " --print \"hello\\r\\n\" --eprint err --stdin-file " +
                       support::QuoteForCommandLine(stdinFile) + " --exit-code 5";
    platform::PROCESS_INFORMATION server;
    ASSERT_TRUE(StartRedirected(line, inRead, outWrite, server))
        << "error " << platform::GetLastError();

    // Our copies of the server's ends go, so the pipe breaks when the server ends.
    platform::CloseHandle(outWrite);
    platform::CloseHandle(inRead);

    // The quit command goes only once the server has printed: it would end the server
    // before its actions otherwise.
    std::string output;
    char chunk[4096];
    platform::DWORD got = 0;
    while (output.find("hello\r\n") == std::string::npos || output.find("err") == std::string::npos) {
        ASSERT_NE(platform::ReadFile(outRead, chunk, sizeof(chunk), &got, nullptr), 0) << output;
        output.append(chunk, got);
    }
    platform::DWORD written = 0;
    ASSERT_NE(platform::WriteFile(inWrite, "quit\r\n", 6, &written, nullptr), 0);
    EXPECT_EQ(written, 6u);
    while (platform::ReadFile(outRead, chunk, sizeof(chunk), &got, nullptr) != 0) {
        output.append(chunk, got);
    }
    EXPECT_EQ(platform::GetLastError(), platform::kErrorBrokenPipe);
    EXPECT_EQ(output, "hello\r\nerr") << output;
    EXPECT_EQ(WaitForExit(server.hProcess), 5u);
    EXPECT_EQ(support::ReadWholeFile(stdinFile), "quit\r\n");

    // The server's read end is gone with it: the quit command finds no reader.
    platform::SetLastError(0);
    EXPECT_EQ(platform::WriteFile(inWrite, "quit\r\n", 6, &written, nullptr), 0);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorNoData);

    platform::CloseHandle(outRead);
    platform::CloseHandle(inWrite);
    CloseBoth(server);
}

// Inheritance on, as the launch asks for it, reaches the standard handles only: another
// inheritable handle open at that moment (an event here; a log file or another launch's
// pipe in the service) stays out of the server.
TEST(Win32Process, TheServerInheritsItsStandardHandlesAndNothingElse) {
    platform::SECURITY_ATTRIBUTES attributes = Inheritable();
    platform::HANDLE outRead = nullptr, outWrite = nullptr;
    ASSERT_NE(platform::CreatePipe(&outRead, &outWrite, &attributes, 0), 0);
    const platform::HANDLE stray = platform::CreateEventA(&attributes, 1, 0, nullptr);
    ASSERT_NE(stray, nullptr);
    const auto number = [](platform::HANDLE handle) {
        return std::to_string(reinterpret_cast<std::uintptr_t>(handle));
    };
    std::string line = support::QuoteForCommandLine(support::SampleServerPath()) +
                       " --stdin never --handle-state " + number(outWrite) +
                       " --handle-state " + number(stray) + " --exit 0";
    platform::PROCESS_INFORMATION server;
    ASSERT_TRUE(StartRedirected(line, nullptr, outWrite, server))
        << "error " << platform::GetLastError();
    platform::CloseHandle(outWrite);
    std::string output;
    char chunk[4096];
    platform::DWORD got = 0;
    while (platform::ReadFile(outRead, chunk, sizeof(chunk), &got, nullptr) != 0) {
        output.append(chunk, got);
    }
    EXPECT_EQ(output, "handle " + number(outWrite) + " open\nhandle " + number(stray) +
                          " closed\n");
    EXPECT_EQ(WaitForExit(server.hProcess), 0u);
    platform::CloseHandle(outRead);
    platform::CloseHandle(stray);
    CloseBoth(server);
}

// A file opened without security attributes, as the log is, is never inheritable.
TEST(Win32Process, AFileOpenedWithoutAttributesIsNotInheritable) {
    support::TempFolder temp("win32-file");
    const platform::HANDLE file =
        platform::CreateFileA(temp.File("a.log").c_str(), platform::kFileAppendData,
                              platform::kFileShareRead, nullptr, platform::kOpenAlways,
                              platform::kFileAttributeNormal, nullptr);
    ASSERT_NE(file, platform::kInvalidHandleValue);
    DWORD flags = 0xFF;
    ASSERT_NE(::GetHandleInformation(file, &flags), 0);
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    platform::CloseHandle(file);
}

}  // namespace

#endif  // _WIN32
