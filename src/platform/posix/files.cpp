// Pipes and files on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform.h"
#include "platform/posix/common.h"
#include "platform/posix/handles.h"

namespace platform {

using posix::AcquireDescriptor;
using posix::AddHandle;
using posix::FailWith;
using posix::HandleEntry;
using posix::HandleKind;
using posix::ReleaseDescriptor;

BOOL CreatePipe(HANDLE* readEnd, HANDLE* writeEnd, const SECURITY_ATTRIBUTES*, DWORD) {
    if (readEnd == nullptr || writeEnd == nullptr) return FailWith(EINVAL);
    posix::IgnoreBrokenPipes();
    // Close-on-exec: a server gets its ends only as its standard handles, never by
    // inheriting them, so it holds no copy that would keep a pipe from breaking.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return FailWith(errno);
    HandleEntry entry{HandleKind::kDescriptor};
    entry.fd = fds[0];
    *readEnd = AddHandle(entry);
    entry.fd = fds[1];
    *writeEnd = AddHandle(entry);
    return 1;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytesRead, void*) {
    if (bytesRead != nullptr) *bytesRead = 0;
    int fd = -1;
    if (!AcquireDescriptor(file, fd)) return FailWith(EBADF);
    if (size == 0) {
        ReleaseDescriptor(file);
        return 1;
    }
    const ssize_t got = posix::RetryOnInterrupt([&] { return read(fd, buffer, size); });
    const int error = errno;
    ReleaseDescriptor(file);
    if (got < 0) return FailWith(error);
    // End of file: no write end is open anywhere. Windows fails such a read with
    // ERROR_BROKEN_PIPE; the nearest error number is EPIPE.
    if (got == 0) return FailWith(EPIPE);
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(got);
    return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, DWORD* bytesWritten, void*) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    posix::IgnoreBrokenPipes();
    int fd = -1;
    if (!AcquireDescriptor(file, fd)) return FailWith(EBADF);
    // Everything is written, as a synchronous WriteFile does, unless an error stops it.
    const auto* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    int error = 0;
    do {
        const ssize_t written = write(fd, bytes + done, size - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(written);
    } while (done < size);
    ReleaseDescriptor(file);
    if (bytesWritten != nullptr) *bytesWritten = static_cast<DWORD>(done);
    if (error != 0) return FailWith(error);
    return 1;
}

HANDLE CreateFileA(const char* fileName, DWORD access, DWORD, const SECURITY_ATTRIBUTES*,
                   DWORD creationDisposition, DWORD, HANDLE) {
    if (fileName == nullptr || (access & (kGenericWrite | kFileAppendData)) == 0) {
        FailWith(EINVAL);
        return kInvalidHandleValue;
    }
    // Non-blocking, so that the open of a FIFO with no reader fails (ENXIO) instead of
    // waiting for one; on a regular file the flag changes nothing.
    int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if ((access & kGenericWrite) == 0) flags |= O_APPEND;
    if (creationDisposition == kCreateAlways) {
        flags |= O_CREAT | O_TRUNC;
    } else if (creationDisposition == kOpenAlways) {
        flags |= O_CREAT;
    }
    const int fd = posix::RetryOnInterrupt([&] { return open(fileName, flags, 0666); });
    if (fd < 0) {
        FailWith(errno);
        return kInvalidHandleValue;
    }
    HandleEntry entry{HandleKind::kDescriptor};
    entry.fd = fd;
    return AddHandle(entry);
}

DWORD GetFileType(HANDLE file) {
    int fd = -1;
    if (!AcquireDescriptor(file, fd)) {
        FailWith(EBADF);
        return kFileTypeUnknown;
    }
    struct stat info {};
    const int result = fstat(fd, &info);
    const int error = errno;
    ReleaseDescriptor(file);
    if (result != 0) {
        FailWith(error);
        return kFileTypeUnknown;
    }
    SetLastError(0);
    if (S_ISREG(info.st_mode)) return kFileTypeDisk;
    if (S_ISCHR(info.st_mode)) return kFileTypeChar;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return kFileTypePipe;
    return kFileTypeUnknown;
}

BOOL GetFileSizeEx(HANDLE file, std::int64_t* size) {
    int fd = -1;
    if (size == nullptr) return FailWith(EINVAL);
    if (!AcquireDescriptor(file, fd)) return FailWith(EBADF);
    struct stat info {};
    const int result = fstat(fd, &info);
    const int error = errno;
    ReleaseDescriptor(file);
    if (result != 0) return FailWith(error);
    *size = static_cast<std::int64_t>(info.st_size);
    return 1;
}

BOOL DeleteFileA(const char* fileName) {
    if (fileName == nullptr) return FailWith(EINVAL);
    if (unlink(fileName) != 0) return FailWith(errno);
    return 1;
}

BOOL MoveFileExA(const char* existingName, const char* newName, DWORD) {
    if (existingName == nullptr || newName == nullptr) return FailWith(EINVAL);
    if (rename(existingName, newName) != 0) return FailWith(errno);
    return 1;
}

}  // namespace platform
