// The service's start routine.
#pragma once

#include "platform/platform.h"

// Run once by the dispatcher on a thread of its own: reads the settings, registers the
// control handler and launches the server. A failed launch is reported as stopped with
// its code; a failed registration is only logged. The arguments are not used.
void ServiceStart(platform::DWORD argc, char** argv);
