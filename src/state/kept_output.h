// The server's recent output, kept in memory whether or not it is logged, and the share of
// each attached console client. The output reader only copies into these and never waits:
// a client that does not read loses its share, the server and the log lose nothing.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// What an attach shows first: the last this many bytes of the server's output.
constexpr std::size_t kKeptOutputBytes = std::size_t{64} * 1024;
// Clients attached at once; one more is refused.
constexpr int kMostAttached = 4;
// Output that waits for one attached client; what does not fit is dropped and counted.
constexpr std::size_t kAttachedShareBytes = std::size_t{256} * 1024;

// Called by the output reader with every chunk, as read (zero bytes dropped).
void KeepOutput(const char* bytes, std::size_t length);

// Attaches a client: its share starts with the kept output, and `event` is set whenever
// more comes. The slot, or -1 when kMostAttached are attached.
int AttachOutput(platform::HANDLE event);

// Takes up to `size` bytes of the slot's share; `dropped` is what did not fit since the
// last take. Returns the bytes taken.
std::size_t TakeAttachedOutput(int slot, char* buffer, std::size_t size, std::size_t& dropped);

// Lets the slot go; only its owner calls this, and uses the slot no more.
void DetachOutput(int slot);

// For tests.
void ResetKeptOutputForTest();
