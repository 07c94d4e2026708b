// The fake platform's process environment: command line, current folder, settings-file
// reads (real files, through the portable INI reader), heap memory with failure
// injection, debugger output and the last error code. Tests set and read it through the
// functions below; the platform calls themselves are those of platform/platform.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Back to the start state: command line "tallowmere-service", current folder "fake-cwd",
// no allocation failure, no debugger output, counters at 0.
void ResetEnv();

// What GetCommandLineA returns from now on.
void SetCommandLine(const std::string& commandLine);

// What GetCurrentDirectoryA writes from now on.
void SetCurrentDirectory(const std::string& directory);
// Makes GetCurrentDirectoryA fail (return 0) with this last error code.
void FailCurrentDirectory(platform::DWORD error);

// Counts allocations from now on and refuses the nth (1 = the next one): only that one,
// or, with fromThenOn, every one from it on. nth 0 refuses nothing.
void FailAllocation(int nth, bool fromThenOn = false);
// Allocate calls since the last reset, refused ones included.
int AllocationCalls();
// Sizes asked for by the Allocate calls that succeeded, in order.
std::vector<std::size_t> AllocationSizes();
// Blocks handed out and not yet freed.
int LiveAllocations();

// Everything that reached OutputDebugStringA since the last reset, joined, and the number
// of calls.
std::string DebugOutput();
int DebugOutputCalls();

}  // namespace fake
