// The fake platform's processes, pipes, threads, clock and service control manager.
// Every call is recorded in order ("CloseHandle h3"), failures are injected by countdown,
// reads are scripted, and the clock moves only when the logic sleeps, so tests of the
// supervision and the service host run fast and decide every interleaving themselves.
// The process environment (command line, memory, debugger output, last error) is in
// fake_env.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Releases every blocked read and the dispatcher, waits for every thread that the fake
// started, and forgets everything: calls, handles, scripts, failures, reports, hooks. The
// clock starts again at kClockStart. Does not touch fake_env (see ResetEnv).
void Reset();

// --- Calls and handles ----------------------------------------------------------------

// Every platform call of this file so far, in order, e.g. "CreatePipe h1 h2",
// "CloseHandle h3", "WriteFile h4 6", "SetServiceStatus 2 0" (state, check point).
std::vector<std::string> Calls();
// Only the calls whose text begins with `prefix`.
std::vector<std::string> CallsStartingWith(const std::string& prefix);

// The name a handle has in the call log: "h3"; "h0" for 0.
std::string Name(platform::HANDLE handle);
// Whether a handle handed out by the fake is still open.
bool IsOpen(platform::HANDLE handle);
// Handles handed out (pipes, processes, threads) and not closed.
int OpenHandles();
// Calls made through a handle that was already closed (or never handed out), 0 excepted:
// a close of a closed handle, a write into one... Each one is a fault of the logic.
int ClosedHandleUses();

// --- Failure injection ----------------------------------------------------------------

enum class Op {
    CreatePipe,
    CreateProcessA,
    CreateThread,
    ReadFile,
    WriteFile,
    SetServiceStatus,
    RegisterServiceCtrlHandlerA,
    StartServiceCtrlDispatcherA,
    GetExitCodeProcess,
    TerminateProcess,
    CreateEventA,
    CreateJobObjectA,
    AssignProcessToJobObject,
    ResumeThread,
    CreateFileA,     // the fake's files (fake_files.h)
    FileWrite,       // WriteFile on a file, counted apart from the pipes' WriteFile
    DeleteFileA,
    MoveFileExA,
    LastOp = MoveFileExA,
};

// Counting from the last reset, makes the nth call of `op` (1 = the first) fail with
// `error` as the last error: only that one, or with fromThenOn every one from it on.
void Fail(Op op, int nth, platform::DWORD error, bool fromThenOn = false);

// For the fake's other files: counts a call of `op` and tells whether it is to fail,
// setting the last error if so.
bool ShouldFail(Op op);

// --- Pipes and processes --------------------------------------------------------------

struct PipeCall {
    platform::DWORD attributesLength;
    bool hasSecurityDescriptor;
    platform::BOOL inheritHandle;
    platform::DWORD size;
    platform::HANDLE readEnd;  // 0 when the call failed
    platform::HANDLE writeEnd;
};
std::vector<PipeCall> Pipes();

struct ProcessCall {
    bool applicationNameNull;
    std::string commandLine;
    bool processAttributesNull;
    bool threadAttributesNull;
    platform::BOOL inheritHandles;
    platform::DWORD creationFlags;
    bool environmentNull;
    bool currentDirectoryNull;
    std::string currentDirectory;
    platform::STARTUPINFOA startup;
    platform::PROCESS_INFORMATION information;  // zero when the call failed
};
std::vector<ProcessCall> Processes();

// What GetExitCodeProcess writes from now on; kStillActive (259) after a reset. Once
// TerminateProcess or TerminateJobObject has ended the process: the code given (Windows),
// or 128 + 9, as after SIGKILL (POSIX).
void SetExitCode(platform::DWORD code);
// A server that ends as soon as it is written to: from the first successful WriteFile on,
// GetExitCodeProcess gives `code`.
void ExitOnWrite(platform::DWORD code);
// A server that does not read its input, whose pipe is full: every WriteFile into a pipe
// waits (counted as a busy thread) until the reset releases it.
void FillPipes();

// A server that ends at the very moment a wait times out: it has ended when the next wait
// with no time to wait (a look) asks, and not before; the wait that timed out missed it.
void EndAtNextLook(platform::DWORD code);

// --- Reads of the output pipe -----------------------------------------------------------

// Appends to the script of ReadFile: the next read returns these bytes (no more than the
// read asks for; the rest of them stays for the read after).
void PushRead(const std::string& bytes);
// Appends a failing read with this last error.
void PushReadFailure(platform::DWORD error);
// Bytes written into a pipe are read from its read end before the script. A read that
// finds both empty waits, like a read of an open pipe, until more is pushed, or fails with
// kErrorBrokenPipe once the reads are released (and at reset) or once no write end is
// open: neither our handle nor the copy that a running process got as a standard handle.
// A write into a pipe with no read end open fails with kErrorNoData.
void ReleaseReads();
// Script items taken so far.
int ReadsTaken();
// Waits (at most `bound` of real time) until `taken` items have been taken and a read
// waits on the empty script, or until a reader has ended after taking them. True when so.
bool WaitForReader(int taken, std::chrono::milliseconds bound = std::chrono::seconds(10));

// --- Writes ---------------------------------------------------------------------------------

// The bytes written successfully through a handle, all calls joined.
std::string Written(platform::HANDLE handle);

// --- Threads --------------------------------------------------------------------------

// Run: CreateThread runs the routine at once on a real thread (the default).
// RunUntilIdle: the same, but CreateThread returns only once the new thread waits in a
// read on the empty script or has ended, so a test decides what the reader has seen
// before the caller goes on.
// RecordOnly: CreateThread hands out a handle and keeps the routine, which never runs.
enum class ThreadMode { Run, RunUntilIdle, RecordOnly };
void SetThreadMode(ThreadMode mode);
// The routine and the parameter of each CreateThread that succeeded, in order.
struct ThreadCall {
    platform::LPTHREAD_START_ROUTINE routine;
    void* parameter;
};
std::vector<ThreadCall> ThreadCalls();
// Waits for every thread that the fake started to end (releasing nothing).
void JoinThreads();
// Whether every thread that the fake started has ended.
bool ThreadsEnded();

// --- Clock and sleep --------------------------------------------------------------------

constexpr std::uint64_t kClockStart = 1000000000;  // far from 0, as after a long uptime
// GetTickCount64's value: kClockStart plus everything slept since the reset.
std::uint64_t Now();
// Moves the clock without a sleep (time the logic spends elsewhere).
void Advance(std::uint64_t milliseconds);
// Called after each Sleep, and each wait with a limit, has moved the clock, on the
// sleeping thread, with the number of that sleep (1 for the first since the reset). Lets a
// test act at a chosen pass. A wait with a limit that no signal ends moves the clock by
// the whole limit and is logged as "Wait MS"; one without a limit blocks for real until a
// handle is signalled (an event set, the process ended) and is logged "Wait infinite".
void SetSleepHook(std::function<void(int sleepNumber)> hook);
int Sleeps();

// --- Service control manager -----------------------------------------------------------------

// Every SetServiceStatus call, failed ones included, as the seven values it was handed.
std::vector<platform::SERVICE_STATUS> Reports();
// Called inside RegisterServiceCtrlHandlerA, after the handler is registered and before
// the call returns: lets a test deliver a control in that gap.
void SetRegistrationHook(std::function<void()> hook);
// The status handle that RegisterServiceCtrlHandlerA hands out.
platform::SERVICE_STATUS_HANDLE StatusHandleGiven();
// The name and the handler of the last registration; null handler before one.
std::string RegisteredName();
platform::LPHANDLER_FUNCTION RegisteredHandler();
// The service name of the table's first entry that StartServiceCtrlDispatcherA received,
// and whether that name was a null pointer.
std::string DispatchedName();
bool DispatchedNameNull();

// The dispatcher runs the table's start routine on a thread of its own and delivers,
// on the thread that called it, each control sent here to the registered handler, one at
// a time. It returns 1 once a stopped report has been made (whether it succeeded or not),
// or 0 with error 1053 when nothing stops the service within `bound` of real time.
// A control is delivered once a handler is registered and, with `afterReports`, once
// that many status reports have been made.
void SendControl(platform::DWORD control, int afterReports = 0);
void SetDispatcherBound(std::chrono::milliseconds bound);
// Controls delivered to the handler so far.
int ControlsDelivered();
// Waits (at most `bound`) until `count` controls have been delivered and handled.
bool WaitForControls(int count, std::chrono::milliseconds bound = std::chrono::seconds(10));

// Thrown out of a wait without a limit when the fake is reset, and caught where the
// fake's thread began: the thread ends as it would with its process.
struct Released {};

// ExitProcess records its code and throws this, so that no test process ends.
struct ProcessExit {
    platform::DWORD code;
};
std::vector<platform::DWORD> ExitCodes();

}  // namespace fake
