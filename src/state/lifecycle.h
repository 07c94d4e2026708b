// The service's lifecycle: one state, the events that move it, and what each does.
// The table itself is at the top of lifecycle.cpp.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum class Phase { kStarting, kRunning, kStopping, kStopped };

// Period of the pending reports, and the wait hint that each of them carries: it covers
// the next report with room to spare.
constexpr platform::DWORD kPendingReportMilliseconds = 500;
constexpr platform::DWORD kPendingWaitHint = 1000;

// After a start timeout the server is sent the quit command and given this long to end by
// itself before its job is ended the hard way.
constexpr std::uint64_t kTimeoutGraceMilliseconds = 5000;

// The start hint was not seen in time, or the server ended before it (ERROR_BROKEN_PIPE).
constexpr platform::DWORD kStartFailed = 109;
// The service was stopped otherwise (a stop request, the server's end): the stopped report
// has been made already, and the caller has nothing to report.
constexpr platform::DWORD kStopReportedAlready = 1;

constexpr char kNoHintEndMessage[] = "Server ended: no start hint within the timeout\n";
constexpr char kNoExitEndMessage[] = "Server ended: no exit within the stop timeout\n";

// --- Any thread -----------------------------------------------------------------------

// The reader saw the start hint.
void PostHintSeen();

// The reader met the end of the server's output, and logged what came before it.
void PostOutputEnded();

// The writer has written the quit command (error 0) or failed with `error`.
void PostQuitWritten(platform::DWORD error);

// A control request, on the dispatcher's thread. Stop (and shutdown and preshutdown, when
// accepted) is
// acted on by the supervising thread once the server's launch has begun, and here before
// it; interrogate reports; any other code is logged and reported.
void PostControl(platform::DWORD control);

Phase CurrentPhase();

// --- The launch -------------------------------------------------------------------------

// Whether the server may be launched: false once the service has been stopped. From a
// true answer on, stop requests wait for the supervising thread.
bool BeginLaunch();

// The stopped report of a failed start, with its code; nothing once the service has been
// reported stopped.
void EndStartWithFailure(platform::DWORD code);

// --- The supervising thread -------------------------------------------------------------

// What the supervising thread does next: leave with `result` (0: running; otherwise the
// service has been reported stopped), or wait for LifecycleEvent, the server's process
// when `watchServer`, and at most `waitMilliseconds` (kInfinite: no limit).
struct SupervisorStep {
    bool done;
    platform::DWORD result;
    platform::DWORD waitMilliseconds;
    bool watchServer;
};

// Takes every event that is due (the server's end, a stop, the hint, a deadline) through
// the table and says what to do next. Only the supervising thread calls it.
SupervisorStep LifecycleStep();

// The server's process handle was signalled: its end is noted and its handles closed.
void NoteServerEnded();
void NoteServerEndedLocked();  // the caller holds ServiceLock
