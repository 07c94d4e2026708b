// Starting the server: its command line, its two pipes, its job, the process and the
// reader. The handles live in state/server.h.
#pragma once

#include "platform/platform.h"

// Starts the server and supervises its start. Returns 0 once the service has been
// reported running; otherwise kNoCommandFile (2), kNoCommandLine (9), the platform error
// code of a failed event, pipe, job, process or thread creation (nothing reported yet), or
// what Supervise returns for a start that ended otherwise (reported already).
platform::DWORD LaunchServer();
