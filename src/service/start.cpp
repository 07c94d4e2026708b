#include "service/start.h"

#include <cstdint>
#include <mutex>

#include "config/log.h"
#include "config/settings.h"
#include "console/endpoint.h"
#include "service/control.h"
#include "state/lifecycle.h"
#include "state/status.h"
#include "supervision/launch.h"
#include "supervision/supervise.h"

void ServiceStart(platform::DWORD /*argc*/, char** /*argv*/) {
    LoadSettings();
    LogFormatted("Command line %s\n", platform::GetCommandLineA());

    {
        std::lock_guard lock(ServiceLock);
        ServiceStatus.ServiceType =
            platform::kServiceWin32OwnProcess | platform::kServiceWin32ShareProcess;
        ServiceStatus.CurrentState = platform::kServiceStartPending;
        // A service that waits for its server asks to hear of a shutdown too, and of the
        // preshutdown before it: only that one gives a service more than the system's
        // few seconds (its own PreshutdownTimeout), so that the machine waits for the save.
        ServiceStatus.ControlsAccepted =
            Settings.ServerStopTimeoutInSeconds > 0
                ? platform::kServiceAcceptStop | platform::kServiceAcceptShutdown |
                      platform::kServiceAcceptPreshutdown
                : platform::kServiceAcceptStop;
        ServiceStatus.Win32ExitCode = 0;
        ServiceStatus.ServiceSpecificExitCode = 0;
        ServiceStatus.CheckPoint = 0;
        ServiceStatus.WaitHint = 0;
    }

    const platform::SERVICE_STATUS_HANDLE handle =
        platform::RegisterServiceCtrlHandlerA(SettingText(Settings.ServiceName), ControlHandler);
    if (handle == nullptr) {
        const platform::DWORD error = platform::GetLastError();
        LogFormatted("RegisterServiceCtrlHandler failed %d\n", static_cast<std::int32_t>(error));
        return;
    }
    {
        std::lock_guard lock(ServiceLock);
        StatusHandle = handle;
    }
    // A stop between the registration and the store above was reported without a handle
    // and reached nobody: send it again, now that there is one.
    ResendStoppedReport();
    if (CurrentPhase() == Phase::kStopped) return;

    // Open before the launch: commands are taken while the server starts.
    OpenConsole();
    const platform::DWORD result = LaunchServer();
    if (result != 0) {
        EndStartWithFailure(result);  // nothing when the start ended in a report already
        return;
    }
    LogFormatted("\nReturning the Main Thread \n", 0);
    // This thread goes on supervising the server until the service has stopped; while the
    // server runs it waits without a timer.
    (void)Supervise();
}
