// The supervising thread: it feeds the lifecycle's events and waits for the next one.
#pragma once

#include "platform/platform.h"

// Runs the lifecycle (state/lifecycle.h) on the calling thread until the service runs
// (returns 0) or has been reported stopped (returns the failed start's code, 109, or
// kStopReportedAlready). Waits on the lifecycle's event and the server's process with the
// next deadline as its bound: no wake-up while nothing is due.
platform::DWORD Supervise();
