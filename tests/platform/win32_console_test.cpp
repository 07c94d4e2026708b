// The console's named pipe on Windows: who may open it, and whose name it is.
#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/platform.h"

namespace {

std::string PipeName(const char* tag) {
    return std::string("\\\\.\\pipe\\tallowmere-test-") + tag + "-" +
           std::to_string(::GetCurrentProcessId());
}

std::string OwnSid() {
    HANDLE token = nullptr;
    EXPECT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    char buffer[256];
    DWORD length = 0;
    EXPECT_TRUE(::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length));
    char* sid = nullptr;
    EXPECT_TRUE(::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
    std::string text = sid != nullptr ? sid : "";
    ::LocalFree(sid);
    ::CloseHandle(token);
    return text;
}

}  // namespace

// Read back from the pipe itself: LocalSystem, the Administrators and our own account,
// each with full access, nothing inherited, nobody else.
TEST(Win32Console, ThePipeLetsInOnlySystemTheAdministratorsAndItsOwnAccount) {
    const platform::HANDLE pipe = platform::CreateConsoleEndpoint(PipeName("dacl").c_str());
    ASSERT_NE(pipe, platform::kInvalidHandleValue) << platform::GetLastError();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    char* text = nullptr;
    ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorA(
        descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    const std::string sddl = text;
    ::LocalFree(text);
    ::LocalFree(descriptor);
    // Generic access may read back as the pipe's own full rights.
    std::string normalised = sddl;
    for (std::size_t at; (at = normalised.find(";FA;")) != std::string::npos;) {
        normalised.replace(at, 4, ";GA;");
    }
    EXPECT_EQ(normalised, "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + OwnSid() + ")") << sddl;
    platform::CloseHandle(pipe);
}

// A name that another has made a pipe of stays theirs: the console is not opened.
TEST(Win32Console, ANameThatIsAlreadyAPipeIsNotTakenOver) {
    const std::string name = PipeName("taken");
    HANDLE theirs = ::CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 4, 512,
                                       512, 0, nullptr);
    ASSERT_NE(theirs, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::CreateConsoleEndpoint(name.c_str()), platform::kInvalidHandleValue);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
    ::CloseHandle(theirs);
}

#endif  // _WIN32
