// The sample server's few system calls, straight to the operating system: no stdio
// buffering and no text-mode translation, so that what a test asks for is byte for
// byte what the pipe carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Writes all bytes to standard output (1) or standard error (2); a failed write ends
// the attempt quietly, since a server whose reader has gone has nobody to tell.
void WriteAll(int which, const char* data, std::size_t size);

// Reads up to size bytes of standard input; 0 at its end or on failure.
std::size_t ReadStdin(char* buffer, std::size_t size);

void CloseStdin();
unsigned long ProcessId();

// Whether the handle (POSIX: the descriptor) with this number is open in this process.
bool HandleIsOpen(std::uint64_t value);

// Ends the whole process at once with this status, whichever thread calls it.
[[noreturn]] void ExitNow(std::uint32_t code);

// Ends as a crashing program does: SIGSEGV on POSIX (no core file); on Windows the
// status 0xC0000005 without the crash dialog.
[[noreturn]] void Crash();

// Where a copy runs: in the caller's process group; in a group of its own; in a session of
// its own (POSIX setsid; Windows: a new process group, detached from any console), as a
// daemon's worker does. On Windows the copy stays in the caller's job whatever it is.
enum class CopyPlace { kSameGroup, kOwnGroup, kOwnSession };

// Starts this very program again with these arguments, its standard handles inherited
// (POSIX) or none (Windows). Its process id goes to `pid` when given.
bool SpawnCopy(const std::vector<std::string>& arguments, CopyPlace place = CopyPlace::kSameGroup,
               unsigned long* pid = nullptr);

// Moves this process into the process group `group` (POSIX setpgid); Windows has no such
// thing and does nothing.
bool JoinGroup(unsigned long group);

// Starts `count` orphans, `perSecond` a second (0: as fast as it goes): each one a child
// that starts a grandchild and ends at once, the grandchild ending at once too, so that
// what the kernel re-parents is a process that has ended. POSIX only (false on Windows).
bool StartOrphans(std::uint64_t count, std::uint64_t perSecond);
