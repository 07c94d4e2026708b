// The input writer: the one thread that writes into the server's standard input, what
// state/input.h queues, in order. It may block in a write for as long as the server does
// not read; nothing else waits for it.
#pragma once

#include "platform/platform.h"

// The thread routine. Waits for InputEvent, writes each item, logs each command once it
// is written (with its sender) or the error that stopped it, and ends after the quit
// command, which it reports through PostQuitWritten. Returns 1.
platform::DWORD InputWriter(void* parameter);
