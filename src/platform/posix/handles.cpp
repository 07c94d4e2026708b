#include "platform/posix/handles.h"

#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <mutex>

namespace platform {

namespace posix {

platform::OwnedMutex HandlesLock;
std::mutex SpawnLock;

namespace {
std::uintptr_t NextHandle = 0x1000;  // guarded by HandlesLock
}  // namespace

thread_local DWORD ThreadLastError = 0;

std::unordered_map<std::uintptr_t, HandleEntry>& Handles() {
    static auto* table = new std::unordered_map<std::uintptr_t, HandleEntry>();
    return *table;
}

HANDLE AddHandle(const HandleEntry& entry) {
    std::lock_guard lock(HandlesLock);
    const std::uintptr_t value = NextHandle;
    NextHandle += 4;
    Handles().emplace(value, entry);
    // A handle is a number of our own table, handed out as the pointer type Win32 uses.
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr)
}

HandleEntry* FindLocked(HANDLE handle, HandleKind kind) {
    assert(HandlesLock.HeldHere());
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed || found->second.kind != kind) {
        return nullptr;
    }
    return &found->second;
}

// The descriptor behind an open handle of `kind`, kept open until ReleaseDescriptor even
// when another thread closes the handle meanwhile.
bool AcquireDescriptor(HANDLE handle, int& fd, HandleKind kind) {
    std::lock_guard lock(HandlesLock);
    HandleEntry* entry = FindLocked(handle, kind);
    if (entry == nullptr || entry->fd < 0) return false;
    ++entry->users;
    fd = entry->fd;
    return true;
}

// The same for what a wait can wait on, an event or a process; `autoReset` for an event
// whose signal a wait takes.
bool AcquireWaitable(HANDLE handle, int& fd, bool& autoReset) {
    std::lock_guard lock(HandlesLock);
    HandleEntry* entry = FindLocked(handle, HandleKind::kEvent);
    if (entry == nullptr) entry = FindLocked(handle, HandleKind::kProcess);
    if (entry == nullptr || entry->fd < 0) return false;
    ++entry->users;
    fd = entry->fd;
    autoReset = entry->kind == HandleKind::kEvent && !entry->manualReset;
    return true;
}

void ReleaseDescriptor(HANDLE handle) {
    std::lock_guard lock(HandlesLock);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end()) return;
    if (--found->second.users == 0 && found->second.closed) {
        close(found->second.fd);
        Handles().erase(found);
    }
}

BOOL FailWith(int error) {
    ThreadLastError = static_cast<DWORD>(error);
    return 0;
}

}  // namespace posix

using posix::FailWith;
using posix::Handles;
using posix::HandlesLock;

BOOL SetHandleInformation(HANDLE handle, DWORD, DWORD) {
    std::lock_guard lock(HandlesLock);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed) return FailWith(EBADF);
    return 1;
}

BOOL CloseHandle(HANDLE handle) {
    std::lock_guard lock(HandlesLock);
    const auto found = Handles().find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == Handles().end() || found->second.closed) return FailWith(EBADF);
    posix::HandleEntry& entry = found->second;
    if (entry.kind == posix::HandleKind::kProcess) posix::ReapOnCloseLocked(entry);
    entry.closed = true;
    if (entry.users > 0) return 1;  // the last user closes the descriptor
    if (entry.fd >= 0) close(entry.fd);
    Handles().erase(found);
    return 1;
}

DWORD GetLastError() { return posix::ThreadLastError; }

void SetLastError(DWORD code) { posix::ThreadLastError = code; }

}  // namespace platform
