// The server's command line: the first line of the command file.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Size of the command-line buffer, terminator included: at most 4095 characters.
constexpr std::size_t kCommandLineSize = 4096;

// Launch results of the command file.
constexpr platform::DWORD kNoCommandFile = 2;  // the file cannot be opened (ERROR_FILE_NOT_FOUND)
constexpr platform::DWORD kNoCommandLine = 9;  // no first line to read (ERROR_INVALID_BLOCK)

// Reads the first line of the file at `path` into `line` (`size` bytes, terminator
// included) and returns 0, or kNoCommandFile / kNoCommandLine. The bytes are read as
// they are and the text-mode rules applied here, so both systems read a file alike: a
// UTF-8 byte order mark at the start is skipped, every carriage return is dropped, a
// byte 0x1A ends the file's data, the line ends at its line feed (not kept), a zero byte
// ends the command line, and the line is cut after size - 1 characters. A null path (no
// memory for the setting) behaves as a file that cannot be opened.
platform::DWORD ReadServerCommandLine(const char* path, char* line, std::size_t size);
