#include "state/status.h"

#include <condition_variable>
#include <cstdint>

#include "config/log.h"
#include "state/state_for_tests.h"

platform::SERVICE_STATUS ServiceStatus = {};
platform::SERVICE_STATUS_HANDLE StatusHandle = nullptr;
platform::OwnedMutex ServiceLock;

namespace {

// Serialises the reports themselves, so that they reach the manager in the order of their
// snapshots; held around SetServiceStatus, which may block (a full notify queue), so it is
// never the lock that the other threads' state changes need.
std::mutex ReportLock;

// Guarded by ServiceLock. The stopped report's exit code is kept apart from the record:
// the process's exit status must be what the service control manager was told.
bool StopWasReported = false;
platform::DWORD StoppedCode = 0;
bool StoppedWithoutHandle = false;  // the stopped report went out before StatusHandle was known
bool StoppedReportFinished = false; // the stopped report and its failure message are done
std::condition_variable StoppedReportDone;

// Sends the record of this moment. False with the error when the platform refused it;
// true when it was sent or when nothing may be sent any more. `stopped`: this was the
// stopped report.
bool Send(platform::DWORD* error, bool* stopped) {
    std::lock_guard<std::mutex> order(ReportLock);
    platform::SERVICE_STATUS snapshot;  // filled under the lock below
    platform::SERVICE_STATUS_HANDLE handle = nullptr;
    {
        std::lock_guard lock(ServiceLock);
        if (StopWasReported) return true;
        snapshot = ServiceStatus;
        handle = StatusHandle;
        if (snapshot.CurrentState == platform::kServiceStopped) {
            StopWasReported = true;
            StoppedCode = snapshot.Win32ExitCode;
            StoppedWithoutHandle = handle == nullptr;
            *stopped = true;
        }
    }
    if (platform::SetServiceStatus(handle, &snapshot) != 0) return true;
    *error = platform::GetLastError();
    return false;
}

// Once the stopped report is out the process may end at any moment (the dispatcher
// returns): the program's entry waits for this before it ends the process.
void FinishStoppedReport(bool stopped) {
    if (!stopped) return;
    {
        std::lock_guard lock(ServiceLock);
        StoppedReportFinished = true;
    }
    StoppedReportDone.notify_all();
}

}  // namespace

void ReportStatus() {
    platform::DWORD error = 0;
    bool stopped = false;
    if (!Send(&error, &stopped)) {
        LogFormatted("SetServiceStatus error %ld\n", static_cast<std::int32_t>(error));
    }
    FinishStoppedReport(stopped);
}

void ReportStatusUnlogged() {
    platform::DWORD error = 0;
    bool stopped = false;
    (void)Send(&error, &stopped);
    FinishStoppedReport(stopped);
}

void AwaitStoppedReport(std::chrono::milliseconds bound) {
    // The wait lets go of the lock and takes it again, so it holds the mutex itself: no
    // ...Locked function runs here to ask who holds it.
    std::unique_lock<std::mutex> lock(ServiceLock.mutex);
    StoppedReportDone.wait_for(lock, bound, [] { return StoppedReportFinished || !StopWasReported; });
}

void ResendStoppedReport() {
    std::lock_guard<std::mutex> order(ReportLock);
    platform::SERVICE_STATUS snapshot;  // filled under the lock below
    {
        std::lock_guard lock(ServiceLock);
        if (!StoppedWithoutHandle) return;
        StoppedWithoutHandle = false;
        snapshot = ServiceStatus;
        snapshot.Win32ExitCode = StoppedCode;
    }
    platform::SetServiceStatus(StatusHandle, &snapshot);
}

bool StoppedExitCode(platform::DWORD* exitCode) {
    std::lock_guard lock(ServiceLock);
    if (!StopWasReported) return false;
    *exitCode = StoppedCode;
    return true;
}

void ResetStatusForTest() {
    std::lock_guard lock(ServiceLock);
    ServiceStatus = platform::SERVICE_STATUS{};
    StatusHandle = nullptr;
    StoppedCode = 0;
    StopWasReported = false;
    StoppedWithoutHandle = false;
    StoppedReportFinished = false;
}
