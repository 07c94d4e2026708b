#include "service/entry.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "service/start.h"
#include "state/status.h"

platform::DWORD ProgramEntry() {
    // The service's name is not known before the settings are read; a service that runs
    // in a process of its own may be listed under the empty name.
    const platform::SERVICE_TABLE_ENTRYA table[2] = {
        {"", ServiceStart},
        {nullptr, nullptr},
    };
    if (platform::StartServiceCtrlDispatcherA(table) == 0) {
        const platform::DWORD error = platform::GetLastError();
        // No settings exist yet, so this one line bypasses the log.
        char text[4096];
        (void)std::snprintf(text, sizeof text, "StartServiceCtrlDispatcher error = %d\n",
                      static_cast<int>(static_cast<std::int32_t>(error)));
        platform::OutputDebugStringA(text);
        return error != 0 ? error : 1;
    }
    // The dispatcher returns as soon as stopped is reported, perhaps from the supervising
    // thread, which may still be logging that the report failed: let it finish.
    AwaitStoppedReport(std::chrono::seconds(2));
    // The exit status says what the manager was told: the stopped report's exit code.
    platform::DWORD exitCode = 0;
    if (StoppedExitCode(&exitCode)) return exitCode;
    return 1;  // the dispatcher returned without a stopped report: not a clean end
}
