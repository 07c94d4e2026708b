// The service control manager: the real advapi32 calls. The start routine and the
// control handler are ours, without WINAPI and with our DWORD, so each runs behind a
// trampoline of the right calling convention (the same on x64, not on x86).
#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/platform.h"

namespace {

// One service per process: the dispatcher runs the first table entry only.
std::atomic<platform::LPSERVICE_MAIN_FUNCTIONA> ServiceMainRoutine{nullptr};
std::atomic<platform::LPHANDLER_FUNCTION> ControlRoutine{nullptr};

// Windows runs the control handler on the thread inside the dispatcher call, so that
// call cannot return before the handler has, and the manager has its answer. Wine runs
// the handler on a thread of its own, answers the manager only after the handler has
// returned, and lets the dispatcher call return as soon as the stopped report is made:
// a process that ended right then took the answer with it, and the stop request failed
// with 109 (ERROR_BROKEN_PIPE) although the service had stopped. So when the handler
// ran elsewhere, the dispatcher returns only once no handler call is under way, and
// after a short pause for the answer to leave. Nothing here waits for the server.
std::atomic<int> HandlerCallsUnderWay{0};
std::atomic<::DWORD> HandlerThread{0};
constexpr ULONGLONG kHandlerBoundMs = 1000;  // a handler returns at once after its report
constexpr ::DWORD kAnswerPauseMs = 50;       // the answer is one pipe write after that

VOID WINAPI ServiceMainTrampoline(::DWORD argc, LPSTR* argv) {
    platform::LPSERVICE_MAIN_FUNCTIONA routine = ServiceMainRoutine.load();
    if (routine != nullptr) routine(argc, argv);
}

// The extended handler: preshutdown reaches only a handler registered this way. The
// answer is NO_ERROR for every control: each one is handled, at least by a report.
::DWORD WINAPI ControlTrampoline(::DWORD control, ::DWORD /*eventType*/, LPVOID /*eventData*/,
                                 LPVOID /*context*/) {
    HandlerCallsUnderWay.fetch_add(1);
    HandlerThread.store(GetCurrentThreadId());
    platform::LPHANDLER_FUNCTION routine = ControlRoutine.load();
    if (routine != nullptr) routine(control);
    HandlerCallsUnderWay.fetch_sub(1);
    return NO_ERROR;
}

void LetTheHandlersAnswerLeave() {
    const ::DWORD handlerThread = HandlerThread.load();
    if (handlerThread == 0 || handlerThread == GetCurrentThreadId()) return;
    const ULONGLONG deadline = GetTickCount64() + kHandlerBoundMs;
    while (HandlerCallsUnderWay.load() != 0 && GetTickCount64() < deadline) ::Sleep(1);
    ::Sleep(kAnswerPauseMs);
}

}  // namespace

namespace platform {

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    // The real table wants writable names; ours are constant, so the name is copied.
    char name[257] = {};
    ::SERVICE_TABLE_ENTRYA native[2] = {};
    if (table != nullptr && table[0].lpServiceName != nullptr) {
        std::strncpy(name, table[0].lpServiceName, sizeof(name) - 1);  // the last 0 stays
        ServiceMainRoutine.store(table[0].lpServiceProc);
        native[0].lpServiceName = name;
        native[0].lpServiceProc = ServiceMainTrampoline;
    }
    if (::StartServiceCtrlDispatcherA(native) == 0) return 0;
    LetTheHandlersAnswerLeave();
    return 1;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* serviceName,
                                                  LPHANDLER_FUNCTION handler) {
    // Stored first: the manager may deliver a request as soon as the call returns.
    ControlRoutine.store(handler);
    static_assert(kServiceAcceptPreshutdown == SERVICE_ACCEPT_PRESHUTDOWN &&
                      kServiceControlPreshutdown == SERVICE_CONTROL_PRESHUTDOWN,
                  "the constants are Windows's own");
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(
        ::RegisterServiceCtrlHandlerExA(serviceName, ControlTrampoline, nullptr));
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    ::SERVICE_STATUS native = {};
    native.dwServiceType = status->ServiceType;
    native.dwCurrentState = status->CurrentState;
    native.dwControlsAccepted = status->ControlsAccepted;
    native.dwWin32ExitCode = status->Win32ExitCode;
    native.dwServiceSpecificExitCode = status->ServiceSpecificExitCode;
    native.dwCheckPoint = status->CheckPoint;
    native.dwWaitHint = status->WaitHint;
    return ::SetServiceStatus(reinterpret_cast<::SERVICE_STATUS_HANDLE>(handle), &native) != 0
               ? 1
               : 0;
}

}  // namespace platform
