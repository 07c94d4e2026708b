// The server's handles and the facts that its threads share, all process-wide.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// The two anonymous pipes. Output pipe: the server writes its standard output and
// standard error into the write end, the reader reads the read end. Input pipe: the
// server's standard input is the read end, the quit command goes into the write end.
// 0 until created; set back to 0 when closed. Guarded by ServiceLock (state/status.h).
extern platform::HANDLE OutputPipeRead;
extern platform::HANDLE OutputPipeWrite;
extern platform::HANDLE InputPipeRead;
extern platform::HANDLE InputPipeWrite;

// The server as process creation filled it in; zero until then, and again once its end
// has been noticed (the handles are closed then). Guarded by ServiceLock.
extern platform::PROCESS_INFORMATION ServerProcess;

// The job that holds the server and everything it starts. Guarded by ServiceLock.
extern platform::HANDLE ServerJob;

// The reader's and the input writer's thread handles; only tested for failure of thread
// creation.
extern platform::HANDLE ReaderThread;
extern platform::HANDLE WriterThread;

// Set whenever the lifecycle has news for the supervising thread (a hint, a control).
extern platform::HANDLE LifecycleEvent;

// 0 until the reader has seen the start hint, then 1 for good.
extern std::atomic<std::uint32_t> ServerStarted;

// Closes `handle` unless it is 0, and sets it to 0. The caller holds ServiceLock.
void CloseHandleLocked(platform::HANDLE& handle);

// Ends the server the hard way with `exitCode`: its job, and so everything it started,
// or the process alone when there is no job. The caller must not hold ServiceLock: the
// call may wait (up to 2 s, POSIX) for the processes to be gone.
void EndServerTree(platform::DWORD exitCode);
