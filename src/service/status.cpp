#include "service/status.h"

#include "config/log.h"
#include "service/state_for_tests.h"

platform::SERVICE_STATUS ServiceStatus = {};
platform::SERVICE_STATUS_HANDLE StatusHandle = nullptr;
std::mutex ServiceLock;
std::atomic<bool> StopReported{false};

namespace {

// The exit code of the stopped report, kept apart from the record: the reader may write
// the server's exit code into the record after the report, and the process's exit status
// must be what the service control manager was told.
platform::DWORD StoppedCode = 0;  // guarded by ServiceLock

// Records the stopped report as made; the caller holds ServiceLock.
void NoteReportLocked() {
    if (ServiceStatus.CurrentState != platform::kServiceStopped) return;
    StoppedCode = ServiceStatus.Win32ExitCode;
    StopReported.store(true);
}

}  // namespace

void ReportStatusLocked() {
    if (StopReported.load()) return;
    const platform::BOOL reported = platform::SetServiceStatus(StatusHandle, &ServiceStatus);
    NoteReportLocked();
    if (reported == 0) {
        const platform::DWORD error = platform::GetLastError();
        LogFormatted("SetServiceStatus error %ld\n", static_cast<std::int32_t>(error));
    }
}

void ReportStatus() {
    std::lock_guard<std::mutex> lock(ServiceLock);
    ReportStatusLocked();
}

void ReportLaunchFailure(platform::DWORD code) {
    std::lock_guard<std::mutex> lock(ServiceLock);
    if (StopReported.load()) return;
    ServiceStatus.CurrentState = platform::kServiceStopped;
    ServiceStatus.CheckPoint = 0;
    ServiceStatus.WaitHint = 0;
    ServiceStatus.Win32ExitCode = code;
    ServiceStatus.ServiceSpecificExitCode = 0;
    // Straight to the platform: a failure of this last report is not logged.
    platform::SetServiceStatus(StatusHandle, &ServiceStatus);
    NoteReportLocked();
}

bool StoppedExitCode(platform::DWORD* exitCode) {
    std::lock_guard<std::mutex> lock(ServiceLock);
    if (!StopReported.load()) return false;
    *exitCode = StoppedCode;
    return true;
}

void ResetStatusForTest() {
    std::lock_guard<std::mutex> lock(ServiceLock);
    ServiceStatus = platform::SERVICE_STATUS{};
    StatusHandle = nullptr;
    StoppedCode = 0;
    StopReported.store(false);
}
