// For tests only: the service keeps process-wide state that a real process sets up once,
// but a test program runs many starts in one process.
#pragma once

// Puts the status record, the status handle, the lifecycle, the server's handles and
// ServerStarted back to their process-start values. Call only when no thread of the logic
// runs any more.
void ResetServiceStateForTest();

// The parts of it: the status record and its reports (status.cpp), the lifecycle record
// (lifecycle.cpp).
void ResetStatusForTest();
void ResetLifecycleForTest();
