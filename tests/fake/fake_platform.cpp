// The fake platform's processes, pipes, threads, clock and service control manager.
#include "fake/fake_platform.h"

#include <algorithm>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "fake/fake_console.h"
#include "fake/fake_files.h"
#include "platform/owned_mutex.h"
#include "support/support.h"

namespace fake {
namespace {

using platform::BOOL;
using platform::DWORD;
using platform::HANDLE;

constexpr DWORD kServiceRequestTimeout = 1053;
constexpr int kOpCount = static_cast<int>(Op::LastOp) + 1;
// Events and jobs are named apart ("e1", "j1") and not counted as open handles, so that
// the pipes, processes and threads keep their names and counts.
constexpr std::uintptr_t kEventBase = 0x10000;
constexpr std::uintptr_t kJobBase = 0x20000;
// The status handle is no kernel handle: it is never closed and not counted as open.
HANDLE const kStatusHandle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5E5));

struct Failure {
    int nth;
    DWORD error;
    bool fromThenOn;
};

struct ReadItem {
    bool fails;
    DWORD error;
    std::string bytes;
};

struct Control {
    DWORD code;
    int afterReports;
};

struct State {
    std::vector<std::string> calls;
    std::uintptr_t nextHandle = 1;
    std::set<std::uintptr_t> open;
    int closedHandleUses = 0;
    int counts[kOpCount] = {};
    std::vector<Failure> failures[kOpCount];
    std::vector<PipeCall> pipes;
    std::vector<ProcessCall> processes;
    DWORD exitCode = platform::kStillActive;
    bool exitOnWrite = false;
    bool endAtLook = false;  // the process ends as the next wait with no time looks
    DWORD endAtLookCode = 0;
    DWORD exitOnWriteCode = 0;
    std::deque<ReadItem> reads;
    bool readsReleased = false;
    int readsTaken = 0;
    int readsWaiting = 0;
    std::map<std::uintptr_t, std::string> written;
    ThreadMode threadMode = ThreadMode::Run;
    std::vector<ThreadCall> threadCalls;
    int createdThreadsRunning = 0;
    bool pipesFull = false;  // FillPipes: every write into a pipe blocks
    int blockedWriters = 0;  // created threads inside such a write
    // Of those, the ones in a wait without a limit (the input writer, idle): what they
    // wait on. One whose handle is signalled already is about to run, so not idle.
    std::vector<std::vector<HANDLE>> idleWaits;
    std::uint64_t clock = kClockStart;
    int sleeps = 0;
    std::function<void(int)> sleepHook;
    std::function<void()> registrationHook;
    std::vector<platform::SERVICE_STATUS> reports;
    bool stoppedReported = false;
    std::string registeredName;
    platform::LPHANDLER_FUNCTION handler = nullptr;
    std::string dispatchedName;
    bool dispatchedNameNull = false;
    std::deque<Control> controls;
    int controlsDelivered = 0;
    bool dispatcherReleased = false;
    std::chrono::milliseconds dispatcherBound = std::chrono::seconds(20);
    std::vector<DWORD> exitCodes;
    std::uintptr_t nextEvent = kEventBase + 1;
    std::uintptr_t nextJob = kJobBase + 1;
    std::map<std::uintptr_t, bool> events;  // set or not
    std::map<std::uintptr_t, std::uintptr_t> pipeWriter;  // read end -> its write end
    std::map<std::uintptr_t, std::uintptr_t> pipeReader;  // write end -> its read end
    std::map<std::uintptr_t, std::string> pipeBytes;      // read end -> written, not yet read
    std::set<std::uintptr_t> heldByProcess;  // pipe ends a process got as standard handles
    std::uintptr_t waitingReadEnd = 0;       // the pipe end that a read waits on
    std::set<std::uintptr_t> jobs;
    std::uintptr_t jobProcess = 0;          // the process assigned to a job
};

// Guards State and Threads; never held while the logic runs (a hook, a thread routine,
// the control handler).
platform::OwnedMutex FakeLock;
std::condition_variable_any Changed;  // any change that a waiting read, dispatcher or test needs
State S;
std::vector<std::thread> Threads;  // every thread the fake started, joined at reset

std::uintptr_t Id(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

HANDLE NewHandleLocked() {
    assert(FakeLock.HeldHere());
    const std::uintptr_t id = S.nextHandle++;
    S.open.insert(id);
    return reinterpret_cast<HANDLE>(id);
}

std::string NameOf(HANDLE handle) {
    const std::uintptr_t id = Id(handle);
    if (id > kJobBase && id < kJobBase + 0x10000) return "j" + std::to_string(id - kJobBase);
    if (id > kEventBase && id < kEventBase + 0x10000) return "e" + std::to_string(id - kEventBase);
    return "h" + std::to_string(id);
}

// A pipe end is open while our handle or the running process's copy of it is.
bool EndOpenLocked(std::uintptr_t end) {
    assert(FakeLock.HeldHere());
    return S.open.count(end) != 0 ||
           (S.heldByProcess.count(end) != 0 && S.exitCode == platform::kStillActive);
}

// Whether a read of this read end would find the pipe broken now.
bool PipeBrokenLocked(std::uintptr_t readEnd) {
    assert(FakeLock.HeldHere());
    const auto writer = S.pipeWriter.find(readEnd);
    return writer != S.pipeWriter.end() && !EndOpenLocked(writer->second) &&
           S.pipeBytes[readEnd].empty();
}

// A process handle is signalled once the process has ended; an event once it is set.
bool SignalledLocked(HANDLE handle) {
    assert(FakeLock.HeldHere());
    const auto event = S.events.find(Id(handle));
    if (event != S.events.end()) return event->second;
    return S.open.count(Id(handle)) != 0 && S.exitCode != platform::kStillActive;
}

// The first signalled handle's index, taking an event's signal; -1 when none.
int TakeSignalLocked(platform::DWORD count, const HANDLE* handles) {
    assert(FakeLock.HeldHere());
    for (platform::DWORD i = 0; i < count; ++i) {
        if (!SignalledLocked(handles[i])) continue;
        const auto event = S.events.find(Id(handles[i]));
        if (event != S.events.end()) event->second = false;
        return static_cast<int>(i);
    }
    return -1;
}

// Counts the call and tells whether it is to fail, setting the last error if so.
bool ShouldFailLocked(Op op) {
    assert(FakeLock.HeldHere());
    const int index = static_cast<int>(op);
    const int number = ++S.counts[index];
    for (const Failure& failure : S.failures[index]) {
        if (number == failure.nth || (failure.fromThenOn && number > failure.nth)) {
            platform::SetLastError(failure.error);
            return true;
        }
    }
    return false;
}

// A call through a handle: false (with the invalid-handle error) for 0 and, counted as a
// fault, for a handle that is not open.
bool UsableLocked(HANDLE handle) {
    assert(FakeLock.HeldHere());
    if (handle != nullptr && S.open.count(Id(handle)) == 0) ++S.closedHandleUses;
    if (handle == nullptr || S.open.count(Id(handle)) == 0) {
        platform::SetLastError(platform::kErrorInvalidHandle);
        return false;
    }
    return true;
}

// Whether this thread is one that CreateThread started.
thread_local bool CreatedThread = false;

// CreateThread's threads that are doing something: not ended, not idle in a wait without
// a limit (which only an event of the logic's would end).
int BusyThreadsLocked() {
    assert(FakeLock.HeldHere());
    int idle = 0;
    for (const std::vector<HANDLE>& handles : S.idleWaits) {
        if (std::none_of(handles.begin(), handles.end(), SignalledLocked)) ++idle;
    }
    return S.createdThreadsRunning - idle - S.blockedWriters;
}

void StartThreadLocked(std::function<void()> body, bool counted) {
    assert(FakeLock.HeldHere());
    if (counted) ++S.createdThreadsRunning;
    Threads.emplace_back([body, counted] {
        CreatedThread = counted;
        try {
            body();
        } catch (const Released&) {
            // A wait without a limit that the reset ended: the thread ends with the "process".
        }
        std::lock_guard lock(FakeLock);
        if (counted) --S.createdThreadsRunning;
        Changed.notify_all();
    });
}

// The dispatcher may hand the next control to the handler.
bool ControlReadyLocked() {
    assert(FakeLock.HeldHere());
    return !S.controls.empty() && S.handler != nullptr &&
           static_cast<int>(S.reports.size()) >= S.controls.front().afterReports;
}

// The reader can do nothing more until the test or the clock gives it something: it has
// ended, or it waits in a read that nothing would end now.
bool ReaderSettledLocked() {
    assert(FakeLock.HeldHere());
    if (BusyThreadsLocked() == 0) return true;
    if (BusyThreadsLocked() > 1) return false;
    if (S.readsWaiting == 0 || !S.reads.empty() || S.readsReleased) return false;
    return S.pipeBytes[S.waitingReadEnd].empty() && !PipeBrokenLocked(S.waitingReadEnd);
}

// The reader waits on an empty script, or no thread of CreateThread's runs.
bool ReaderIdleLocked() {
    assert(FakeLock.HeldHere());
    return (BusyThreadsLocked() == 1 && S.readsWaiting > 0 && S.reads.empty()) ||
           BusyThreadsLocked() == 0;
}

}  // namespace

void Reset() {
    {
        std::lock_guard lock(FakeLock);
        S.readsReleased = true;
        S.dispatcherReleased = true;
        Changed.notify_all();
    }
    ResetConsole();  // ends the waits of console threads, which the join needs
    JoinThreads();
    ResetFiles();
    std::lock_guard lock(FakeLock);
    S = State{};
}

std::vector<std::string> Calls() {
    std::lock_guard lock(FakeLock);
    return S.calls;
}

std::vector<std::string> CallsStartingWith(const std::string& prefix) {
    std::lock_guard lock(FakeLock);
    std::vector<std::string> found;
    for (const std::string& call : S.calls) {
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    }
    return found;
}

std::string Name(HANDLE handle) { return NameOf(handle); }

bool IsOpen(HANDLE handle) {
    std::lock_guard lock(FakeLock);
    return S.open.count(Id(handle)) != 0;
}

int OpenHandles() {
    std::lock_guard lock(FakeLock);
    return static_cast<int>(S.open.size());
}

int ClosedHandleUses() {
    std::lock_guard lock(FakeLock);
    return S.closedHandleUses;
}

bool ShouldFail(Op op) {
    std::lock_guard lock(FakeLock);
    return ShouldFailLocked(op);
}

void Fail(Op op, int nth, DWORD error, bool fromThenOn) {
    std::lock_guard lock(FakeLock);
    S.failures[static_cast<int>(op)].push_back(Failure{nth, error, fromThenOn});
}

std::vector<PipeCall> Pipes() {
    std::lock_guard lock(FakeLock);
    return S.pipes;
}

std::vector<ProcessCall> Processes() {
    std::lock_guard lock(FakeLock);
    return S.processes;
}

void SetExitCode(DWORD code) {
    std::lock_guard lock(FakeLock);
    S.exitCode = code;
    Changed.notify_all();
}

void FillPipes() {
    std::lock_guard lock(FakeLock);
    S.pipesFull = true;
}

void ExitOnWrite(DWORD code) {
    std::lock_guard lock(FakeLock);
    S.exitOnWrite = true;
    S.exitOnWriteCode = code;
}

void EndAtNextLook(DWORD code) {
    std::lock_guard lock(FakeLock);
    S.endAtLook = true;
    S.endAtLookCode = code;
}

void PushRead(const std::string& bytes) {
    std::lock_guard lock(FakeLock);
    S.reads.push_back(ReadItem{false, 0, bytes});
    Changed.notify_all();
}

void PushReadFailure(DWORD error) {
    std::lock_guard lock(FakeLock);
    S.reads.push_back(ReadItem{true, error, std::string()});
    Changed.notify_all();
}

void ReleaseReads() {
    std::lock_guard lock(FakeLock);
    S.readsReleased = true;
    Changed.notify_all();
}

int ReadsTaken() {
    std::lock_guard lock(FakeLock);
    return S.readsTaken;
}

bool WaitForReader(int taken, std::chrono::milliseconds bound) {
    std::unique_lock lock(FakeLock);
    return Changed.wait_for(lock, bound, [taken] {
        return S.readsTaken >= taken && ReaderIdleLocked();
    });
}

std::string Written(HANDLE handle) {
    std::lock_guard lock(FakeLock);
    const auto found = S.written.find(Id(handle));
    return found == S.written.end() ? std::string() : found->second;
}

void SetThreadMode(ThreadMode mode) {
    std::lock_guard lock(FakeLock);
    S.threadMode = mode;
}

void JoinThreads() {
    for (;;) {
        std::vector<std::thread> running;
        {
            std::lock_guard lock(FakeLock);
            running.swap(Threads);
        }
        if (running.empty()) return;
        for (std::thread& thread : running) thread.join();
    }
}

std::vector<ThreadCall> ThreadCalls() {
    std::lock_guard lock(FakeLock);
    return S.threadCalls;
}

bool ThreadsEnded() {
    std::lock_guard lock(FakeLock);
    return BusyThreadsLocked() == 0;
}

std::uint64_t Now() {
    std::lock_guard lock(FakeLock);
    return S.clock;
}

void Advance(std::uint64_t milliseconds) {
    std::lock_guard lock(FakeLock);
    S.clock += milliseconds;
}

void SetSleepHook(std::function<void(int)> hook) {
    std::lock_guard lock(FakeLock);
    S.sleepHook = std::move(hook);
}

void SetRegistrationHook(std::function<void()> hook) {
    std::lock_guard lock(FakeLock);
    S.registrationHook = std::move(hook);
}

int Sleeps() {
    std::lock_guard lock(FakeLock);
    return S.sleeps;
}


std::vector<platform::SERVICE_STATUS> Reports() {
    std::lock_guard lock(FakeLock);
    return S.reports;
}

platform::SERVICE_STATUS_HANDLE StatusHandleGiven() { return kStatusHandle; }

std::string RegisteredName() {
    std::lock_guard lock(FakeLock);
    return S.registeredName;
}

platform::LPHANDLER_FUNCTION RegisteredHandler() {
    std::lock_guard lock(FakeLock);
    return S.handler;
}

std::string DispatchedName() {
    std::lock_guard lock(FakeLock);
    return S.dispatchedName;
}

bool DispatchedNameNull() {
    std::lock_guard lock(FakeLock);
    return S.dispatchedNameNull;
}

void SendControl(DWORD control, int afterReports) {
    std::lock_guard lock(FakeLock);
    S.controls.push_back(Control{control, afterReports});
    Changed.notify_all();
}

void SetDispatcherBound(std::chrono::milliseconds bound) {
    std::lock_guard lock(FakeLock);
    S.dispatcherBound = bound;
}

int ControlsDelivered() {
    std::lock_guard lock(FakeLock);
    return S.controlsDelivered;
}

bool WaitForControls(int count, std::chrono::milliseconds bound) {
    std::unique_lock lock(FakeLock);
    return Changed.wait_for(lock, bound, [count] { return S.controlsDelivered >= count; });
}

std::vector<DWORD> ExitCodes() {
    std::lock_guard lock(FakeLock);
    return S.exitCodes;
}

}  // namespace fake

// --- The platform calls -------------------------------------------------------------------

namespace platform {

using fake::Op;
using fake::S;
using fake::FakeLock;

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    std::unique_lock lock(FakeLock);
    S.calls.push_back("StartServiceCtrlDispatcherA");
    S.dispatchedNameNull = table[0].lpServiceName == nullptr;
    S.dispatchedName = S.dispatchedNameNull ? std::string() : table[0].lpServiceName;
    if (fake::ShouldFailLocked(Op::StartServiceCtrlDispatcherA)) return 0;
    const LPSERVICE_MAIN_FUNCTIONA start = table[0].lpServiceProc;
    fake::StartThreadLocked([start] { start(0, nullptr); }, false);

    const auto deadline = std::chrono::steady_clock::now() + S.dispatcherBound;
    for (;;) {
        fake::Changed.wait_until(lock, deadline, [] {
            return fake::ControlReadyLocked() || S.stoppedReported || S.dispatcherReleased;
        });
        if (S.stoppedReported) return 1;
        if (!fake::ControlReadyLocked()) {
            // Released at reset, or the bound ran out: a test that never stops the
            // service fails instead of hanging.
            S.calls.push_back("StartServiceCtrlDispatcherA gave up");
            SetLastError(fake::kServiceRequestTimeout);
            return 0;
        }
        const DWORD control = S.controls.front().code;
        S.controls.pop_front();
        const LPHANDLER_FUNCTION handler = S.handler;
        lock.unlock();
        if (handler != nullptr) handler(control);
        lock.lock();
        ++S.controlsDelivered;
        fake::Changed.notify_all();
    }
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* serviceName,
                                                  LPHANDLER_FUNCTION handler) {
    std::function<void()> hook;
    {
        std::lock_guard lock(FakeLock);
        const std::string name = serviceName == nullptr ? "(null)" : serviceName;
        S.calls.push_back("RegisterServiceCtrlHandlerA " + name);
        if (fake::ShouldFailLocked(Op::RegisterServiceCtrlHandlerA)) return nullptr;
        S.registeredName = name;
        S.handler = handler;
        fake::Changed.notify_all();
        hook = S.registrationHook;
    }
    if (hook) hook();
    return fake::kStatusHandle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    std::lock_guard lock(FakeLock);
    S.calls.push_back("SetServiceStatus " + std::to_string(status->CurrentState) + " " +
                      std::to_string(status->CheckPoint));
    S.reports.push_back(*status);
    if (status->CurrentState == kServiceStopped) S.stoppedReported = true;
    fake::Changed.notify_all();
    if (fake::ShouldFailLocked(Op::SetServiceStatus)) return 0;
    if (handle != fake::kStatusHandle) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    return 1;
}

BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES* attributes,
                DWORD size) {
    std::lock_guard lock(FakeLock);
    fake::PipeCall call = {};
    call.attributesLength = attributes != nullptr ? attributes->nLength : 0;
    call.hasSecurityDescriptor = attributes != nullptr && attributes->lpSecurityDescriptor;
    call.inheritHandle = attributes != nullptr ? attributes->bInheritHandle : 0;
    call.size = size;
    if (fake::ShouldFailLocked(Op::CreatePipe)) {
        S.calls.push_back("CreatePipe failed");
        S.pipes.push_back(call);
        return 0;
    }
    call.readEnd = fake::NewHandleLocked();
    call.writeEnd = fake::NewHandleLocked();
    S.pipeWriter[fake::Id(call.readEnd)] = fake::Id(call.writeEnd);
    S.pipeReader[fake::Id(call.writeEnd)] = fake::Id(call.readEnd);
    *readEnd = call.readEnd;
    *writeEnd = call.writeEnd;
    S.pipes.push_back(call);
    S.calls.push_back("CreatePipe " + fake::NameOf(call.readEnd) + " " +
                      fake::NameOf(call.writeEnd));
    return 1;
}

BOOL CreateProcessA(const char* applicationName, char* commandLine,
                    const SECURITY_ATTRIBUTES* processAttributes,
                    const SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, void* environment, const char* currentDirectory,
                    const STARTUPINFOA* startupInfo, PROCESS_INFORMATION* information) {
    std::lock_guard lock(FakeLock);
    fake::ProcessCall call = {};
    call.applicationNameNull = applicationName == nullptr;
    call.commandLine = commandLine != nullptr ? commandLine : "";
    call.processAttributesNull = processAttributes == nullptr;
    call.threadAttributesNull = threadAttributes == nullptr;
    call.inheritHandles = inheritHandles;
    call.creationFlags = creationFlags;
    call.environmentNull = environment == nullptr;
    call.currentDirectoryNull = currentDirectory == nullptr;
    call.currentDirectory = currentDirectory != nullptr ? currentDirectory : "";
    call.startup = *startupInfo;
    if (fake::ShouldFailLocked(Op::CreateProcessA)) {
        S.calls.push_back("CreateProcessA failed");
        S.processes.push_back(call);
        return 0;
    }
    call.information.hProcess = fake::NewHandleLocked();
    call.information.hThread = fake::NewHandleLocked();
    call.information.dwProcessId = 4242;
    call.information.dwThreadId = 4243;
    *information = call.information;
    // The child's copies of its standard handles keep their pipes open while it runs.
    if ((startupInfo->dwFlags & kStartfUseStdHandles) != 0) {
        for (const HANDLE end : {startupInfo->hStdInput, startupInfo->hStdOutput,
                                 startupInfo->hStdError}) {
            if (end != nullptr) S.heldByProcess.insert(fake::Id(end));
        }
    }
    S.processes.push_back(call);
    S.calls.push_back("CreateProcessA " + fake::NameOf(call.information.hProcess) + " " +
                      fake::NameOf(call.information.hThread));
    return 1;
}

BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
    std::lock_guard lock(FakeLock);
    S.calls.push_back("SetHandleInformation " + fake::NameOf(handle) + " " + std::to_string(mask) +
                      " " + std::to_string(flags));
    return fake::UsableLocked(handle) ? 1 : 0;
}

HANDLE CreateJobObjectA(const SECURITY_ATTRIBUTES* /*attributes*/, const char* /*name*/) {
    std::lock_guard lock(FakeLock);
    if (fake::ShouldFailLocked(Op::CreateJobObjectA)) {
        S.calls.push_back("CreateJobObjectA failed");
        return nullptr;
    }
    const std::uintptr_t id = S.nextJob++;
    S.jobs.insert(id);
    const HANDLE job = reinterpret_cast<HANDLE>(id);
    S.calls.push_back("CreateJobObjectA " + fake::NameOf(job));
    return job;
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
    std::lock_guard lock(FakeLock);
    S.calls.push_back("AssignProcessToJobObject " + fake::NameOf(job) + " " + fake::NameOf(process));
    if (fake::ShouldFailLocked(Op::AssignProcessToJobObject)) return 0;
    if (S.jobs.count(fake::Id(job)) == 0 || !fake::UsableLocked(process)) return 0;
    S.jobProcess = fake::Id(process);
    return 1;
}

BOOL TerminateJobObject(HANDLE job, DWORD exitCode) {
    std::lock_guard lock(FakeLock);
    S.calls.push_back("TerminateJobObject " + fake::NameOf(job) + " " + std::to_string(exitCode));
    if (S.jobs.count(fake::Id(job)) == 0) {
        ++S.closedHandleUses;
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    if (S.jobProcess != 0 && S.exitCode == kStillActive) {
        S.exitCode = support::KilledExitCode(exitCode);
    }
    fake::Changed.notify_all();
    return 1;
}

DWORD ResumeThread(HANDLE thread) {
    std::lock_guard lock(FakeLock);
    S.calls.push_back("ResumeThread " + fake::NameOf(thread));
    if (fake::ShouldFailLocked(Op::ResumeThread)) return kResumeFailed;
    return fake::UsableLocked(thread) ? 1 : kResumeFailed;
}

HANDLE CreateEventA(const SECURITY_ATTRIBUTES* /*attributes*/, BOOL /*manualReset*/,
                    BOOL initialState, const char* /*name*/) {
    std::lock_guard lock(FakeLock);
    if (fake::ShouldFailLocked(Op::CreateEventA)) {
        S.calls.push_back("CreateEventA failed");
        return nullptr;
    }
    const std::uintptr_t id = S.nextEvent++;
    S.events[id] = initialState != 0;
    const HANDLE event = reinterpret_cast<HANDLE>(id);
    S.calls.push_back("CreateEventA " + fake::NameOf(event));
    return event;
}

BOOL SetEvent(HANDLE event) {
    std::lock_guard lock(FakeLock);
    const auto found = S.events.find(fake::Id(event));
    if (found == S.events.end()) {
        if (event != nullptr) ++S.closedHandleUses;
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    found->second = true;
    fake::Changed.notify_all();
    return 1;
}

// A wait with a limit moves the clock by the whole limit unless a handle is signalled
// already, like a Sleep (the sleep hook runs after it); a wait without one blocks for real
// until a handle is signalled, and a reset ends it by ending its thread.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL /*waitAll*/,
                             DWORD milliseconds) {
    std::unique_lock lock(FakeLock);
    for (DWORD i = 0; i < count; ++i) {
        if (S.events.count(fake::Id(handles[i])) == 0 && !fake::UsableLocked(handles[i])) {
            return kWaitFailed;
        }
    }
    int index = fake::TakeSignalLocked(count, handles);
    if (index >= 0) return kWaitObject0 + static_cast<DWORD>(index);
    // A look with no time to wait: nothing moves, and the process may end just now.
    if (milliseconds == 0) {
        if (S.endAtLook) {
            S.endAtLook = false;
            S.exitCode = S.endAtLookCode;
            index = fake::TakeSignalLocked(count, handles);
            if (index >= 0) return kWaitObject0 + static_cast<DWORD>(index);
        }
        return kWaitTimeout;
    }
    if (milliseconds == kInfinite) {
        // A created thread's wait without a limit is its idling (the input writer's), not a
        // step that the tests follow.
        const bool idle = fake::CreatedThread;
        if (!idle) S.calls.push_back("Wait infinite");
        if (idle) {
            S.idleWaits.emplace_back(handles, handles + count);
            fake::Changed.notify_all();
        }
        fake::Changed.wait(lock, [&] {
            index = fake::TakeSignalLocked(count, handles);
            return index >= 0 || S.dispatcherReleased;
        });
        if (idle) {
            const auto mine = std::find(S.idleWaits.begin(), S.idleWaits.end(),
                                        std::vector<HANDLE>(handles, handles + count));
            if (mine != S.idleWaits.end()) S.idleWaits.erase(mine);
        }
        if (index < 0) throw fake::Released{};
        return kWaitObject0 + static_cast<DWORD>(index);
    }
    // Time moves only once the reader has done what it can: as on a real machine, where
    // its work takes far less than the wait.
    fake::Changed.wait_for(lock, std::chrono::seconds(2), fake::ReaderSettledLocked);
    index = fake::TakeSignalLocked(count, handles);
    if (index >= 0) return kWaitObject0 + static_cast<DWORD>(index);
    S.clock += milliseconds;
    const int number = ++S.sleeps;
    S.calls.push_back("Wait " + std::to_string(milliseconds));
    const std::function<void(int)> hook = S.sleepHook;
    lock.unlock();
    if (hook) hook(number);
    std::this_thread::yield();
    lock.lock();
    index = fake::TakeSignalLocked(count, handles);
    return index >= 0 ? kWaitObject0 + static_cast<DWORD>(index) : kWaitTimeout;
}

BOOL TerminateProcess(HANDLE process, DWORD exitCode) {
    std::lock_guard lock(FakeLock);
    S.calls.push_back("TerminateProcess " + fake::NameOf(process) + " " +
                      std::to_string(exitCode));
    if (fake::ShouldFailLocked(Op::TerminateProcess)) return 0;
    if (!fake::UsableLocked(process)) return 0;
    S.exitCode = support::KilledExitCode(exitCode);
    fake::Changed.notify_all();
    return 1;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    std::lock_guard lock(FakeLock);
    S.calls.push_back("GetExitCodeProcess " + fake::NameOf(process));
    if (fake::ShouldFailLocked(Op::GetExitCodeProcess)) return 0;
    if (!fake::UsableLocked(process)) return 0;
    *exitCode = S.exitCode;
    return 1;
}

HANDLE CreateThread(const SECURITY_ATTRIBUTES* /*attributes*/, std::size_t /*stackSize*/,
                    LPTHREAD_START_ROUTINE routine, void* parameter, DWORD /*creationFlags*/,
                    DWORD* threadId) {
    std::unique_lock lock(FakeLock);
    if (fake::ShouldFailLocked(Op::CreateThread)) {
        S.calls.push_back("CreateThread failed");
        return nullptr;
    }
    const HANDLE handle = fake::NewHandleLocked();
    S.calls.push_back("CreateThread " + fake::NameOf(handle));
    S.threadCalls.push_back(fake::ThreadCall{routine, parameter});
    if (threadId != nullptr) *threadId = static_cast<DWORD>(fake::Id(handle));
    if (S.threadMode != fake::ThreadMode::RecordOnly) {
        fake::StartThreadLocked([routine, parameter] { routine(parameter); }, true);
    }
    if (S.threadMode == fake::ThreadMode::RunUntilIdle) {
        fake::Changed.wait_for(lock, std::chrono::seconds(10), [] {
            return fake::ReaderIdleLocked() || S.readsReleased;
        });
    }
    return handle;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead, void* /*overlapped*/) {
    std::unique_lock lock(FakeLock);
    S.calls.push_back("ReadFile " + fake::NameOf(file));
    *bytesRead = 0;
    if (fake::ShouldFailLocked(Op::ReadFile)) return 0;
    if (!fake::UsableLocked(file)) return 0;
    ++S.readsWaiting;
    fake::Changed.notify_all();
    // As a real pipe: a read of an empty one whose write ends are all closed meets its end.
    const std::uintptr_t readEnd = fake::Id(file);
    S.waitingReadEnd = readEnd;
    fake::Changed.wait(lock, [readEnd] {
        return !S.reads.empty() || S.readsReleased || !S.pipeBytes[readEnd].empty() ||
               fake::PipeBrokenLocked(readEnd);
    });
    S.waitingReadEnd = 0;
    --S.readsWaiting;
    fake::Changed.notify_all();
    // What was written into the pipe comes before the script.
    std::string& pending = S.pipeBytes[readEnd];
    if (!pending.empty()) {
        const std::size_t count = pending.size() < size ? pending.size() : size;
        std::memcpy(buffer, pending.data(), count);
        pending.erase(0, count);
        *bytesRead = static_cast<DWORD>(count);
        return 1;
    }
    if (S.reads.empty()) {
        SetLastError(kErrorBrokenPipe);
        return 0;
    }
    fake::ReadItem& item = S.reads.front();
    if (item.fails) {
        const DWORD error = item.error;
        S.reads.pop_front();
        ++S.readsTaken;
        SetLastError(error);
        return 0;
    }
    const std::size_t count = item.bytes.size() < size ? item.bytes.size() : size;
    std::memcpy(buffer, item.bytes.data(), count);
    *bytesRead = static_cast<DWORD>(count);
    if (count < item.bytes.size()) {
        item.bytes.erase(0, count);
    } else {
        S.reads.pop_front();
        ++S.readsTaken;
    }
    return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten,
               void* /*overlapped*/) {
    if (fake::IsFileHandle(file)) return fake::WriteFileHandle(file, buffer, size, bytesWritten);
    std::unique_lock lock(FakeLock);
    S.calls.push_back("WriteFile " + fake::NameOf(file) + " " + std::to_string(size));
    if (S.pipesFull && S.pipeReader.count(fake::Id(file)) != 0) {
        // Nothing but the reset ends this write: the thread is settled, not busy.
        ++S.blockedWriters;
        fake::Changed.notify_all();
        fake::Changed.wait(lock, [] { return S.dispatcherReleased; });
        --S.blockedWriters;
        throw fake::Released{};
    }
    if (bytesWritten != nullptr) *bytesWritten = 0;
    if (!fake::UsableLocked(file)) return 0;
    if (fake::ShouldFailLocked(Op::WriteFile)) return 0;
    const auto reader = S.pipeReader.find(fake::Id(file));
    if (reader != S.pipeReader.end()) {
        if (!fake::EndOpenLocked(reader->second)) {
            SetLastError(kErrorNoData);
            return 0;
        }
        S.pipeBytes[reader->second].append(static_cast<const char*>(buffer), size);
    }
    S.written[fake::Id(file)].append(static_cast<const char*>(buffer), size);
    if (bytesWritten != nullptr) *bytesWritten = size;
    if (S.exitOnWrite) S.exitCode = S.exitOnWriteCode;
    fake::Changed.notify_all();
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    if (fake::IsFileHandle(handle)) return fake::CloseFileHandle(handle);
    if (fake::IsConsoleHandle(handle)) return fake::CloseConsoleHandle(handle);
    std::lock_guard lock(FakeLock);
    S.calls.push_back("CloseHandle " + fake::NameOf(handle));
    if (S.events.erase(fake::Id(handle)) != 0 || S.jobs.erase(fake::Id(handle)) != 0) return 1;
    if (!fake::UsableLocked(handle)) return 0;
    S.open.erase(fake::Id(handle));
    fake::Changed.notify_all();
    return 1;
}

void Sleep(DWORD milliseconds) {
    std::function<void(int)> hook;
    int number = 0;
    {
        std::lock_guard lock(FakeLock);
        S.clock += milliseconds;
        number = ++S.sleeps;
        S.calls.push_back("Sleep " + std::to_string(milliseconds));
        hook = S.sleepHook;
    }
    if (hook) hook(number);
    std::this_thread::yield();
}

std::uint64_t GetTickCount64() {
    std::lock_guard lock(FakeLock);
    return S.clock;
}

void ExitProcess(DWORD exitCode) {
    {
        std::lock_guard lock(FakeLock);
        S.calls.push_back("ExitProcess " + std::to_string(exitCode));
        S.exitCodes.push_back(exitCode);
    }
    throw fake::ProcessExit{exitCode};
}

}  // namespace platform
