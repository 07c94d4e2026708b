#include "supervision/startup_wait.h"

#include <mutex>

#include "config/log.h"
#include "config/settings.h"
#include "service/status.h"
#include "supervision/launch.h"
#include "supervision/reader.h"

namespace {

// One start-pending report and the next check point. False when the service has been
// reported stopped meanwhile: the start is over then.
bool ReportStartPending() {
    std::lock_guard<std::mutex> lock(ServiceLock);
    if (StopReported.load()) return false;
    ReportStatusLocked();
    ++ServiceStatus.CheckPoint;
    return true;
}

bool ElapsedAtLeast(std::uint64_t since, std::int64_t milliseconds) {
    const std::uint64_t elapsed = platform::GetTickCount64() - since;
    return static_cast<std::int64_t>(elapsed) >= milliseconds;
}

// Whether the server is gone, or out of reach: once the reader's end-of-output path has
// closed its handle there is nothing left to end.
bool ServerEnded() {
    std::lock_guard<std::mutex> lock(ServiceLock);
    if (ServerProcess.hProcess == nullptr) return true;
    platform::DWORD code = platform::kStillActive;
    if (platform::GetExitCodeProcess(ServerProcess.hProcess, &code) == 0) return false;
    return code != platform::kStillActive;
}

// The hint did not come: a server left running after the stopped report would be out of
// anyone's hands. Ask it to quit, give it the grace, then end it the hard way.
// `reporting`: the wait made start-pending reports, and the grace goes on with them.
void EndServerAfterTimeout(bool reporting) {
    {
        std::lock_guard<std::mutex> lock(ServiceLock);
        if (StopReported.load() || ServerProcess.hProcess == nullptr) return;
        WriteQuitCommandLocked();  // a failure is answered by the hard end below
    }
    const std::uint64_t graceStart = platform::GetTickCount64();
    for (;;) {
        if (StopReported.load() || ServerEnded()) return;
        if (ElapsedAtLeast(graceStart, static_cast<std::int64_t>(kTimeoutGraceMilliseconds))) {
            break;
        }
        if (reporting && !ReportStartPending()) return;
        platform::Sleep(kStartPollMilliseconds);
    }
    {
        std::lock_guard<std::mutex> lock(ServiceLock);
        if (StopReported.load() || ServerProcess.hProcess == nullptr) return;
        platform::TerminateProcess(ServerProcess.hProcess, kStartTimedOut);
    }
    LogText(kServerEndedMessage);
}

}  // namespace

platform::DWORD WaitForStartHint() {
    // Monotonic: the clock is often set while services start, and a wall-clock jump
    // would cut the wait short or stretch it.
    const std::uint64_t start = platform::GetTickCount64();
    const std::int64_t timeout =
        static_cast<std::int64_t>(Settings.ServerStartupTimeoutInSeconds) * 1000;
    {
        std::lock_guard<std::mutex> lock(ServiceLock);
        ServiceStatus.CurrentState = platform::kServiceStartPending;
        ServiceStatus.CheckPoint = 0;
        ServiceStatus.WaitHint = kStartWaitHint;
    }

    bool reported = false;
    for (;;) {
        // A stop request has already answered the manager; the start ends here.
        if (StopReported.load()) return kStartTimedOut;
        if (ServerStarted.load() != 0) break;
        // The clock is read only while the hint is missing.
        if (ElapsedAtLeast(start, timeout)) break;
        if (!ReportStartPending()) return kStartTimedOut;
        reported = true;
        platform::Sleep(kStartPollMilliseconds);
    }

    // One reading decides both the report and the result.
    if (ServerStarted.load() != 0) {
        std::lock_guard<std::mutex> lock(ServiceLock);
        if (StopReported.load()) return kStartTimedOut;
        ServiceStatus.CurrentState = platform::kServiceRunning;
        ServiceStatus.CheckPoint = 0;
        ReportStatusLocked();
        return 0;
    }
    EndServerAfterTimeout(reported);
    return kStartTimedOut;
}
