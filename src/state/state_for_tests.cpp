#include "state/state_for_tests.h"

#include <mutex>

#include "state/input.h"
#include "state/server.h"
#include "state/status.h"

void ResetServiceStateForTest() {
    ResetStatusForTest();
    ResetLifecycleForTest();
    ResetInputForTest();
    std::lock_guard lock(ServiceLock);
    OutputPipeRead = nullptr;
    OutputPipeWrite = nullptr;
    InputPipeRead = nullptr;
    InputPipeWrite = nullptr;
    ServerProcess = platform::PROCESS_INFORMATION{};
    ServerJob = nullptr;
    ReaderThread = nullptr;
    WriterThread = nullptr;
    LifecycleEvent = nullptr;
    ServerStarted.store(0);
}
