// The handle table that the POSIX files of the layer share; nothing here leaves the layer.
//
// Handles are entries of our own table, never descriptors: a handle value is never
// reused, so a handle that one thread closed fails with EBADF in every later call of
// another thread instead of reaching whatever descriptor the number names by then.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/owned_mutex.h"
#include "platform/platform.h"

namespace platform::posix {

enum class HandleKind { kDescriptor, kProcess, kEvent, kJob, kToken };

struct HandleEntry {
    HandleKind kind;
    int fd = -1;           // kDescriptor, kEvent (an eventfd), kProcess (a pidfd)
    pid_t pid = 0;         // kProcess; kJob: the group's leader, 0 until assigned
    bool ended = false;    // kProcess: the child has ended, exitCode is final
    bool reaped = false;   // kProcess: the child is reaped; its number may be reused
    DWORD exitCode = 0;    // kProcess
    bool manualReset = false;    // kEvent
    HANDLE leader = nullptr;     // kJob: the leader's process handle
    int users = 0;         // calls that use fd right now
    bool closed = false;   // CloseHandle done; fd is closed once users drops to 0
};

extern platform::OwnedMutex HandlesLock;  // guards the table

// Held from a child's creation until its process handle is in the table, and by the reaper:
// a child that ends at once is not reaped (its exit code lost) before it has a handle.
// Taken before HandlesLock.
extern std::mutex SpawnLock;

// Never destroyed: detached threads may still use handles while the process ends.
std::unordered_map<std::uintptr_t, HandleEntry>& Handles();

HANDLE AddHandle(const HandleEntry& entry);

// The open entry of `kind` behind a handle, or null. The caller holds HandlesLock.
HandleEntry* FindLocked(HANDLE handle, HandleKind kind);

// The descriptor behind an open handle of `kind`, kept open until ReleaseDescriptor even
// when another thread closes the handle meanwhile.
bool AcquireDescriptor(HANDLE handle, int& fd, HandleKind kind = HandleKind::kDescriptor);

// The same for what a wait can wait on, an event or a process; `autoReset` for an event
// whose signal a wait takes.
bool AcquireWaitable(HANDLE handle, int& fd, bool& autoReset);

void ReleaseDescriptor(HANDLE handle);

// Sets the last error to `error` and gives 0, the failure of a BOOL call.
BOOL FailWith(int error);

// Reaps the child behind a process handle that is being closed, once it has ended
// (process.cpp). The caller holds HandlesLock.
void ReapOnCloseLocked(HandleEntry& entry);

// Reaps every child that has ended, without waiting: a process handle's child keeps its
// exit code in its entry, any other is gone for good. On SIGCHLD (the dispatcher).
void ReapChildren();

}  // namespace platform::posix
