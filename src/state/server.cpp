#include "state/server.h"

#include <cassert>

#include "state/status.h"

platform::HANDLE OutputPipeRead = nullptr;
platform::HANDLE OutputPipeWrite = nullptr;
platform::HANDLE InputPipeRead = nullptr;
platform::HANDLE InputPipeWrite = nullptr;
platform::PROCESS_INFORMATION ServerProcess = {};
platform::HANDLE ServerJob = nullptr;
platform::HANDLE ReaderThread = nullptr;
platform::HANDLE LifecycleEvent = nullptr;
std::atomic<std::uint32_t> ServerStarted{0};

void CloseHandleLocked(platform::HANDLE& handle) {
    assert(ServiceLock.HeldHere());
    if (handle == nullptr) return;
    platform::CloseHandle(handle);
    handle = nullptr;
}

void EndServerTreeLocked(platform::DWORD exitCode) {
    assert(ServiceLock.HeldHere());
    if (ServerJob != nullptr) {
        platform::TerminateJobObject(ServerJob, exitCode);
    } else if (ServerProcess.hProcess != nullptr) {
        platform::TerminateProcess(ServerProcess.hProcess, exitCode);
    }
}
