// Where the log's texts go: the log file (kept to its size limit by rotation) or the
// debugger output, each append whole, and no message inside a line of the server's.
#pragma once

#include <cstddef>

// What an append is: a message of the program's, or a piece of the server's output.
enum class LogSource { kMessage, kOutput };

// Appends `length` bytes of text (no zero byte among them) to the log file, each line
// feed stored as CR LF, or, with logging to a file off or impossible, hands them to the
// debugger output. A message that would land inside a line of the server's output begins
// on a line of its own.
void AppendToLog(const char* text, std::size_t length, LogSource source);

// Empties the log file, or creates it; a path that is no regular file (or none that can be
// opened) is passed over without a message. Rotated files stay as they are.
void EmptyLogFile(const char* fileName);
