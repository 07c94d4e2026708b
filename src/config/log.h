// Every message of the system goes through these two operations.
#pragma once

#include <cstdint>

// Writes the text, byte for byte, to the log file (each line feed stored as CR LF) or,
// with logging to a file off or impossible, to the debugger output.
void LogText(const char* text);

// Empties the log file, or creates it; a path that is no regular file (or none that can be
// opened) is passed over without a message.
void EmptyLogFile(const char* fileName);

// Formats a message with one argument and hands it to LogText. "%s", "%d" and "%ld" each
// print the argument as what it is, "%%" is one "%", and anything else stands as written.
// A format text of 1000 characters or more is dropped; results are cut at 1023 characters.
void LogFormatted(const char* format, std::int32_t argument);
void LogFormatted(const char* format, const char* argument);
