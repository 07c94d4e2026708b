// The second half of LaunchServer: waiting for the start hint.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The start hint was not seen in time (ERROR_BROKEN_PIPE), or a stop request ended the
// start before it was.
constexpr platform::DWORD kStartTimedOut = 109;

// Period of the wait's passes, and the wait hint that each start-pending report carries.
constexpr platform::DWORD kStartPollMilliseconds = 500;
constexpr platform::DWORD kStartWaitHint = 1000;

// After the timeout the server is sent the quit command and given this long to end by
// itself before it is ended the hard way. Short, because the service is about to be
// reported stopped, and well inside the manager's patience while start pending goes on.
constexpr std::uint64_t kTimeoutGraceMilliseconds = 5000;

// The message when the grace ran out.
constexpr char kServerEndedMessage[] = "Server ended: no start hint within the timeout\n";

// Reports start pending every 500 ms until ServerStarted is set (then reports running and
// returns 0) or Settings.ServerStartupTimeoutInSeconds have passed on the monotonic clock
// (then ends the server and returns kStartTimedOut). A stop request reported meanwhile
// ends the wait at its next pass with kStartTimedOut and no further report.
platform::DWORD WaitForStartHint();
