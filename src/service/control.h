// The control handler: what the service does with the manager's control requests.
#pragma once

#include "platform/platform.h"

// Hands every request to the lifecycle (state/lifecycle.cpp): a stop (and a shutdown,
// when the service waits for its server) ends in the quit command and stopped; an
// interrogation reports the record as it is; any other code is logged as "Unrecognized
// opcode %ld\n" and reported. Nothing follows the stopped report.
void ControlHandler(platform::DWORD control);
