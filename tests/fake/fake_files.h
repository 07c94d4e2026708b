// The fake platform's files: real files in the test's folders, through the standard
// library, under handles of their own ("f1"...) that the call log and the open-handle
// count of fake_platform.h leave out. A path that exists and is no regular file (a
// device, a FIFO) is never opened: its handle only answers GetFileType as such.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace fake {

// Closes every file still open and forgets the failures. Called by Reset.
void ResetFiles();

// Counting from the last reset, makes the nth CreateFileA (1 = the first) fail with
// `error`: only that one, or with fromThenOn every one from it on. nth 0 fails none.
void FailFileOpen(int nth, platform::DWORD error, bool fromThenOn = false);

// The same for WriteFile on a file.
void FailFileWrite(int nth, platform::DWORD error, bool fromThenOn = false);

// The same for DeleteFileA and MoveFileExA, counted together.
void FailFileRemoval(int nth, platform::DWORD error, bool fromThenOn = false);

// Files opened and not closed.
int OpenFiles();

// For fake_platform.cpp: whether the handle is one of ours, and the two calls on it.
bool IsFileHandle(platform::HANDLE handle);
platform::BOOL WriteFileHandle(platform::HANDLE file, const void* buffer, platform::DWORD size,
                               platform::DWORD* bytesWritten);
platform::BOOL CloseFileHandle(platform::HANDLE file);

}  // namespace fake
