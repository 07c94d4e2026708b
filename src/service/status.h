// The status record that the service control manager knows of the service, and its
// reports.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/platform.h"

// The one status record. Every thread changes single fields in place, always while
// holding ServiceLock; a report sends the values of that moment.
extern platform::SERVICE_STATUS ServiceStatus;

// The handle that the control-handler registration returned; 0 until then.
extern platform::SERVICE_STATUS_HANDLE StatusHandle;

// Guards ServiceStatus, StatusHandle, the record of the stopped report, and the server's
// pipe and process handles (writing, closing and zeroing them, and every call through
// them after the reader has started). One lock for both so that a report never mixes two
// threads' writes, nothing is reported after stopped, and no thread uses a handle that
// another has just closed. Taken before the log writer's own lock, never after it.
extern std::mutex ServiceLock;

// Set once a report with the stopped state has been handed to the platform (whether or
// not it arrived); from then on no report leaves the process. Written under ServiceLock,
// read anywhere.
extern std::atomic<bool> StopReported;

// Reports ServiceStatus; a failed report is logged ("SetServiceStatus error %ld\n") and
// otherwise ignored. Nothing is sent once the stopped report has been made.
void ReportStatus();

// The same, for a caller that already holds ServiceLock.
void ReportStatusLocked();

// The stopped report of a failed launch: sets the record to stopped with `code` as its
// exit code and reports it directly, logging nothing if the report fails. Does nothing
// once a stopped report has been made.
void ReportLaunchFailure(platform::DWORD code);

// True with the Win32ExitCode that the stopped report carried, once it has been made.
bool StoppedExitCode(platform::DWORD* exitCode);
