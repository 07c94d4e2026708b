// The service calls of the Windows platform layer outside a service, and the layout of
// our records against the real ones. The calls inside a service run in the end-to-end
// suite under Wine's service manager (tests/wine/).
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>

#include "platform/platform.h"

namespace {

constexpr platform::DWORD kErrorFailedServiceControllerConnect = 1063;
constexpr platform::DWORD kErrorServiceDoesNotExist = 1060;

// SetServiceStatus hands our record on field by field; the record must still be laid
// out as the real one, since the logic treats it as SERVICE_STATUS.
static_assert(sizeof(platform::SERVICE_STATUS) == sizeof(::SERVICE_STATUS));
static_assert(offsetof(platform::SERVICE_STATUS, CurrentState) ==
              offsetof(::SERVICE_STATUS, dwCurrentState));
static_assert(offsetof(platform::SERVICE_STATUS, Win32ExitCode) ==
              offsetof(::SERVICE_STATUS, dwWin32ExitCode));
static_assert(offsetof(platform::SERVICE_STATUS, WaitHint) ==
              offsetof(::SERVICE_STATUS, dwWaitHint));
static_assert(platform::kServiceStopped == SERVICE_STOPPED);
static_assert(platform::kServiceStartPending == SERVICE_START_PENDING);
static_assert(platform::kServiceRunning == SERVICE_RUNNING);
static_assert(platform::kServiceAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(platform::kServiceControlStop == SERVICE_CONTROL_STOP);
static_assert(platform::kServiceControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(platform::kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(platform::kServiceWin32ShareProcess == SERVICE_WIN32_SHARE_PROCESS);
static_assert(platform::kStillActive == STILL_ACTIVE);
static_assert(platform::kStartfUseShowWindow == STARTF_USESHOWWINDOW);
static_assert(platform::kStartfUseStdHandles == STARTF_USESTDHANDLES);
static_assert(platform::kSwHide == SW_HIDE);
static_assert(platform::kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(platform::kErrorBrokenPipe == ERROR_BROKEN_PIPE);
static_assert(platform::kErrorNoData == ERROR_NO_DATA);

void NeverStarted(platform::DWORD, char**) { ADD_FAILURE() << "the start routine ran"; }
void NeverCalled(platform::DWORD) { ADD_FAILURE() << "the handler ran"; }

TEST(Win32Service, TheDispatcherFailsWith1063WhenNotStartedByTheManager) {
    const platform::SERVICE_TABLE_ENTRYA table[] = {{"", NeverStarted}, {nullptr, nullptr}};
    platform::SetLastError(0);
    // Wine answers after about 10 s while another service of the prefix runs.
    EXPECT_EQ(platform::StartServiceCtrlDispatcherA(table), 0);
    EXPECT_EQ(platform::GetLastError(), kErrorFailedServiceControllerConnect);
}

TEST(Win32Service, RegisteringAHandlerOutsideAServiceFails) {
    platform::SetLastError(0);
    EXPECT_EQ(platform::RegisterServiceCtrlHandlerA("", NeverCalled), nullptr);
    EXPECT_EQ(platform::GetLastError(), kErrorServiceDoesNotExist);
}

TEST(Win32Service, AReportWithoutAStatusHandleFailsWithInvalidHandle) {
    platform::SERVICE_STATUS status = {0x30, platform::kServiceStartPending,
                                       platform::kServiceAcceptStop, 0, 0, 0, 1000};
    platform::SetLastError(0);
    EXPECT_EQ(platform::SetServiceStatus(nullptr, &status), 0);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
}

}  // namespace

#endif  // _WIN32
