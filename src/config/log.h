// Every message of the system goes through these two operations.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the text, byte for byte, to the log file (each line feed stored as CR LF) or,
// with logging to a file off or impossible, to the debugger output. A message that comes
// while the server's last line is unfinished begins on a line of its own.
void LogText(const char* text);

// The same for `length` bytes of the server's output (no zero byte among them), which
// may leave a line unfinished.
void LogOutput(const char* text, std::size_t length);

// Formats a message with one argument and hands it to LogText. "%s", "%d" and "%ld" each
// print the argument as what it is, "%%" is one "%", and anything else stands as written.
// A format text of 1000 characters or more is dropped; results are cut at 1023 characters.
void LogFormatted(const char* format, std::int32_t argument);
void LogFormatted(const char* format, const char* argument);
