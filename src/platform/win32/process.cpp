// Processes, pipes, threads, handles, the clock and memory: the real Win32 calls.
// Our records are our own types, so each call fills the real record and hands it on.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <type_traits>

#include "platform/platform.h"

namespace {

// The security attributes in the shape Windows expects; null stays null.
const ::SECURITY_ATTRIBUTES* ToNative(const platform::SECURITY_ATTRIBUTES* ours,
                                      ::SECURITY_ATTRIBUTES& native) {
    if (ours == nullptr) return nullptr;
    native = {};
    native.nLength = sizeof(native);  // the real record's size, whatever ours says
    native.lpSecurityDescriptor = ours->lpSecurityDescriptor;
    native.bInheritHandle = ours->bInheritHandle;
    return &native;
}

// A new thread needs its routine and parameter; the routine is not WINAPI and returns
// our DWORD, so it runs behind a trampoline that owns this record.
struct ThreadStart {
    platform::LPTHREAD_START_ROUTINE routine;
    void* parameter;
};

DWORD WINAPI ThreadTrampoline(LPVOID argument) {
    ThreadStart start = *static_cast<ThreadStart*>(argument);
    HeapFree(GetProcessHeap(), 0, argument);
    return start.routine(start.parameter);
}

}  // namespace

namespace platform {

BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES* attributes,
                DWORD size) {
    static_assert(std::is_same_v<HANDLE, ::HANDLE>, "the ends are written straight through");
    ::SECURITY_ATTRIBUTES native;
    auto* nativeAttributes = const_cast<::SECURITY_ATTRIBUTES*>(ToNative(attributes, native));
    return ::CreatePipe(readEnd, writeEnd, nativeAttributes, size) != 0 ? 1 : 0;
}

BOOL CreateProcessA(const char* applicationName, char* commandLine,
                    const SECURITY_ATTRIBUTES* processAttributes,
                    const SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, void* environment, const char* currentDirectory,
                    const STARTUPINFOA* startupInfo, PROCESS_INFORMATION* information) {
    ::STARTUPINFOA start = {};
    start.cb = sizeof(start);  // 68 on x86, 104 on x64: the real record's size
    if (startupInfo != nullptr) {
        start.dwFlags = startupInfo->dwFlags;
        start.wShowWindow = startupInfo->wShowWindow;
        start.hStdInput = startupInfo->hStdInput;
        start.hStdOutput = startupInfo->hStdOutput;
        start.hStdError = startupInfo->hStdError;
    }
    // Windows refuses an empty current-directory text with 267; an empty launch folder
    // means the service's own folder, which null gives.
    if (currentDirectory != nullptr && currentDirectory[0] == '\0') currentDirectory = nullptr;

    // With inheritance on, every inheritable handle open anywhere in the process at this
    // moment would go with the server (a log file that another thread has open, a pipe of
    // another launch): the list names the only ones it may have, its standard handles.
    ::STARTUPINFOEXA extended = {};
    extended.StartupInfo = start;
    extended.StartupInfo.cb = sizeof(extended);
    // Both live until process creation has returned: the list points into them.
    // cppcheck-suppress variableScope
    alignas(std::max_align_t) char listStorage[256];
    // cppcheck-suppress variableScope
    ::HANDLE inherited[3] = {};
    if (inheritHandles != 0 && (start.dwFlags & STARTF_USESTDHANDLES) != 0) {
        ::DWORD count = 0;
        for (const ::HANDLE handle : {start.hStdInput, start.hStdOutput, start.hStdError}) {
            // The list takes each handle once; a handle of none is no handle to inherit.
            if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
            if (std::find(inherited, inherited + count, handle) == inherited + count) {
                inherited[count++] = handle;
            }
        }
        SIZE_T size = 0;
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listStorage);
        if (count > 0) {
            // Asked first: the list's size is the system's to say.
            (void)::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
            if (size > sizeof listStorage) {
                ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            size = sizeof listStorage;
            if (::InitializeProcThreadAttributeList(list, 1, 0, &size) == 0) return 0;
            if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                            count * sizeof(::HANDLE), nullptr, nullptr) == 0) {
                const ::DWORD error = ::GetLastError();
                ::DeleteProcThreadAttributeList(list);
                ::SetLastError(error);
                return 0;
            }
            extended.lpAttributeList = list;
            creationFlags |= EXTENDED_STARTUPINFO_PRESENT;
        } else {
            inheritHandles = 0;  // nothing to hand over: nothing is inherited
        }
    }

    ::SECURITY_ATTRIBUTES processNative;
    ::SECURITY_ATTRIBUTES threadNative;
    ::PROCESS_INFORMATION created = {};
    const BOOL ok = ::CreateProcessA(
        applicationName, commandLine,
        const_cast<::SECURITY_ATTRIBUTES*>(ToNative(processAttributes, processNative)),
        const_cast<::SECURITY_ATTRIBUTES*>(ToNative(threadAttributes, threadNative)),
        inheritHandles, creationFlags, environment, currentDirectory,
        &extended.StartupInfo, &created);
    if (extended.lpAttributeList != nullptr) {
        const ::DWORD error = ::GetLastError();
        ::DeleteProcThreadAttributeList(extended.lpAttributeList);
        ::SetLastError(error);
    }
    if (ok == 0) return 0;
    information->hProcess = created.hProcess;
    information->hThread = created.hThread;
    information->dwProcessId = created.dwProcessId;
    information->dwThreadId = created.dwThreadId;
    return 1;
}

BOOL TerminateProcess(HANDLE process, DWORD exitCode) {
    return ::TerminateProcess(process, exitCode) != 0 ? 1 : 0;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
    ::DWORD code = 0;
    if (::GetExitCodeProcess(process, &code) == 0) return 0;
    *exitCode = code;
    return 1;
}

BOOL SetHandleInformation(HANDLE handle, DWORD mask, DWORD flags) {
    return ::SetHandleInformation(handle, mask, flags) != 0 ? 1 : 0;
}

HANDLE CreateJobObjectA(const SECURITY_ATTRIBUTES* attributes, const char* name) {
    ::SECURITY_ATTRIBUTES native;
    // No kill-on-close limit: the program may end while the server is still ending.
    return ::CreateJobObjectA(const_cast<::SECURITY_ATTRIBUTES*>(ToNative(attributes, native)),
                              name);
}

BOOL AssignProcessToJobObject(HANDLE job, HANDLE process) {
    return ::AssignProcessToJobObject(job, process) != 0 ? 1 : 0;
}

BOOL TerminateJobObject(HANDLE job, DWORD exitCode) {
    return ::TerminateJobObject(job, exitCode) != 0 ? 1 : 0;
}

DWORD ResumeThread(HANDLE thread) { return ::ResumeThread(thread); }

HANDLE CreateEventA(const SECURITY_ATTRIBUTES* attributes, BOOL manualReset, BOOL initialState,
                    const char* name) {
    ::SECURITY_ATTRIBUTES native;
    return ::CreateEventA(const_cast<::SECURITY_ATTRIBUTES*>(ToNative(attributes, native)),
                          manualReset, initialState, name);
}

BOOL SetEvent(HANDLE event) { return ::SetEvent(event) != 0 ? 1 : 0; }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

HANDLE CreateThread(const SECURITY_ATTRIBUTES* attributes, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE routine, void* parameter, DWORD creationFlags,
                    DWORD* threadId) {
    auto* start = static_cast<ThreadStart*>(HeapAlloc(GetProcessHeap(), 0, sizeof(ThreadStart)));
    if (start == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    start->routine = routine;
    start->parameter = parameter;
    ::SECURITY_ATTRIBUTES native;
    ::DWORD id = 0;
    ::HANDLE thread = ::CreateThread(const_cast<::SECURITY_ATTRIBUTES*>(ToNative(attributes, native)),
                                     stackSize, ThreadTrampoline, start, creationFlags, &id);
    if (thread == nullptr) {
        ::DWORD error = ::GetLastError();  // the caller reads it after our clean-up
        HeapFree(GetProcessHeap(), 0, start);
        ::SetLastError(error);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = id;
    return thread;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead, void* overlapped) {
    ::DWORD count = 0;
    const BOOL ok =
        ::ReadFile(file, buffer, size, &count, static_cast<::OVERLAPPED*>(overlapped)) != 0 ? 1 : 0;
    if (bytesRead != nullptr) *bytesRead = count;
    return ok;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten,
               void* overlapped) {
    // Handle 0 is how the logic marks a closed pipe end; Windows answers it with
    // ERROR_INVALID_HANDLE, and so does this, without asking the kernel.
    if (file == nullptr) {
        if (bytesWritten != nullptr) *bytesWritten = 0;
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    ::DWORD count = 0;  // must not be null without an overlapped record
    const BOOL ok = ::WriteFile(file, buffer, size, &count,
                                static_cast<::OVERLAPPED*>(overlapped)) != 0 ? 1 : 0;
    if (bytesWritten != nullptr) *bytesWritten = count;
    return ok;
}

HANDLE CreateFileA(const char* fileName, DWORD access, DWORD shareMode,
                   const SECURITY_ATTRIBUTES* attributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
    static_assert(kFileAppendData == FILE_APPEND_DATA && kGenericWrite == GENERIC_WRITE &&
                      kFileReadAttributes == FILE_READ_ATTRIBUTES &&
                      kCreateAlways == CREATE_ALWAYS && kOpenAlways == OPEN_ALWAYS &&
                      kFileTypeDisk == FILE_TYPE_DISK && kFileTypeChar == FILE_TYPE_CHAR &&
                      kFileTypePipe == FILE_TYPE_PIPE,
                  "the constants are Windows's own");
    ::SECURITY_ATTRIBUTES native;
    const ::HANDLE file = ::CreateFileA(
        fileName, access, shareMode,
        const_cast<::SECURITY_ATTRIBUTES*>(ToNative(attributes, native)), creationDisposition,
        flagsAndAttributes, templateFile);
    // cppcheck-suppress resourceLeak ; the caller owns the handle
    return file == INVALID_HANDLE_VALUE ? kInvalidHandleValue : file;
}

DWORD GetFileType(HANDLE file) { return ::GetFileType(file); }

BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
    ::LARGE_INTEGER native = {};
    if (size == nullptr || ::GetFileSizeEx(file, &native) == 0) return 0;
    *size = native.QuadPart;
    return 1;
}

BOOL DeleteFileA(const char* fileName) { return ::DeleteFileA(fileName) != 0 ? 1 : 0; }

BOOL MoveFileExA(const char* existingName, const char* newName, DWORD flags) {
    static_assert(kMovefileReplaceExisting == MOVEFILE_REPLACE_EXISTING &&
                      kErrorFileNotFound == ERROR_FILE_NOT_FOUND &&
                      kErrorPathNotFound == ERROR_PATH_NOT_FOUND,
                  "the constants are Windows's own");
    return ::MoveFileExA(existingName, newName, flags) != 0 ? 1 : 0;
}

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle) != 0 ? 1 : 0; }

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

std::uint64_t GetTickCount64() { return ::GetTickCount64(); }

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD code) { ::SetLastError(code); }

void ExitProcess(DWORD exitCode) {
    ::ExitProcess(exitCode);
}

void* Allocate(std::size_t bytes) { return std::malloc(bytes); }

void Free(void* memory) { std::free(memory); }

}  // namespace platform
