#include "state/state_for_tests.h"

#include <mutex>

#include "state/server.h"
#include "state/status.h"

void ResetServiceStateForTest() {
    ResetStatusForTest();
    ResetLifecycleForTest();
    std::lock_guard lock(ServiceLock);
    OutputPipeRead = nullptr;
    OutputPipeWrite = nullptr;
    InputPipeRead = nullptr;
    InputPipeWrite = nullptr;
    ServerProcess = platform::PROCESS_INFORMATION{};
    ServerJob = nullptr;
    ReaderThread = nullptr;
    LifecycleEvent = nullptr;
    ServerStarted.store(0);
}
