// What waits to be written into the server's standard input: commands in the order they
// came, then the quit command, the last thing written. One writer thread
// (supervision/writer.h) writes it, so that a server that does not read its input blocks
// that thread alone: no thread that the lifecycle or the control handler needs ever waits
// on the pipe. Guarded by ServiceLock, like the pipe ends themselves.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Commands that may wait for the server at once; one more is refused.
constexpr std::size_t kQueuedCommandsLimit = 16;
// The longest command, without its line end.
constexpr std::size_t kLongestCommand = 4094;
// The longest name of a command's sender in the log ("control code 129").
constexpr std::size_t kLongestSender = 63;

enum class CommandAnswer {
    kTaken,       // queued: it goes to the server after those before it
    kStopping,    // refused: the quit command has been queued
    kNotReading,  // refused: the queue is full, the server is not reading its input
    kBadCommand,  // refused: empty, longer than kLongestCommand, or with a zero byte, CR or LF
};

// Queues `text` followed by CR LF for the server and wakes the writer. `from` names the
// sender in the log line that the writer makes once it is written. Both are copied.
CommandAnswer QueueCommand(const char* text, std::size_t length, const char* from);

// Queues the quit command after every command queued; no command is taken after it. Only
// the first call queues anything. While no command has ever been queued, the quit command
// is written here at once instead, as the only thing the pipe ever carries (so it cannot
// block: at most 4,094 bytes, and every pipe holds 4,096), and our end is closed: then the
// result is in `error` and the answer is true. The caller holds ServiceLock.
bool QueueQuitCommandLocked(platform::DWORD* error);

// Closes our end of the server's input now, or, while the writer is inside a write, as
// soon as that write returns: the writer alone closes the end it writes into, so that the
// handle it uses is never closed (and perhaps reused) under it. The caller holds ServiceLock.
void CloseServerInputLocked();

// --- The writer's side --------------------------------------------------------------------

// The next thing to write, taken off the queue: its bytes (the command and CR LF, or the
// quit command), whether it is the quit command, and its sender.
struct InputItem {
    bool quit;
    std::size_t length;
    char bytes[kLongestCommand + 2];
    char from[kLongestSender + 1];
};

// Takes the next item into `item` and marks the writer as inside a write, with the end to
// write into in `end` (0 once closed). False when nothing waits. The caller holds ServiceLock.
bool TakeInputLocked(InputItem& item, platform::HANDLE& end);

// Whether the quit command has been taken (by the writer, or written by the stop itself)
// and nothing is left: the writer's work is over. The caller holds ServiceLock.
bool InputOverLocked();

// The write of the item taken last has returned: a close asked for meanwhile is done now;
// after the quit command our end is closed in any case. The caller holds ServiceLock.
void InputWrittenLocked(bool quit);

// The writer's event, set whenever something is queued (0 before the launch creates it).
extern platform::HANDLE InputEvent;

// For tests: forgets the queue and the writer's state.
void ResetInputForTest();
