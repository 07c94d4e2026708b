// The output reader: copies the server's output into the log and watches for the start
// hint.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Size of one read of the output pipe.
constexpr platform::DWORD kChunkSize = 4096;

// The thread routine. Logs each chunk as read (without its zero bytes) until the start
// hint shows up, then sets ServerStarted, wakes the supervising thread, logs "\n" and goes
// on reading, so that a server that keeps printing never blocks on a full pipe: with
// LogOutputAfterStart it logs on what it reads until the output ends (and says so),
// otherwise it drops it. When a read fails before the hint, it stores the server's exit
// code in ServiceStatus, closes the four pipe ends and logs "\n"; the process handle is
// the supervising thread's. Returns 1.
platform::DWORD OutputReader(void* parameter);

// Removes the zero bytes from the first `length` bytes, keeping the order of the others,
// and returns how many are left. A zero byte is no text: kept, it would end the text that
// the log and the hint search see (and make tools read the log as binary); output in UTF-16
// reads as its ASCII text without them.
std::size_t DropZeroBytes(char* bytes, std::size_t length);

// Whether `hint` is in `text`, or straddles the end of the previous chunk's text, of
// which `carry` holds the last `carryLength` bytes. Afterwards `carry` holds what the
// next search needs: the last hint length - 1 bytes of the output so far. A null hint is
// never found; an empty one is found in every chunk.
bool FindHint(const char* hint, const char* text, std::size_t textLength, char* carry,
              std::size_t& carryLength);

// Room that FindHint's carry needs: a hint holds at most 4094 characters.
constexpr std::size_t kCarrySize = 4096;
