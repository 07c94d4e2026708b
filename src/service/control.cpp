#include "service/control.h"

#include <cstdint>
#include <mutex>

#include "config/log.h"
#include "service/status.h"
#include "supervision/launch.h"

namespace {

// The whole stop under the lock: no other thread can report the half-written record,
// and the reader cannot close the input pipe under the write.
void Stop() {
    std::lock_guard<std::mutex> lock(ServiceLock);
    // The service is over; the quit command has gone out once already, if at all.
    if (StopReported.load()) return;
    ServiceStatus.Win32ExitCode = 0;
    ServiceStatus.CurrentState = platform::kServiceStopped;
    ServiceStatus.CheckPoint = 0;
    ServiceStatus.WaitHint = 0;
    if (WriteQuitCommandLocked() != 0) {
        LogFormatted("stopped.\n", 0);
    } else {
        const platform::DWORD error = platform::GetLastError();
        LogFormatted("Error writing stop command %ld.\n", static_cast<std::int32_t>(error));
        ServiceStatus.Win32ExitCode = error;
    }
    ReportStatusLocked();
}

}  // namespace

void ControlHandler(platform::DWORD control) {
    switch (control) {
        case platform::kServiceControlStop:
            Stop();
            break;
        case platform::kServiceControlInterrogate:
            ReportStatus();
            break;
        default:
            // Printed as the signed number of the same 32 bits.
            LogFormatted("Unrecognized opcode %ld\n", static_cast<std::int32_t>(control));
            ReportStatus();
            break;
    }
}
