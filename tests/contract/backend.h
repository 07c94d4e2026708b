// What the platform contract (platform_contract.cpp) needs from the backend it runs on: the
// fake platform (fake_backend.cpp, in unit_tests) or the real layer (real_backend.cpp, in
// platform_tests). The cases themselves use nothing but the platform's calls.
#pragma once

#include <string>

#include "platform/platform.h"

namespace contract {

// Before and after each case: the fake forgets everything and joins the threads it
// started; the real layer needs nothing.
void BeginCase();
void EndCase();

// The command line of a child that ends with `exitCode` once its standard input ends.
std::string ChildCommandLine(platform::DWORD exitCode);

// Closes our write end of the child's standard input, which ends the child when no other
// write end is open. The fake, which runs no program, plays the child's end itself.
void EndChildInput(platform::HANDLE& input, platform::DWORD exitCode);

// An address for a console endpoint of this case that nothing else uses: the fake takes
// any text, POSIX a path in a fresh folder, Windows a pipe name.
std::string ConsoleAddress(const std::string& tag);

}  // namespace contract
