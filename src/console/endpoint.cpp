#include "console/endpoint.h"

#include <cstdint>
#include <cstdio>

#include "config/log.h"
#include "config/settings.h"

namespace {

platform::HANDLE Endpoint = nullptr;

platform::DWORD Listen(void* /*parameter*/) {
    // A listener that fails again and again (no descriptors left) ends rather than spin.
    int failuresInARow = 0;
    for (;;) {
        char who[128] = "";
        const platform::HANDLE connection = platform::AcceptConsoleClient(Endpoint, who, sizeof who);
        if (connection == platform::kInvalidHandleValue) {
            const platform::DWORD error = platform::GetLastError();
            if (++failuresInARow == 100) {
                LogFormatted("Console closed: accepting a client failed with error %ld\n",
                             static_cast<std::int32_t>(error));
                return 1;
            }
            platform::Sleep(10);
            continue;
        }
        failuresInARow = 0;
        ServeClient(connection, who);
    }
}

}  // namespace

void OpenConsole() {
    if (Settings.ConsolePath == nullptr) return;
    Endpoint = platform::CreateConsoleEndpoint(Settings.ConsolePath);
    if (Endpoint == platform::kInvalidHandleValue) {
        Endpoint = nullptr;
        char message[1100];
        (void)std::snprintf(message, sizeof message, "No console: opening %.1000s failed with error %d\n",
                            Settings.ConsolePath,
                            static_cast<int>(static_cast<std::int32_t>(platform::GetLastError())));
        LogText(message);
        return;
    }
    if (platform::CreateThread(nullptr, 0, Listen, nullptr, 0, nullptr) == nullptr) {
        LogFormatted("No console: its thread failed with error %ld\n",
                     static_cast<std::int32_t>(platform::GetLastError()));
        return;
    }
    LogFormatted("Console at %s\n", Settings.ConsolePath);
}
