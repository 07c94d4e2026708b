#include "service/start.h"

#include <cstdint>
#include <mutex>

#include "config/log.h"
#include "config/settings.h"
#include "service/control.h"
#include "service/status.h"
#include "supervision/launch.h"

void ServiceStart(platform::DWORD /*argc*/, char** /*argv*/) {
    LoadSettings();
    LogFormatted("Command line %s\n", platform::GetCommandLineA());

    std::unique_lock<std::mutex> lock(ServiceLock);
    ServiceStatus.ServiceType =
        platform::kServiceWin32OwnProcess | platform::kServiceWin32ShareProcess;
    ServiceStatus.CurrentState = platform::kServiceStartPending;
    ServiceStatus.ControlsAccepted = platform::kServiceAcceptStop;
    ServiceStatus.Win32ExitCode = 0;
    ServiceStatus.ServiceSpecificExitCode = 0;
    ServiceStatus.CheckPoint = 0;
    ServiceStatus.WaitHint = 0;
    lock.unlock();

    // A name lost to a failed allocation is registered as the default, the empty name.
    const char* name = Settings.ServiceName != nullptr ? Settings.ServiceName : "";
    const platform::SERVICE_STATUS_HANDLE handle =
        platform::RegisterServiceCtrlHandlerA(name, ControlHandler);
    if (handle == nullptr) {
        const platform::DWORD error = platform::GetLastError();
        LogFormatted("RegisterServiceCtrlHandler failed %d\n", static_cast<std::int32_t>(error));
        return;
    }
    lock.lock();
    StatusHandle = handle;
    if (StopReported) {
        // A stop came between the registration and this store: its report went out
        // without a handle and reached nobody. Send it again, now that there is one.
        platform::SetServiceStatus(StatusHandle, &ServiceStatus);
        return;
    }
    lock.unlock();

    const platform::DWORD result = LaunchServer();
    if (result == 0) {
        LogFormatted("\nReturning the Main Thread \n", 0);
        return;
    }
    ReportLaunchFailure(result);
}
