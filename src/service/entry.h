#pragma once

#include "platform/platform.h"

// The program's entry: hands the service table to the dispatcher and stays inside it
// until the service has been reported stopped. Returns the process's exit code: the
// Win32ExitCode that the stopped report carried, or nonzero when the dispatcher failed.
platform::DWORD ProgramEntry();
