// The fake platform's files: real files in the test's folders, through the standard
// library, under handles of their own ("f1"...) that the call log and the open-handle
// count of fake_platform.h leave out. A path that exists and is no regular file (a
// device, a FIFO) is never opened: its handle only answers GetFileType as such.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace fake {

// Closes every file still open. Called by Reset. Failures are injected with fake::Fail:
// Op::CreateFileA, Op::FileWrite, Op::DeleteFileA, Op::MoveFileExA.
void ResetFiles();

// Files opened and not closed.
int OpenFiles();

// For fake_platform.cpp: whether the handle is one of ours, and the two calls on it.
bool IsFileHandle(platform::HANDLE handle);
platform::BOOL WriteFileHandle(platform::HANDLE file, const void* buffer, platform::DWORD size,
                               platform::DWORD* bytesWritten);
platform::BOOL CloseFileHandle(platform::HANDLE file);

}  // namespace fake
