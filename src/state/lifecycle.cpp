// The service's lifecycle in one place. N is Settings.ServerStopTimeoutInSeconds.
//
//  state     event                          what happens
//  --------  -----------------------------  ------------------------------------------------
//  Starting  tick (every 500 ms)            report start pending; check point + 1
//  Starting  hint seen                      Running: report running (check point 0)
//  Starting  server ended                   log its code; Stopped, 109 (StopWhenServerEnds 0:
//                                           not acted on, the timeout ends the start)
//  Starting  stop, before the launch        log "stopped."; Stopped, 0; no server is launched
//  Starting  stop                           report stop pending at once (the handler); then
//                                           as in Running
//  Starting  start timeout                  write the quit command; Stopping (the grace, 5 s)
//  Running   server ended                   log its code; Stopped with the server's code
//                                           (StopWhenServerEnds 0: not acted on)
//  Running   stop                           write the quit command; N = 0: Stopped, 0 or the
//                                           write's error; N > 0: Stopping until the server ends
//  Stopping  tick                           report stop pending; check point + 1
//  Stopping  server ended                   log its code; Stopped with the stop's code
//                                           (0, the write's error, or 109 in the grace)
//  Stopping  stop, after a stop             report; nothing is written again
//  Stopping  stop, in the grace             end the server's job at once; log "stopped.";
//                                           Stopped, 0
//  Stopping  stop timeout / grace over      end the server's job; log why; Stopped with the
//                                           stop's code
//  any       interrogate                    report the record as it is
//  any       other control                  log "Unrecognized opcode"; report
//  Stopped   anything                       nothing: no report follows the stopped one
//
// Once the launch has begun, every change of state is made on the supervising thread (the
// start routine's, in LifecycleStep); other threads only post facts and wake it. Before the
// launch the control handler makes the one change there is, a stop, itself.
#include "state/lifecycle.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "config/log.h"
#include "config/settings.h"
#include "state/input.h"
#include "state/server.h"
#include "state/state_for_tests.h"
#include "state/status.h"

namespace {

// Longest wait for a server whose job was ended to be gone before stopped is reported.
constexpr platform::DWORD kHardEndWaitMilliseconds = 2000;
// The code that Windows gives what a server left behind when it is ended with the service.
constexpr platform::DWORD kLeftoverExitCode = 1;
// Longest wait, once the server has ended, for the reader to log what it wrote last (a
// process that the server started may hold its output open for good).
constexpr std::uint64_t kLastOutputMilliseconds = 1000;

// Why a server that the service is stopping ended: by itself, or ended hard by the service
// at the deadline or at a stop request in the grace.
enum class HardEnd { kNone, kAtDeadline, kByStop };

struct LifecycleRecord {
    Phase phase = Phase::kStarting;
    bool launched = false;         // the launch has begun: the supervisor acts on stops
    bool stopRequested = false;    // a stop that the supervisor has not acted on yet
    bool serverEnded = false;      // the server's process has ended
    platform::DWORD serverExitCode = 0;
    bool outputEnded = false;      // the reader met the end of the server's output
    std::uint64_t lastOutputUntil = 0;  // how long the server's last output may take
    bool quitForStop = false;      // the quit command went out for a stop (not a start timeout)
    bool quitDone = false;         // the writer has written it, or failed with quitError
    platform::DWORD quitError = 0;
    bool quitLogged = false;       // the stop's line for it is in the log
    bool inGrace = false;          // Stopping after a start timeout, not after a stop
    HardEnd hardEnd = HardEnd::kNone;
    bool waitBegun = false;        // the start wait has set its deadline
    bool pendingReported = false;  // a start-pending report has been made
    std::uint64_t nextReport = 0;  // when the next pending report is due
    std::uint64_t deadline = 0;    // start timeout, end of the grace, or stop timeout
    platform::DWORD stopCode = 0;  // the stopped report's code, once Stopping
};

LifecycleRecord Life;  // guarded by ServiceLock

std::uint64_t Milliseconds(std::int32_t seconds) {
    return seconds > 0 ? static_cast<std::uint64_t>(seconds) * 1000u : 0;
}

platform::DWORD WaitFor(std::uint64_t until, std::uint64_t now) {
    if (until <= now) return 0;
    return static_cast<platform::DWORD>(std::min<std::uint64_t>(until - now, 0x7FFFFFFF));
}

// The quit command goes to the writer once per process: a second one might not fit the
// pipe beside the first one that a server never read.
void QueueQuitLocked() {
    assert(ServiceLock.HeldHere());
    platform::DWORD error = 0;
    if (QueueQuitCommandLocked(&error)) {
        Life.quitDone = true;
        Life.quitError = error;
    }
}

// The stop's line in the log for the quit command's write: "stopped." or its error.
void LogQuitResult(platform::DWORD error) {
    if (error == 0) {
        LogFormatted("stopped.\n", 0);
    } else {
        LogFormatted("Error writing stop command %ld.\n", static_cast<std::int32_t>(error));
    }
}

// The stop's quit command has its result, about to be logged: an error is the stop's code.
void NoteQuitResultLocked(platform::DWORD error) {
    assert(ServiceLock.HeldHere());
    Life.quitLogged = true;
    if (error != 0) {
        Life.stopCode = error;
        ServiceStatus.Win32ExitCode = error;
    }
}

// Without a stop timeout the stopped report follows the quit command's write, which takes
// no time for a server that reads; one that does not read is not waited for beyond this.
constexpr std::uint64_t kQuitWriteMilliseconds = 100;

// Waits, at most kQuitWriteMilliseconds, for the writer to have written the quit command;
// its error, or kErrorTimeout when it is still waiting for the server.
platform::DWORD AwaitQuitWritten(std::uint64_t now) {
    const std::uint64_t until = now + kQuitWriteMilliseconds;
    for (;;) {
        platform::HANDLE event = nullptr;
        {
            std::lock_guard lock(ServiceLock);
            if (Life.quitDone) return Life.quitError;
            event = LifecycleEvent;
        }
        const std::uint64_t at = platform::GetTickCount64();
        if (at >= until) return platform::kErrorTimeout;
        // Any news wakes this wait; only the write's result ends it.
        if (platform::WaitForMultipleObjects(1, &event, 0, WaitFor(until, at)) ==
            platform::kWaitFailed) {
            platform::Sleep(WaitFor(until, at));
        }
    }
}

void SetPendingLocked(platform::DWORD state, std::uint64_t now) {
    assert(ServiceLock.HeldHere());
    ServiceStatus.CurrentState = state;
    ServiceStatus.CheckPoint = 0;
    ServiceStatus.WaitHint = kPendingWaitHint;
    Life.nextReport = now;
}

// The pending report that is due, then the next check point.
void ReportPending(std::uint64_t now) {
    ReportStatus();
    std::lock_guard lock(ServiceLock);
    ++ServiceStatus.CheckPoint;
    Life.nextReport = now + kPendingReportMilliseconds;
}

void SetStoppedLocked(platform::DWORD code) {
    assert(ServiceLock.HeldHere());
    Life.phase = Phase::kStopped;
    ServiceStatus.CurrentState = platform::kServiceStopped;
    ServiceStatus.CheckPoint = 0;
    ServiceStatus.WaitHint = 0;
    ServiceStatus.Win32ExitCode = code;
    ServiceStatus.ServiceSpecificExitCode = 0;
}

// A failed start's report logs nothing when it fails, as the launch failures' do.
SupervisorStep EnterStopped(platform::DWORD code, bool startFailed) {
    {
        std::lock_guard lock(ServiceLock);
        SetStoppedLocked(code);
    }
    if (startFailed) {
        ReportStatusUnlogged();
        return SupervisorStep{true, code, 0, false};
    }
    ReportStatus();
    return SupervisorStep{true, kStopReportedAlready, 0, false};
}

// Whether the reader may still be logging what the server wrote before it ended (its
// last words, after the hint too when that output is logged): its end is logged after
// that. Caller holds ServiceLock.
bool LastOutputPendingLocked(std::uint64_t now) {
    assert(ServiceLock.HeldHere());
    const bool logged = ServerStarted.load() == 0 || Settings.LogOutputAfterStart != 0;
    return !Life.outputEnded && logged && now < Life.lastOutputUntil;
}

SupervisorStep WaitForLastOutputLocked(std::uint64_t now) {
    assert(ServiceLock.HeldHere());
    return SupervisorStep{false, 0, WaitFor(Life.lastOutputUntil, now), false};
}

// A pending state with nothing due: wait for the next report or the deadline, and for the
// server's end while it runs.
SupervisorStep WaitForReportOrDeadlineLocked(std::uint64_t now) {
    assert(ServiceLock.HeldHere());
    return SupervisorStep{false, 0, WaitFor(std::min(Life.nextReport, Life.deadline), now),
                          !Life.serverEnded};
}

// The wait that ended at a deadline may have missed an end of the same moment: the
// server's own end wins, and is noted instead of ending the server the hard way. A look,
// not a wait: the handle is asked once, with no time to wait.
bool NoteEndAtDeadlineLocked() {
    assert(ServiceLock.HeldHere());
    if (Life.serverEnded || ServerProcess.hProcess == nullptr) return false;
    if (platform::WaitForMultipleObjects(1, &ServerProcess.hProcess, 0, 0) !=
        platform::kWaitObject0) {
        return false;
    }
    NoteServerEndedLocked();
    return true;
}

void LogServerEnded(platform::DWORD code) {
    LogFormatted("Server ended with exit code %ld\n", static_cast<std::int32_t>(code));
}

// Ends the server and everything it started, and gives them a moment to be gone, so that
// nothing of the server's outlives the stopped report.
void EndServerHard(platform::DWORD exitCode) {
    EndServerTree(exitCode);
    platform::HANDLE process = nullptr;
    {
        std::lock_guard lock(ServiceLock);
        process = ServerProcess.hProcess;
    }
    if (process == nullptr) return;
    if (platform::WaitForMultipleObjects(1, &process, 0, kHardEndWaitMilliseconds) ==
        platform::kWaitObject0) {
        NoteServerEnded();
    }
}

// A server that ended by itself may have left processes of its own behind (a daemon's
// worker, a helper): they end with the service, so that nothing of the server outlives it
// and a restart never runs a second server beside the first.
void EndLeftovers() { EndServerTree(kLeftoverExitCode); }

// A stop request in Starting or Running: the quit command, then Stopped at once (N = 0)
// or Stopping until the server has ended.
std::optional<SupervisorStep> BeginStop(std::uint64_t now) {
    {
        std::lock_guard lock(ServiceLock);
        QueueQuitLocked();
        Life.quitForStop = true;
    }
    const std::uint64_t timeout = Milliseconds(Settings.ServerStopTimeoutInSeconds);
    if (timeout == 0) {
        const platform::DWORD code = AwaitQuitWritten(now);
        LogQuitResult(code);
        bool ended = false;
        {
            std::lock_guard lock(ServiceLock);
            Life.quitLogged = true;
            ended = Life.serverEnded;
        }
        // A server that still runs is left to finish its save; only what one that has
        // ended left behind goes.
        if (ended) EndLeftovers();
        return EnterStopped(code, false);
    }
    // The write's result is logged, and becomes the stop's code, when it comes.
    std::lock_guard lock(ServiceLock);
    Life.phase = Phase::kStopping;
    Life.inGrace = false;
    Life.stopCode = 0;
    Life.deadline = now + timeout;
    ServiceStatus.Win32ExitCode = 0;
    if (ServiceStatus.CurrentState == platform::kServiceStopPending) {
        // The control handler has reported check point 0 already.
        ServiceStatus.CheckPoint = 1;
        Life.nextReport = now + kPendingReportMilliseconds;
    } else {
        SetPendingLocked(platform::kServiceStopPending, now);
    }
    return std::nullopt;
}

std::optional<SupervisorStep> StartingStep(std::unique_lock<platform::OwnedMutex>& lock,
                                           std::uint64_t now) {
    if (!Life.waitBegun) {
        Life.waitBegun = true;
        Life.deadline = now + Milliseconds(Settings.ServerStartupTimeoutInSeconds);
        SetPendingLocked(platform::kServiceStartPending, now);
    }
    if (Life.stopRequested) {
        Life.stopRequested = false;
        lock.unlock();
        return BeginStop(now);
    }
    // A server that printed its hint and ended at once did start: Running sees the end.
    if (ServerStarted.load() != 0) {
        Life.phase = Phase::kRunning;
        ServiceStatus.CurrentState = platform::kServiceRunning;
        ServiceStatus.CheckPoint = 0;
        lock.unlock();
        ReportStatus();
        return SupervisorStep{true, 0, 0, false};
    }
    if (Life.serverEnded && Settings.StopWhenServerEnds != 0) {
        if (LastOutputPendingLocked(now)) return WaitForLastOutputLocked(now);
        const platform::DWORD code = Life.serverExitCode;
        lock.unlock();
        LogServerEnded(code);
        EndLeftovers();
        return EnterStopped(kStartFailed, true);
    }
    // The first report of a start is start pending, even with a timeout of 0: Windows's
    // manager ends a service whose first report is stop pending, and its server with it.
    if (Life.pendingReported && now >= Life.deadline) {
        if (NoteEndAtDeadlineLocked()) return std::nullopt;
        // A failure is answered by the hard end; a server that has ended needs neither.
        if (!Life.serverEnded) QueueQuitLocked();
        Life.phase = Phase::kStopping;
        Life.inGrace = true;
        Life.stopCode = kStartFailed;
        Life.deadline = now + kTimeoutGraceMilliseconds;
        SetPendingLocked(platform::kServiceStopPending, now);
        return std::nullopt;
    }
    if (now >= Life.nextReport) {
        Life.pendingReported = true;
        lock.unlock();
        ReportPending(now);
        return std::nullopt;
    }
    return WaitForReportOrDeadlineLocked(now);
}

std::optional<SupervisorStep> RunningStep(std::unique_lock<platform::OwnedMutex>& lock,
                                          std::uint64_t now) {
    if (Life.serverEnded && Settings.StopWhenServerEnds != 0) {
        if (LastOutputPendingLocked(now)) return WaitForLastOutputLocked(now);
        const platform::DWORD code = Life.serverExitCode;
        lock.unlock();
        LogServerEnded(code);
        EndLeftovers();
        return EnterStopped(code, false);
    }
    if (Life.stopRequested) {
        Life.stopRequested = false;
        lock.unlock();
        return BeginStop(now);
    }
    // Nothing is due until something happens: no timer, no wake-up.
    return SupervisorStep{false, 0, platform::kInfinite, !Life.serverEnded};
}

std::optional<SupervisorStep> StoppingStep(std::unique_lock<platform::OwnedMutex>& lock,
                                           std::uint64_t now) {
    const bool inGrace = Life.inGrace;
    // The stop's quit command was written (or failed): said before anything that follows
    // from it, the server's end first of all. Its error is the stop's code.
    if (Life.quitForStop && Life.quitDone && !Life.quitLogged) {
        const platform::DWORD error = Life.quitError;
        NoteQuitResultLocked(error);
        lock.unlock();
        LogQuitResult(error);
        return std::nullopt;
    }
    if (Life.serverEnded || Life.hardEnd != HardEnd::kNone) {
        if (LastOutputPendingLocked(now)) return WaitForLastOutputLocked(now);
        // A server that ended just as its quit command was being written: the write's
        // result comes at once (the pipe still has our read end), and is said first.
        if (Life.quitForStop && !Life.quitLogged) {
            lock.unlock();
            const platform::DWORD error = AwaitQuitWritten(now);
            LogQuitResult(error);
            std::lock_guard relock(ServiceLock);
            NoteQuitResultLocked(error);
            return std::nullopt;
        }
        const platform::DWORD code = Life.serverExitCode;
        const HardEnd hardEnd = Life.hardEnd;
        const platform::DWORD stopCode = Life.stopCode;
        lock.unlock();
        switch (hardEnd) {
            case HardEnd::kNone:
                LogServerEnded(code);
                EndLeftovers();
                return EnterStopped(stopCode, inGrace);
            case HardEnd::kAtDeadline:
                LogText(inGrace ? kNoHintEndMessage : kNoExitEndMessage);
                return EnterStopped(stopCode, inGrace);
            case HardEnd::kByStop:
                LogFormatted("stopped.\n", 0);
                return EnterStopped(0, false);
        }
    }
    if (Life.stopRequested) {
        Life.stopRequested = false;
        if (!inGrace) {
            lock.unlock();
            ReportStatus();
            return std::nullopt;
        }
        // The server has had its quit command and the service is about to end: a stop
        // now ends the server at once rather than leave it behind.
        Life.hardEnd = HardEnd::kByStop;
        lock.unlock();
        EndServerHard(kStartFailed);
        return std::nullopt;
    }
    if (now >= Life.deadline) {
        if (NoteEndAtDeadlineLocked()) return std::nullopt;
        Life.hardEnd = HardEnd::kAtDeadline;
        // A stop's quit command that the server never took: the stop failed to reach it.
        const bool unwritten = Life.quitForStop && !Life.quitLogged;
        if (unwritten) NoteQuitResultLocked(platform::kErrorTimeout);
        lock.unlock();
        if (unwritten) LogQuitResult(platform::kErrorTimeout);
        EndServerHard(inGrace ? kStartFailed : 1);
        return std::nullopt;
    }
    if (now >= Life.nextReport) {
        lock.unlock();
        ReportPending(now);
        return std::nullopt;
    }
    return WaitForReportOrDeadlineLocked(now);
}

// The command that a user-defined control code stands for, to the writer; it logs the
// command once written. A refusal is logged here.
void SendControlCommand(platform::DWORD control) {
    const char* command = Settings.ControlCommands[control - platform::kServiceControlUserFirst];
    char from[32];
    (void)std::snprintf(from, sizeof from, "control code %u", static_cast<unsigned>(control));
    CommandAnswer answer = CommandAnswer::kStopping;
    if (CurrentPhase() != Phase::kStopped) {
        answer = QueueCommand(command, std::strlen(command), from);
    }
    const auto code = static_cast<std::int32_t>(control);
    switch (answer) {
        case CommandAnswer::kTaken:
            break;
        case CommandAnswer::kStopping:
            LogFormatted("Command from control code %ld refused: the service is stopping\n", code);
            break;
        case CommandAnswer::kNotReading:
            LogFormatted(
                "Command from control code %ld refused: the server is not reading its input\n",
                code);
            break;
        case CommandAnswer::kBadCommand:
            LogFormatted("Command from control code %ld refused: it is too long\n", code);
            break;
    }
}

}  // namespace

void PostHintSeen() {
    ServerStarted.store(1);
    platform::SetEvent(LifecycleEvent);  // set before the reader started, never changed
}

void PostQuitWritten(platform::DWORD error) {
    {
        std::lock_guard lock(ServiceLock);
        Life.quitDone = true;
        Life.quitError = error;
    }
    platform::SetEvent(LifecycleEvent);
}

void PostOutputEnded() {
    {
        std::lock_guard lock(ServiceLock);
        Life.outputEnded = true;
    }
    platform::SetEvent(LifecycleEvent);
}

void PostControl(platform::DWORD control) {
    const bool stop = control == platform::kServiceControlStop ||
                      ((control == platform::kServiceControlShutdown ||
                        control == platform::kServiceControlPreshutdown) &&
                       Settings.ServerStopTimeoutInSeconds > 0);
    if (stop) {
        std::unique_lock lock(ServiceLock);
        if (Life.phase == Phase::kStopped) return;
        if (Life.launched) {
            Life.stopRequested = true;
            // Wine's manager ends the process of a service that is sent a second stop
            // while it still says start pending: stop pending goes out before the first
            // stop is answered, so that the manager turns the next ones away.
            const bool sayStopping = Life.phase == Phase::kStarting &&
                                     ServiceStatus.CurrentState == platform::kServiceStartPending;
            if (sayStopping) {
                ServiceStatus.CurrentState = platform::kServiceStopPending;
                ServiceStatus.CheckPoint = 0;
                ServiceStatus.WaitHint = kPendingWaitHint;
            }
            const platform::HANDLE event = LifecycleEvent;
            lock.unlock();
            if (sayStopping) ReportStatus();
            platform::SetEvent(event);
            return;
        }
        // No server yet: nothing to quit, and BeginLaunch will refuse to start one.
        SetStoppedLocked(0);
        lock.unlock();
        LogFormatted("stopped.\n", 0);
        ReportStatus();
        return;
    }
    if (control >= platform::kServiceControlUserFirst &&
        control <= platform::kServiceControlUserLast &&
        Settings.ControlCommands[control - platform::kServiceControlUserFirst] != nullptr) {
        // Nothing of the service's state changed: no report.
        SendControlCommand(control);
        return;
    }
    if (control != platform::kServiceControlInterrogate) {
        // Printed as the signed number of the same 32 bits.
        LogFormatted("Unrecognized opcode %ld\n", static_cast<std::int32_t>(control));
    }
    ReportStatus();
}

Phase CurrentPhase() {
    std::lock_guard lock(ServiceLock);
    return Life.phase;
}

bool BeginLaunch() {
    std::lock_guard lock(ServiceLock);
    if (Life.phase == Phase::kStopped) return false;
    Life.launched = true;
    return true;
}

void EndStartWithFailure(platform::DWORD code) {
    {
        std::lock_guard lock(ServiceLock);
        if (Life.phase == Phase::kStopped) return;
        SetStoppedLocked(code);
    }
    ReportStatusUnlogged();
}

SupervisorStep LifecycleStep() {
    for (;;) {
        const std::uint64_t now = platform::GetTickCount64();
        std::unique_lock lock(ServiceLock);
        std::optional<SupervisorStep> step;
        switch (Life.phase) {
            case Phase::kStarting:
                step = StartingStep(lock, now);
                break;
            case Phase::kRunning:
                step = RunningStep(lock, now);
                break;
            case Phase::kStopping:
                step = StoppingStep(lock, now);
                break;
            case Phase::kStopped:
                return SupervisorStep{true, kStopReportedAlready, 0, false};
        }
        if (step) return *step;
    }
}

void NoteServerEnded() {
    std::lock_guard lock(ServiceLock);
    NoteServerEndedLocked();
}

void NoteServerEndedLocked() {
    assert(ServiceLock.HeldHere());
    if (ServerProcess.hProcess == nullptr) return;
    // Signalled means ended, whatever the code says (a server may exit with 259).
    platform::DWORD code = platform::kStillActive;
    (void)platform::GetExitCodeProcess(ServerProcess.hProcess, &code);
    Life.serverEnded = true;
    Life.serverExitCode = code;
    // Closing the process handle is what reaps the server on POSIX: no zombie is left.
    CloseHandleLocked(ServerProcess.hProcess);
    CloseHandleLocked(ServerProcess.hThread);
    if (Settings.StopWhenServerEnds != 0 || Life.phase == Phase::kStopping) {
        // Our copy of its output's write end is all that kept the pipe open: without it the
        // reader logs what is left, meets the end and says so, before the end is logged.
        CloseHandleLocked(OutputPipeWrite);
        Life.lastOutputUntil = platform::GetTickCount64() + kLastOutputMilliseconds;
    }
}

void ResetLifecycleForTest() {
    std::lock_guard lock(ServiceLock);
    Life = LifecycleRecord{};
}
