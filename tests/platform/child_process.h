// The test program re-running itself as the child of a process test (POSIX). The child's
// part is chosen by the environment variable TALLOWMERE_PLATFORM_CHILD (child_modes.cpp)
// and runs before any test; the parent's helpers are below.
#pragma once

#ifndef _WIN32

#include <string>

#include "platform/platform.h"

namespace childtest {

// This test program's own path, quoted for SplitCommandLine when it holds a blank.
std::string SelfCommand();

// An environment block (for CreateProcessA) that makes the child run `mode` with `arg`.
std::string ChildEnvironment(const std::string& mode, const std::string& arg = "");

// A child of this program in `mode`, its standard input and output on two new pipes
// and its standard error on the output pipe. The parent keeps only its own ends: the
// output reaches end of file when the child ends. Nonzero on success.
struct Child {
    platform::PROCESS_INFORMATION info{};
    platform::HANDLE input = nullptr;   // write end of the child's standard input
    platform::HANDLE output = nullptr;  // read end of the child's standard output and error
};
bool StartChild(const std::string& mode, Child& child, const std::string& arg = "",
                const std::string& arguments = "", const char* folder = nullptr);

// Closes our three handles of the child.
void CloseChild(Child& child);

// Everything from `handle` until its write ends are all closed.
std::string ReadToEnd(platform::HANDLE handle);

// Reads from `handle` until `text` has arrived (true) or the pipe ends (false).
bool ReadUntil(platform::HANDLE handle, const std::string& text, std::string& seen);

// The exit code once the process has ended, waiting up to a generous bound; 259 when it
// did not end in time.
platform::DWORD WaitForExit(platform::HANDLE process);

}  // namespace childtest

#endif
