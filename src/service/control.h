// The control handler: what the service does with the manager's control requests.
#pragma once

#include "platform/platform.h"

// Stop (1): sets the record to stopped, writes the quit command into the server's
// standard input, logs "stopped.\n" or "Error writing stop command %ld.\n" (then the
// error is the exit code) and reports. Interrogate (4): reports the record unchanged.
// Any other code: logs "Unrecognized opcode %ld\n" and reports. Once the service has
// been reported stopped, a further stop request changes nothing.
void ControlHandler(platform::DWORD control);
