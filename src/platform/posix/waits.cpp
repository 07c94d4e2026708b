// Events, waits, threads, the clock, the process's end and memory on POSIX.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix/common.h"
#include "platform/posix/handles.h"

namespace platform {

using posix::AcquireDescriptor;
using posix::AcquireWaitable;
using posix::AddHandle;
using posix::FailWith;
using posix::HandleEntry;
using posix::HandleKind;
using posix::ReleaseDescriptor;

namespace {

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    void* parameter;
};


void* RunThread(void* start) {
    const ThreadStart copy = *static_cast<ThreadStart*>(start);
    std::free(start);
    copy.routine(copy.parameter);
    return nullptr;
}

}  // namespace

HANDLE CreateEventA(const SECURITY_ATTRIBUTES*, BOOL manualReset, BOOL initialState,
                    const char*) {
    const int fd = eventfd(initialState != 0 ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        FailWith(errno);
        return nullptr;
    }
    HandleEntry entry{HandleKind::kEvent};
    entry.fd = fd;
    entry.manualReset = manualReset != 0;
    return AddHandle(entry);
}

BOOL SetEvent(HANDLE event) {
    int fd = -1;
    if (!AcquireDescriptor(event, fd, HandleKind::kEvent)) return FailWith(EBADF);
    const std::uint64_t one = 1;
    const ssize_t written = posix::RetryOnInterrupt([&] { return write(fd, &one, sizeof one); });
    // EAGAIN: the counter is full, so the event is set already.
    const int error = written < 0 && errno != EAGAIN ? errno : 0;
    ReleaseDescriptor(event);
    if (error != 0) return FailWith(error);
    return 1;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds) {
    constexpr DWORD kMaximumObjects = 64;
    if (handles == nullptr || count == 0 || count > kMaximumObjects || waitAll != 0) {
        FailWith(EINVAL);
        return kWaitFailed;
    }
    pollfd waits[kMaximumObjects];
    bool autoReset[kMaximumObjects] = {};
    DWORD acquired = 0;
    int error = 0;
    for (; acquired < count; ++acquired) {
        int fd = -1;
        if (!AcquireWaitable(handles[acquired], fd, autoReset[acquired])) {
            error = EBADF;
            break;
        }
        waits[acquired] = pollfd{fd, POLLIN, 0};
    }

    DWORD result = kWaitFailed;
    const std::uint64_t deadline = GetTickCount64() + milliseconds;
    while (error == 0 && result == kWaitFailed) {
        int timeout = -1;
        if (milliseconds != kInfinite) {
            const std::uint64_t now = GetTickCount64();
            timeout = now >= deadline ? 0 : static_cast<int>(std::min<std::uint64_t>(deadline - now, 1u << 30));
        }
        const int ready = poll(waits, count, timeout);
        if (ready < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        if (ready == 0) {
            result = kWaitTimeout;
            break;
        }
        for (DWORD i = 0; i < count && result == kWaitFailed; ++i) {
            if (waits[i].revents == 0) continue;
            if (autoReset[i]) {
                // Another waiter may have taken the event first: then wait on.
                std::uint64_t value = 0;
                if (read(waits[i].fd, &value, sizeof value) != sizeof value) continue;
            }
            result = kWaitObject0 + i;
        }
    }
    for (DWORD i = 0; i < acquired; ++i) ReleaseDescriptor(handles[i]);
    if (error != 0) {
        FailWith(error);
        return kWaitFailed;
    }
    return result;
}

HANDLE CreateThread(const SECURITY_ATTRIBUTES*, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE routine, void* parameter, DWORD, DWORD* threadId) {
    if (routine == nullptr) {
        FailWith(EINVAL);
        return nullptr;
    }
    auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
    if (start == nullptr) {
        FailWith(ENOMEM);
        return nullptr;
    }
    start->routine = routine;
    start->parameter = parameter;

    const int result = posix::StartDetachedThread(RunThread, start, stackSize);
    if (result != 0) {
        std::free(start);
        FailWith(result);
        return nullptr;
    }
    const HANDLE token = AddHandle(HandleEntry{HandleKind::kToken});
    if (threadId != nullptr) *threadId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(token));
    return token;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::uint64_t GetTickCount64() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void ExitProcess(DWORD exitCode) {
    // No flush of stdio: it would wait for the lock of a file that another thread is
    // reading (the command file), and the process would never end. Nothing of ours is
    // buffered there.
    // An exit status has 8 bits; a larger code would read as another code, so it
    // becomes the general failure 1.
    _exit(exitCode > 255 ? 1 : static_cast<int>(exitCode));
}

void* Allocate(std::size_t bytes) { return std::malloc(bytes != 0 ? bytes : 1); }

void Free(void* memory) { std::free(memory); }

}  // namespace platform
