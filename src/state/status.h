// The status record that the service control manager knows of the service, its lock, and
// its reports.
#pragma once

#include <chrono>
#include <mutex>

#include "platform/owned_mutex.h"
#include "platform/platform.h"

// The one status record. Every thread changes single fields in place, always while
// holding ServiceLock; a report sends the values of that moment.
extern platform::SERVICE_STATUS ServiceStatus;

// The handle that the control-handler registration returned; 0 until then.
extern platform::SERVICE_STATUS_HANDLE StatusHandle;

// Guards ServiceStatus, StatusHandle, the lifecycle record (state/lifecycle.cpp) and the
// server's handles (state/server.h). Held only for short steps that cannot block: no log
// write and no report is made while it is held. Taken after the report lock (status.cpp)
// and before the log writer's lock.
extern platform::OwnedMutex ServiceLock;

// Reports ServiceStatus as it is now; a failed report is logged ("SetServiceStatus error
// %ld\n") and otherwise ignored. Reports leave in the order in which they were asked for,
// each with the values of one moment, and nothing leaves once a stopped report has.
// The caller does not hold ServiceLock.
void ReportStatus();

// The same, for the stopped report of a failed start: a failure is not logged.
void ReportStatusUnlogged();

// Sends the stopped report again if it was made before StatusHandle was known (a stop
// that came between the registration and the store of its handle), so that it reaches the
// manager. Caller holds no lock.
void ResendStoppedReport();

// Waits, at most `bound`, until a stopped report that has been handed out is done,
// its failure message included; returns at once when none has been made.
void AwaitStoppedReport(std::chrono::milliseconds bound);

// True with the Win32ExitCode that the stopped report carried, once it has been made.
bool StoppedExitCode(platform::DWORD* exitCode);
