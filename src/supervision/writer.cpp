#include "supervision/writer.h"

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "config/log.h"
#include "state/input.h"
#include "state/lifecycle.h"
#include "state/status.h"

platform::DWORD InputWriter(void* /*parameter*/) {
    platform::HANDLE event = nullptr;
    {
        std::lock_guard lock(ServiceLock);
        event = InputEvent;
    }
    // Static: an item is 4 KiB, and the one writer needs one at a time.
    static InputItem item;
    for (;;) {
        platform::HANDLE end = nullptr;
        bool taken = false;
        {
            std::lock_guard lock(ServiceLock);
            if (InputOverLocked()) return 1;
            taken = TakeInputLocked(item, end);
        }
        if (!taken) {
            // Nothing queued: wait without a timer until something is.
            if (platform::WaitForMultipleObjects(1, &event, 0, platform::kInfinite) ==
                platform::kWaitFailed) {
                return 1;
            }
            continue;
        }
        platform::DWORD written = 0;
        platform::DWORD error = 0;
        if (platform::WriteFile(end, item.bytes, static_cast<platform::DWORD>(item.length),
                                &written, nullptr) == 0) {
            error = platform::GetLastError();
        }
        {
            std::lock_guard lock(ServiceLock);
            InputWrittenLocked(item.quit);
        }
        if (item.quit) {
            PostQuitWritten(error);
            return 1;
        }
        // Without its line end: the log line has one of its own.
        item.bytes[item.length - 2] = '\0';
        static char line[sizeof item.bytes + sizeof item.from + 64];
        if (error == 0) {
            (void)std::snprintf(line, sizeof line, "Command from %s: %s\n", item.from, item.bytes);
        } else {
            (void)std::snprintf(line, sizeof line, "Error writing command from %s: %d\n",
                                item.from, static_cast<int>(static_cast<std::int32_t>(error)));
        }
        LogText(line);
    }
}
