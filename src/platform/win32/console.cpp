// The console endpoint on Windows: a named pipe, and its connections (overlapped, so
// that a read and a write can give up after a while).
#include <windows.h>
#include <sddl.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr ::DWORD kPipeBuffer = 64 * 1024;
constexpr ::DWORD kBusyWaitMilliseconds = 2000;

// The one endpoint of the process: its name and descriptor, for the instances that follow
// the first, and the instance that waits for the next client.
struct EndpointRecord {
    char name[256];
    PSECURITY_DESCRIPTOR descriptor;
    HANDLE listening;
};
EndpointRecord Endpoint = {};

platform::HANDLE FailHandle(::DWORD error) {
    ::SetLastError(error);
    return platform::kInvalidHandleValue;
}

// "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;<our account>)": LocalSystem, the Administrators
// and this process's own account, nobody else; nothing inherited.
PSECURITY_DESCRIPTOR MakeDescriptor() {
    HANDLE token = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) == 0) return nullptr;
    char buffer[256];
    ::DWORD length = 0;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    char* sid = nullptr;
    if (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) != 0 &&
        ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid) != 0) {
        char sddl[400];
        (void)std::snprintf(sddl, sizeof sddl, "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%s)", sid);
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                   &descriptor, nullptr) == 0) {
            descriptor = nullptr;
        }
        (void)::LocalFree(sid);
    }
    (void)::CloseHandle(token);
    return descriptor;
}

HANDLE NewInstance(::DWORD extraFlags) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, Endpoint.descriptor, FALSE};
    return ::CreateNamedPipeA(
        Endpoint.name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | extraFlags,
        // A byte pipe, read as bytes, with waiting calls: the zero flags.
        PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &attributes);
}

// Runs an overlapped call to its end, waiting at most `milliseconds`; the result of the
// call as a synchronous one would give it, or ERROR_TIMEOUT after cancelling it.
template <typename Start>
bool Complete(HANDLE handle, ::DWORD milliseconds, ::DWORD& transferred, Start start) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return false;
    bool done = start(&overlapped) != 0;
    ::DWORD error = done ? 0 : ::GetLastError();
    if (!done && error == ERROR_IO_PENDING) {
        const bool timedOut = ::WaitForSingleObject(overlapped.hEvent, milliseconds) == WAIT_TIMEOUT;
        if (timedOut) (void)::CancelIoEx(handle, &overlapped);
        // Waits for the cancel too: the record must outlive the operation.
        done = ::GetOverlappedResult(handle, &overlapped, &transferred, TRUE) != 0;
        error = done ? 0 : ::GetLastError();
        if (!done && timedOut && error == ERROR_OPERATION_ABORTED) error = ERROR_TIMEOUT;
    } else if (done) {
        done = ::GetOverlappedResult(handle, &overlapped, &transferred, TRUE) != 0;
        error = done ? 0 : ::GetLastError();
    }
    (void)::CloseHandle(overlapped.hEvent);
    // A pipe whose other side has gone: the broken pipe, however the call put it.
    if (error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA) error = ERROR_BROKEN_PIPE;
    ::SetLastError(error);
    return done;
}

// The client's account, "DOMAIN\name", or its process id when that cannot be had.
void NameClient(HANDLE pipe, char* who, ::DWORD whoSize) {
    ULONG pid = 0;
    (void)::GetNamedPipeClientProcessId(pipe, &pid);
    (void)std::snprintf(who, whoSize, "pid %lu", pid);
    if (::ImpersonateNamedPipeClient(pipe) == 0) return;
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != 0) {
        char buffer[256];
        ::DWORD length = 0;
        if (::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) != 0) {
            char name[128];
            char domain[128];
            ::DWORD nameLength = sizeof name;
            ::DWORD domainLength = sizeof domain;
            SID_NAME_USE use;
            if (::LookupAccountSidA(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid,
                                    name, &nameLength, domain, &domainLength, &use) != 0) {
                (void)std::snprintf(who, whoSize, "%s\\%s", domain, name);
            }
        }
        (void)::CloseHandle(token);
    }
    (void)::RevertToSelf();
}

}  // namespace

namespace platform {

HANDLE GetStdHandle(DWORD which) {
    HANDLE handle = ::GetStdHandle(which);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

HANDLE CreateConsoleEndpoint(const char* address) {
    if (address == nullptr || std::snprintf(Endpoint.name, sizeof Endpoint.name, "%s", address) >=
                                  static_cast<int>(sizeof Endpoint.name)) {
        return FailHandle(ERROR_INVALID_PARAMETER);
    }
    if (Endpoint.descriptor == nullptr) Endpoint.descriptor = MakeDescriptor();
    if (Endpoint.descriptor == nullptr) return FailHandle(::GetLastError());
    // The first instance, or nothing: a name that another process holds stays its own.
    // Wine 8 ignores the flag (measured), so a pipe of that name is looked for first: a
    // wait that finds one, or that times out on one that is busy, means it exists.
    if (::WaitNamedPipeA(Endpoint.name, 1) != 0 || ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        return FailHandle(ERROR_ACCESS_DENIED);
    }
    HANDLE first = NewInstance(FILE_FLAG_FIRST_PIPE_INSTANCE);
    if (first == INVALID_HANDLE_VALUE) return FailHandle(::GetLastError());
    Endpoint.listening = first;
    return first;
}

HANDLE AcceptConsoleClient(HANDLE endpoint, char* who, DWORD whoSize) {
    if (endpoint == nullptr || endpoint == INVALID_HANDLE_VALUE || Endpoint.listening == nullptr) {
        return FailHandle(ERROR_INVALID_HANDLE);
    }
    HANDLE pipe = Endpoint.listening;
    ::DWORD ignored = 0;
    bool connected = Complete(pipe, INFINITE, ignored, [pipe](OVERLAPPED* overlapped) {
        return ::ConnectNamedPipe(pipe, overlapped);
    });
    // A client that came between the instance's creation and this call.
    if (!connected && ::GetLastError() == ERROR_PIPE_CONNECTED) connected = true;
    if (!connected) {
        const ::DWORD error = ::GetLastError();
        (void)::DisconnectNamedPipe(pipe);
        return FailHandle(error);
    }
    // The next client gets an instance of its own; without one it is told the pipe is busy
    // and waits (WaitNamedPipe) until there is.
    HANDLE next = NewInstance(0);
    Endpoint.listening = next != INVALID_HANDLE_VALUE ? next : nullptr;
    if (who != nullptr && whoSize > 0) NameClient(pipe, who, whoSize);
    return pipe;
}

HANDLE ConnectConsoleEndpoint(const char* address) {
    if (address == nullptr) return FailHandle(ERROR_INVALID_PARAMETER);
    for (int attempt = 0;; ++attempt) {
        HANDLE pipe = ::CreateFileA(address, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) return pipe;
        const ::DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY || attempt == 5) return FailHandle(error);
        (void)::WaitNamedPipeA(address, kBusyWaitMilliseconds);
    }
}

BOOL ReadConnection(HANDLE connection, void* buffer, DWORD size, DWORD* bytesRead,
                    DWORD milliseconds) {
    if (bytesRead != nullptr) *bytesRead = 0;
    for (;;) {
        ::DWORD got = 0;
        if (!Complete(connection, milliseconds, got, [&](OVERLAPPED* overlapped) {
                return ::ReadFile(connection, buffer, size, nullptr, overlapped);
            })) {
            return 0;
        }
        if (got == 0 && size > 0) continue;  // an empty write of the other side
        if (bytesRead != nullptr) *bytesRead = got;
        return 1;
    }
}

BOOL WriteConnection(HANDLE connection, const void* buffer, DWORD size, DWORD milliseconds) {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    const auto* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < size) {
        ::DWORD left = INFINITE;
        if (milliseconds != kInfinite) {
            const ULONGLONG now = ::GetTickCount64();
            left = now >= deadline ? 0 : static_cast<::DWORD>(deadline - now);
        }
        ::DWORD written = 0;
        if (!Complete(connection, left, written, [&](OVERLAPPED* overlapped) {
                return ::WriteFile(connection, bytes + done, size - done, nullptr, overlapped);
            })) {
            return 0;
        }
        done += written;
    }
    return 1;
}

}  // namespace platform
