// Starting the server: its command line, its two pipes, the process and the reader.
#pragma once

#include "platform/platform.h"

// The two anonymous pipes. Output pipe: the server writes its standard output and
// standard error into the write end, the reader reads the read end. Input pipe: the
// server's standard input is the read end, the quit command goes into the write end.
// 0 until created; set back to 0 when closed. Guarded by ServiceLock (service/status.h).
extern platform::HANDLE OutputPipeRead;
extern platform::HANDLE OutputPipeWrite;
extern platform::HANDLE InputPipeRead;
extern platform::HANDLE InputPipeWrite;

// The server as process creation filled it in; zero until then. Only the process
// handle is used afterwards. Guarded by ServiceLock.
extern platform::PROCESS_INFORMATION ServerProcess;

// The reader thread's handle; only tested for failure of thread creation.
extern platform::HANDLE ReaderThread;

// Whether the quit command has been written into the input pipe. Guarded by ServiceLock.
extern bool QuitCommandWritten;

// Starts the server and waits for its start hint. Returns 0 once the service has been
// reported running; otherwise kNoCommandFile (2), kNoCommandLine (9), kStartTimedOut
// (109) or the platform error code of a failed pipe, process or thread creation.
platform::DWORD LaunchServer();

// Closes `handle` unless it is 0, and sets it to 0. The caller holds ServiceLock.
void CloseHandleLocked(platform::HANDLE& handle);

// Writes all bytes of Settings.QuitCommand, in one call, into the input pipe (a null
// quit command, left by a failed allocation, is written as an empty one). Returns the
// write's result; on failure the last error says why (a closed pipe: the platform's
// invalid-handle error). Once a write has succeeded, later calls write nothing and
// return success. The caller holds ServiceLock.
platform::BOOL WriteQuitCommandLocked();
