#include "supervision/supervise.h"

#include <algorithm>
#include <mutex>

#include "state/lifecycle.h"
#include "state/server.h"
#include "state/status.h"

platform::DWORD Supervise() {
    for (;;) {
        const SupervisorStep step = LifecycleStep();
        if (step.done) return step.result;

        platform::HANDLE handles[2] = {LifecycleEvent, nullptr};
        if (step.watchServer) {
            std::lock_guard lock(ServiceLock);
            handles[1] = ServerProcess.hProcess;  // closed only by this thread
        }
        const platform::DWORD count = handles[1] != nullptr ? 2 : 1;
        const platform::DWORD woken =
            platform::WaitForMultipleObjects(count, handles, 0, step.waitMilliseconds);
        if (woken == platform::kWaitObject0 + 1) {
            NoteServerEnded();
        } else if (woken == platform::kWaitFailed) {
            // Nothing to wait on that works: fall back to the pending reports' period
            // rather than spin.
            platform::Sleep(std::min(step.waitMilliseconds, kPendingReportMilliseconds));
        }
    }
}
