#include "service/state_for_tests.h"

#include <mutex>

#include "service/status.h"
#include "supervision/launch.h"
#include "supervision/reader.h"

void ResetServiceStateForTest() {
    ResetStatusForTest();
    std::lock_guard<std::mutex> lock(ServiceLock);
    OutputPipeRead = nullptr;
    OutputPipeWrite = nullptr;
    InputPipeRead = nullptr;
    InputPipeWrite = nullptr;
    ServerProcess = platform::PROCESS_INFORMATION{};
    ReaderThread = nullptr;
    QuitCommandWritten = false;
    ServerStarted.store(0);
}
