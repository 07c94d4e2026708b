// The only door from config/, supervision/ and service/ to the operating system.
//
// The calls keep the names and the shapes of the Win32 calls they stand for, so that
// the logic reads the same on both systems. Three implementations stand behind it,
// chosen at link time: win32/ (the real API), posix/ (the same contract on Linux),
// and the fake platform of the unit tests (tests/fake/).
//
// Everything lives in namespace `platform`: the Win32 headers define the same type
// names at global scope, and macros for most constants, hence the kCamelCase
// constants below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using DWORD = std::uint32_t;
using BOOL = std::int32_t;
using HANDLE = void*;                 // 0 (nullptr) is "no handle"; no valid handle has it
using SERVICE_STATUS_HANDLE = void*;  // 0 is "registration failed"

// Separator between a folder and a file name in paths that the system builds itself.
#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// --- Error codes the logic and its contract name (as the platform reports them) ----
#ifdef _WIN32
constexpr DWORD kErrorInvalidHandle = 6;  // ERROR_INVALID_HANDLE
constexpr DWORD kErrorBrokenPipe = 109;   // ERROR_BROKEN_PIPE: a read with no write end left
constexpr DWORD kErrorNoData = 232;       // ERROR_NO_DATA: a write with no read end left
constexpr DWORD kErrorTimeout = 1460;     // ERROR_TIMEOUT
#else
constexpr DWORD kErrorInvalidHandle = 9;  // EBADF
constexpr DWORD kErrorBrokenPipe = 32;    // EPIPE
constexpr DWORD kErrorNoData = 32;        // EPIPE
constexpr DWORD kErrorTimeout = 110;      // ETIMEDOUT
#endif

// --- Service control manager -------------------------------------------------------

constexpr DWORD kServiceWin32OwnProcess = 0x10;
constexpr DWORD kServiceWin32ShareProcess = 0x20;
constexpr DWORD kServiceStopped = 1;
constexpr DWORD kServiceStartPending = 2;
constexpr DWORD kServiceStopPending = 3;
constexpr DWORD kServiceRunning = 4;
constexpr DWORD kServiceAcceptStop = 1;
constexpr DWORD kServiceAcceptShutdown = 4;
constexpr DWORD kServiceAcceptPreshutdown = 0x100;  // SERVICE_ACCEPT_PRESHUTDOWN
constexpr DWORD kServiceControlStop = 1;
constexpr DWORD kServiceControlInterrogate = 4;
constexpr DWORD kServiceControlShutdown = 5;
constexpr DWORD kServiceControlPreshutdown = 15;  // SERVICE_CONTROL_PRESHUTDOWN
constexpr DWORD kServiceControlUserFirst = 128;   // the user-defined codes: 128 to 255
constexpr DWORD kServiceControlUserLast = 255;
constexpr DWORD kStillActive = 259;  // exit code of a process that has not ended

// Laid out as Win32's SERVICE_STATUS: seven unsigned 32-bit fields in this order.
struct SERVICE_STATUS {
    DWORD ServiceType;
    DWORD CurrentState;
    DWORD ControlsAccepted;
    DWORD Win32ExitCode;
    DWORD ServiceSpecificExitCode;
    DWORD CheckPoint;
    DWORD WaitHint;
};

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);

struct SERVICE_TABLE_ENTRYA {
    const char* lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// Blocks the calling thread. Runs the first entry's start routine once on a thread
// of its own, delivers control requests one at a time to the registered handler on
// the calling thread, and returns nonzero once a stopped status has been reported.
// Returns 0 at once (last error set) when it cannot run the table.
// POSIX: SIGTERM and SIGINT are stop (1), SIGUSR1 interrogate (4), SIGHUP 6, and the
// real-time signal SIGRTMIN + n the user-defined code 128 + n (n up to SIGRTMAX - SIGRTMIN:
// 30 with glibc, so 128 to 158). Each child that ends is reaped here (on SIGCHLD).
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);

// Returns the status handle, or 0 with the last error set. Windows: registered through
// the extended call (RegisterServiceCtrlHandlerExA), the one that preshutdown reaches;
// every control is answered as handled.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* serviceName,
                                                  LPHANDLER_FUNCTION handler);

// Hands the seven values to the service control manager (POSIX: systemd's notify
// socket, or nowhere without NOTIFY_SOCKET). Nonzero means reported; 0 means not
// reported, with the reason in the last error code.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// --- Processes, pipes, threads --------------------------------------------------------

constexpr DWORD kStartfUseShowWindow = 0x1;
constexpr DWORD kCreateSuspended = 0x4;    // CREATE_SUSPENDED
constexpr DWORD kHandleFlagInherit = 0x1;  // HANDLE_FLAG_INHERIT
constexpr DWORD kStartfUseStdHandles = 0x100;
constexpr std::uint16_t kSwHide = 0;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

// The fields of Win32's STARTUPINFOA that the system sets; the rest stay zero there.
struct STARTUPINFOA {
    DWORD cb;
    DWORD dwFlags;
    std::uint16_t wShowWindow;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);

// Anonymous pipe. Nonzero on success with both ends filled.
BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES* attributes,
                DWORD size);

// Starts commandLine (the program is its first item). currentDirectory null: the
// caller's folder. Nonzero on success with `information` filled; 0 with the last error.
// POSIX: the command line is split by SplitCommandLine (command_line.h); the child's
// standard handles are the startup information's, it inherits no other descriptor,
// and it runs in a process group of its own.
BOOL CreateProcessA(const char* applicationName, char* commandLine,
                    const SECURITY_ATTRIBUTES* processAttributes,
                    const SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, void* environment, const char* currentDirectory,
                    const STARTUPINFOA* startupInfo, PROCESS_INFORMATION* information);

// Ends the process the hard way (POSIX: SIGKILL to its process group).
BOOL TerminateProcess(HANDLE process, DWORD exitCode);

// Writes the exit code, or kStillActive while the process runs. POSIX: does not reap the
// process; closing its handle does, so its number stays reserved while the handle is open.
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);

// Makes a handle inheritable or not (mask and flags: kHandleFlagInherit). POSIX: nothing
// to do, every descriptor is close-on-exec and a child gets only its standard handles.
BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags);

// A job holds a process and everything it starts, so that all of them can be ended at
// once. POSIX: the process's group (the server leads a group of its own).
HANDLE CreateJobObjectA(const SECURITY_ATTRIBUTES* attributes, const char* name);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL TerminateJobObject(HANDLE job, DWORD exitCode);
// Lets a process created with kCreateSuspended run. Returns the previous suspend count,
// or kResumeFailed. POSIX: a process never waits suspended; this only checks the handle.
constexpr DWORD kResumeFailed = 0xFFFFFFFF;
DWORD ResumeThread(HANDLE thread);

// --- Files ------------------------------------------------------------------------------

constexpr DWORD kGenericWrite = 0x40000000;  // GENERIC_WRITE
constexpr DWORD kFileAppendData = 0x4;       // FILE_APPEND_DATA: every write goes to the end
constexpr DWORD kFileReadAttributes = 0x80;  // FILE_READ_ATTRIBUTES: what GetFileSizeEx needs
constexpr DWORD kFileShareRead = 0x1;
constexpr DWORD kFileShareWrite = 0x2;
constexpr DWORD kFileShareDelete = 0x4;
constexpr DWORD kCreateAlways = 2;  // CREATE_ALWAYS: created, or emptied when it exists
constexpr DWORD kOpenAlways = 4;    // OPEN_ALWAYS: opened, or created when missing
constexpr DWORD kFileAttributeNormal = 0x80;
constexpr DWORD kFileTypeUnknown = 0;
constexpr DWORD kFileTypeDisk = 1;  // a regular file
constexpr DWORD kFileTypeChar = 2;  // a character device (a console, NUL, /dev/null)
constexpr DWORD kFileTypePipe = 3;  // a pipe or socket (a FIFO on POSIX)
// CreateFileA's failure value (INVALID_HANDLE_VALUE), never a handle.
inline HANDLE const kInvalidHandleValue =
    reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0));  // NOLINT(performance-no-int-to-ptr)

// Opens or creates a file for writing (access: kGenericWrite or kFileAppendData, with
// kFileReadAttributes for its size);
// kInvalidHandleValue with the last error on failure. A null `attributes` gives a handle
// that no child inherits. POSIX: never waits in the open (a FIFO without a reader fails
// at once, as a pipe name without a server does on Windows), and never makes a terminal
// our controlling one; the share mode, flags and template are Windows's alone.
HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                   const SECURITY_ATTRIBUTES* attributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);

// What an open handle stands for: kFileTypeDisk, Char, Pipe, or Unknown (with the last
// error set when the handle is not valid).
DWORD GetFileType(HANDLE file);

// The size in bytes of an open file. Nonzero on success.
BOOL GetFileSizeEx(HANDLE file, std::int64_t* size);

constexpr DWORD kErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND, and ENOENT on POSIX
// ERROR_PATH_NOT_FOUND: no such folder. POSIX says ENOENT for that too, and its file
// calls never give 3 (ESRCH).
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kMovefileReplaceExisting = 0x1;

// Removes a file. Nonzero on success; a folder is no file to remove.
BOOL DeleteFileA(const char* fileName);
// Renames a file, replacing `newName` with kMovefileReplaceExisting (POSIX: always
// replaces). Nonzero on success.
BOOL MoveFileExA(const char* existingName, const char* newName, DWORD flags);

// --- Events and waits -------------------------------------------------------------------

constexpr DWORD kInfinite = 0xFFFFFFFF;
constexpr DWORD kWaitObject0 = 0;
constexpr DWORD kWaitTimeout = 258;
constexpr DWORD kWaitFailed = 0xFFFFFFFF;

// An event: set by SetEvent, reset by the wait that it ends (auto-reset) or never
// (manualReset). POSIX: an eventfd.
HANDLE CreateEventA(const SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    const char* name);
BOOL SetEvent(HANDLE event);

// Waits until one of the handles is signalled (an event that is set, a process that has
// ended) or `milliseconds` have passed (kInfinite: no limit). Returns kWaitObject0 + the
// index of the first signalled handle, kWaitTimeout, or kWaitFailed with the last error.
// waitAll must be 0. POSIX: a process is waited for through a pidfd, without reaping.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

// Starts routine(parameter) at once on a new thread. Returns 0 with the last error
// on failure. POSIX: the thread is detached; the handle is only a token.
HANDLE CreateThread(const SECURITY_ATTRIBUTES* attributes, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE routine, void* parameter, DWORD creationFlags,
                    DWORD* threadId);

// Blocking read. Nonzero with 0..size bytes read; 0 on failure (a broken pipe: no
// write end open anywhere) with the last error set.
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead, void* overlapped);

// Nonzero when written; 0 with the last error (invalid handle, broken pipe...).
BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten,
               void* overlapped);

BOOL CloseHandle(HANDLE handle);

void Sleep(DWORD milliseconds);

// Milliseconds on a monotonic clock: setting the wall clock does not move it.
std::uint64_t GetTickCount64();

DWORD GetLastError();
void SetLastError(DWORD code);

// Ends the whole process at once, all threads with it, without running destructors
// of process-wide objects that other threads may still use. POSIX: codes above 255
// give the status 1.
[[noreturn]] void ExitProcess(DWORD exitCode);

// --- The console endpoint ---------------------------------------------------------------

constexpr DWORD kStdInputHandle = static_cast<DWORD>(-10);   // STD_INPUT_HANDLE
constexpr DWORD kStdOutputHandle = static_cast<DWORD>(-11);  // STD_OUTPUT_HANDLE
constexpr DWORD kStdErrorHandle = static_cast<DWORD>(-12);   // STD_ERROR_HANDLE
#ifdef _WIN32
constexpr DWORD kErrorAccessDenied = 5;     // ERROR_ACCESS_DENIED
constexpr DWORD kErrorAlreadyExists = 183;  // ERROR_ALREADY_EXISTS
constexpr DWORD kErrorPipeBusy = 231;       // ERROR_PIPE_BUSY: the name is another's
#else
constexpr DWORD kErrorAccessDenied = 13;    // EACCES
constexpr DWORD kErrorAlreadyExists = 17;   // EEXIST
constexpr DWORD kErrorPipeBusy = 98;        // EADDRINUSE: another process listens there
#endif

// The process's standard handle (POSIX: descriptors 0, 1 and 2), or 0 when it has none.
HANDLE GetStdHandle(DWORD which);

// Opens the endpoint that the console's clients on this machine connect to, and only they.
// Windows: the named pipe `address` (\\.\pipe\NAME), as its first instance, so that a
// name that another process holds fails with kErrorAccessDenied; remote clients are
// refused, and only LocalSystem, the Administrators and the account of this process may
// open it. POSIX: a Unix stream socket at `address`, mode 0660 from the first moment that
// it can be reached, in a folder that others cannot write (otherwise kErrorAccessDenied);
// a socket that nothing listens on is replaced; one that a process listens on fails with
// kErrorPipeBusy; anything else at the path is left alone and fails with
// kErrorAlreadyExists. kInvalidHandleValue with the last error on failure.
HANDLE CreateConsoleEndpoint(const char* address);

// Waits for the next client of the endpoint and gives its connection; `who` names the
// client (POSIX "uid N"; Windows its account, "DOMAIN\\name") within whoSize bytes.
// kInvalidHandleValue with the last error on failure.
HANDLE AcceptConsoleClient(HANDLE endpoint, char* who, DWORD whoSize);

// The client's side: a connection to the endpoint at `address`. kInvalidHandleValue with
// the last error; kErrorFileNotFound when nothing is there.
HANDLE ConnectConsoleEndpoint(const char* address);

// A read of 1..size bytes of a connection, waiting at most `milliseconds` (kInfinite: no
// limit): 0 with kErrorTimeout when none came, with kErrorBrokenPipe once the other side
// has closed. The whole write, or 0 with the last error; kErrorTimeout when the other side
// took too little within `milliseconds`.
BOOL ReadConnection(HANDLE connection, void* buffer, DWORD size, DWORD* bytesRead,
                    DWORD milliseconds);
BOOL WriteConnection(HANDLE connection, const void* buffer, DWORD size, DWORD milliseconds);

// --- Memory ---------------------------------------------------------------------------

// Heap memory for owned texts; null when none is to be had. Release with Free.
void* Allocate(std::size_t bytes);
void Free(void* memory);

// --- Process environment and settings file -------------------------------------------

// The whole command line as one text, the program's own path first.
// POSIX: the arguments joined by JoinArguments (command_line.h).
const char* GetCommandLineA();

// Writes the current folder. Returns its length, or the size needed (terminator
// included) when the buffer is too small, leaving the buffer untouched; 0 on failure.
DWORD GetCurrentDirectoryA(DWORD bufferSize, char* buffer);

// INI access, answering as the Windows reader does (POSIX: ini_reader.h).
DWORD GetPrivateProfileIntA(const char* section, const char* key, std::int32_t defaultValue,
                            const char* fileName);
DWORD GetPrivateProfileStringA(const char* section, const char* key, const char* defaultText,
                               char* buffer, DWORD bufferSize, const char* fileName);

// --- Debugger output ------------------------------------------------------------------

// POSIX: the text, unchanged, on standard error in one write.
void OutputDebugStringA(const char* text);

}  // namespace platform
