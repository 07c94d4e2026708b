// For tests only: the service host and the supervision keep process-wide state that a
// real process sets up once, but a test program runs many starts in one process.
#pragma once

// Puts the status record, the status handle, the record of the stopped report, the pipe
// and process handles, the reader's thread handle, QuitCommandWritten and ServerStarted
// back to their process-start values. Call only when no thread of the logic runs any more.
void ResetServiceStateForTest();

// The status part of it: the record, the handle and the stopped report (service/status.cpp).
void ResetStatusForTest();
