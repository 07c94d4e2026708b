// The fake platform's console endpoints: in memory, within the test's process. An endpoint
// holds its address until it is closed; ConnectConsoleEndpoint queues a connection that
// AcceptConsoleClient hands out (its `who` is "fake"), and each side reads what the other
// wrote. Time in ReadConnection and WriteConnection is real time, so that threads meet.
#pragma once

#include "platform/platform.h"

namespace fake {

// Forgets every endpoint and connection. Called by Reset.
void ResetConsole();

// For fake_platform.cpp: whether the handle is one of ours, and its close.
bool IsConsoleHandle(platform::HANDLE handle);
platform::BOOL CloseConsoleHandle(platform::HANDLE handle);

}  // namespace fake
