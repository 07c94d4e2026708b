// svcctl: a small control tool for the service control manager, for the end-to-end
// suite under Wine, whose sc.exe answers control, interrogate and queryex with
// "command not supported".
//
// Usage: svcctl COMMAND NAME [ARGS...]
//   query NAME                  print the service's status
//   control NAME CODE           send control CODE (1 stop, 4 interrogate, 128..255 own)
//   stop NAME | interrogate NAME   control 1 | control 4
//   burst NAME CODE COUNT       send control CODE COUNT times in a row, as fast as they
//                               go; one result line each; the exit status is the first
//                               call's (the later ones may meet a service already gone)
//   start NAME [ARG...]         start the service with these start arguments
//   create NAME BINPATH         an own-process service, started on demand, as LocalSystem
//   delete NAME                 mark the service for deletion
//   wait NAME STATE MS          poll every 10 ms until the state is STATE (1 stopped,
//                               2 start pending, 4 running) or MS have passed
//   watch NAME MS [STATE]       print each change of the status, polling every 10 ms,
//                               for MS milliseconds or until the state is STATE
//   waitpid PID MS              wait up to MS milliseconds for process PID to end; prints
//                               "process pid=N exit=N" ("exit=gone" when it had already
//                               ended and left no trace)
//   version FILE                read FILE's version resource through GetFileVersionInfo:
//                               "version file=A.B.C.D product=A.B.C.D" and one line
//                               "string NAME=VALUE" for each of its U.S. English strings
//
// Every status is one line of decimal fields, and every call's outcome one line:
//   status t=MS type=N state=N controls=N win32=N specific=N checkpoint=N waithint=N pid=N flags=N
//   result command=NAME error=N
// NAME is ignored by waitpid, which takes a process id in its place.
// t is the milliseconds since the tool started. error 0 means success. The exit status
// is 0 on success, 1 when a call failed or a wait ran out, 2 for a usage error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

ULONGLONG StartTick = 0;

int Usage() {
    (void)std::fprintf(stderr,
                       "usage: svcctl query|stop|interrogate|delete NAME\n"
                       "       svcctl control NAME CODE\n"
                       "       svcctl burst NAME CODE COUNT\n"
                       "       svcctl start NAME [ARG...]\n"
                       "       svcctl create NAME BINPATH\n"
                       "       svcctl wait NAME STATE MS\n"
                       "       svcctl watch NAME MS [STATE]\n"
                       "       svcctl waitpid PID MS\n"
                       "       svcctl version FILE\n");
    return 2;
}

// Prints the outcome of one call; returns the exit status that goes with it.
int Result(const char* command, DWORD error) {
    (void)std::printf("result command=%s error=%lu\n", command, error);
    (void)std::fflush(stdout);
    return error == 0 ? 0 : 1;
}

void PrintStatus(const SERVICE_STATUS_PROCESS& s) {
    std::printf("status t=%llu type=%lu state=%lu controls=%lu win32=%lu specific=%lu "
                "checkpoint=%lu waithint=%lu pid=%lu flags=%lu\n",
                GetTickCount64() - StartTick, s.dwServiceType, s.dwCurrentState,
                s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
                s.dwCheckPoint, s.dwWaitHint, s.dwProcessId, s.dwServiceFlags);
    (void)std::fflush(stdout);
}

// The status as the older call reports it (ControlService fills this shape).
void PrintStatus(const SERVICE_STATUS& s) {
    SERVICE_STATUS_PROCESS full = {};
    full.dwServiceType = s.dwServiceType;
    full.dwCurrentState = s.dwCurrentState;
    full.dwControlsAccepted = s.dwControlsAccepted;
    full.dwWin32ExitCode = s.dwWin32ExitCode;
    full.dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
    full.dwCheckPoint = s.dwCheckPoint;
    full.dwWaitHint = s.dwWaitHint;
    PrintStatus(full);
}

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) != 0;
}

bool ParseNumber(const char* text, DWORD& value) {
    char* end = nullptr;
    unsigned long long number = std::strtoull(text, &end, 0);
    if (end == text || *end != '\0' || number > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(number);
    return true;
}

bool SameStatus(const SERVICE_STATUS_PROCESS& a, const SERVICE_STATUS_PROCESS& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

int Poll(SC_HANDLE service, DWORD bound, bool printChanges, bool haveState, DWORD state) {
    const ULONGLONG deadline = GetTickCount64() + bound;
    SERVICE_STATUS_PROCESS last = {};
    bool first = true;
    for (;;) {
        SERVICE_STATUS_PROCESS now = {};
        if (!Query(service, now)) return Result("query", GetLastError());
        if (printChanges && (first || !SameStatus(now, last))) PrintStatus(now);
        first = false;
        last = now;
        if (haveState && now.dwCurrentState == state) {
            if (!printChanges) PrintStatus(now);
            return Result(printChanges ? "watch" : "wait", 0);
        }
        if (GetTickCount64() >= deadline) {
            if (!printChanges) PrintStatus(now);
            // A watch without a state to wait for has simply run its time.
            return Result(printChanges ? "watch" : "wait",
                          haveState ? WAIT_TIMEOUT : 0);
        }
        Sleep(10);
    }
}

int WaitForProcess(DWORD pid, DWORD bound) {
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        // No such process (any more): it ended before we could look.
        std::printf("process pid=%lu exit=gone\n", pid);
        return Result("waitpid", 0);
    }
    DWORD waited = WaitForSingleObject(process, bound);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0) return Result("waitpid", WAIT_TIMEOUT);
    std::printf("process pid=%lu exit=%lu\n", pid, code);
    return Result("waitpid", 0);
}

// The fixed part of FILE's version resource and the strings that Explorer's properties
// show, read the way Windows programs read them.
int PrintVersion(const char* file) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
    if (size == 0) return Result("version", GetLastError());
    std::string data(size, '\0');
    if (GetFileVersionInfoA(file, 0, size, data.data()) == 0)
        return Result("version", GetLastError());
    void* value = nullptr;
    UINT length = 0;
    if (VerQueryValueA(data.data(), "\\", &value, &length) == 0 ||
        length < sizeof(VS_FIXEDFILEINFO))
        return Result("version", ERROR_RESOURCE_TYPE_NOT_FOUND);
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    const auto part = [](DWORD word, bool high) {
        return static_cast<unsigned>(high ? HIWORD(word) : LOWORD(word));
    };
    (void)std::printf("version file=%u.%u.%u.%u product=%u.%u.%u.%u\n",
                      part(fixed->dwFileVersionMS, true), part(fixed->dwFileVersionMS, false),
                      part(fixed->dwFileVersionLS, true), part(fixed->dwFileVersionLS, false),
                      part(fixed->dwProductVersionMS, true), part(fixed->dwProductVersionMS, false),
                      part(fixed->dwProductVersionLS, true), part(fixed->dwProductVersionLS, false));
    for (const char* name : {"ProductName", "FileDescription", "FileVersion", "ProductVersion",
                             "OriginalFilename"}) {
        const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
        if (VerQueryValueA(data.data(), path.c_str(), &value, &length) != 0 && length > 0)
            (void)std::printf("string %s=%s\n", name, static_cast<const char*>(value));
    }
    return Result("version", 0);
}

}  // namespace

int main(int argc, char** argv) {
    StartTick = GetTickCount64();
    if (argc < 3) return Usage();
    const std::string command = argv[1];
    const char* name = argv[2];

    if (command == "waitpid" && argc == 4) {
        DWORD pid = 0;
        DWORD bound = 0;
        if (!ParseNumber(argv[2], pid) || !ParseNumber(argv[3], bound)) return Usage();
        return WaitForProcess(pid, bound);
    }

    if (command == "version" && argc == 3) return PrintVersion(argv[2]);

    const bool creates = command == "create";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr,
                                       creates ? SC_MANAGER_ALL_ACCESS : SC_MANAGER_CONNECT);
    if (manager == nullptr) return Result("OpenSCManager", GetLastError());

    if (creates) {
        if (argc != 4) return Usage();
        SC_HANDLE created = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                           SERVICE_ERROR_NORMAL, argv[3], nullptr, nullptr,
                                           nullptr, nullptr, nullptr);
        if (created == nullptr) return Result("create", GetLastError());
        CloseServiceHandle(created);
        return Result("create", 0);
    }

    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service == nullptr) return Result("OpenService", GetLastError());

    if (command == "query" && argc == 3) {
        SERVICE_STATUS_PROCESS status = {};
        if (!Query(service, status)) return Result("query", GetLastError());
        PrintStatus(status);
        return Result("query", 0);
    }
    if ((command == "control" && argc == 4) || (command == "stop" && argc == 3) ||
        (command == "interrogate" && argc == 3)) {
        DWORD code = command == "stop" ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_INTERROGATE;
        if (command == "control" && !ParseNumber(argv[3], code)) return Usage();
        SERVICE_STATUS status = {};
        DWORD error = ControlService(service, code, &status) != 0 ? 0 : GetLastError();
        PrintStatus(status);
        return Result(command.c_str(), error);
    }
    if (command == "burst" && argc == 5) {
        DWORD code = 0;
        DWORD count = 0;
        if (!ParseNumber(argv[3], code) || !ParseNumber(argv[4], count) || count == 0)
            return Usage();
        int first = 0;
        for (DWORD i = 0; i < count; ++i) {
            SERVICE_STATUS status = {};
            const DWORD error = ControlService(service, code, &status) != 0 ? 0 : GetLastError();
            const int result = Result("burst", error);
            if (i == 0) first = result;
        }
        return first;
    }
    if (command == "start") {
        const char** arguments = const_cast<const char**>(argv + 3);
        if (StartServiceA(service, static_cast<DWORD>(argc - 3),
                          argc > 3 ? arguments : nullptr) == 0)
            return Result("start", GetLastError());
        return Result("start", 0);
    }
    if (command == "delete" && argc == 3) {
        return Result("delete", DeleteService(service) != 0 ? 0 : GetLastError());
    }
    if (command == "wait" && argc == 5) {
        DWORD state = 0;
        DWORD bound = 0;
        if (!ParseNumber(argv[3], state) || !ParseNumber(argv[4], bound)) return Usage();
        return Poll(service, bound, false, true, state);
    }
    if (command == "watch" && (argc == 4 || argc == 5)) {
        DWORD state = 0;
        DWORD bound = 0;
        if (!ParseNumber(argv[3], bound) || (argc == 5 && !ParseNumber(argv[4], state)))
            return Usage();
        return Poll(service, bound, true, argc == 5, state);
    }
    return Usage();
}
