#include "state/server.h"

#include <cassert>
#include <mutex>

#include "state/status.h"

platform::HANDLE OutputPipeRead = nullptr;
platform::HANDLE OutputPipeWrite = nullptr;
platform::HANDLE InputPipeRead = nullptr;
platform::HANDLE InputPipeWrite = nullptr;
platform::PROCESS_INFORMATION ServerProcess = {};
platform::HANDLE ServerJob = nullptr;
platform::HANDLE ReaderThread = nullptr;
platform::HANDLE WriterThread = nullptr;
platform::HANDLE LifecycleEvent = nullptr;
std::atomic<std::uint32_t> ServerStarted{0};

void CloseHandleLocked(platform::HANDLE& handle) {
    assert(ServiceLock.HeldHere());
    if (handle == nullptr) return;
    platform::CloseHandle(handle);
    handle = nullptr;
}

void EndServerTree(platform::DWORD exitCode) {
    assert(!ServiceLock.HeldHere());
    platform::HANDLE job = nullptr;
    platform::HANDLE process = nullptr;
    {
        std::lock_guard lock(ServiceLock);
        job = ServerJob;
        process = ServerProcess.hProcess;
    }
    // Both are closed only by the supervising thread, the one that ends the tree.
    if (job != nullptr) {
        (void)platform::TerminateJobObject(job, exitCode);
    } else if (process != nullptr) {
        (void)platform::TerminateProcess(process, exitCode);
    }
}
