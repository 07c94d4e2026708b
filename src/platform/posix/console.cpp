// The console endpoint on POSIX: a Unix stream socket, and its connections.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

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

namespace {

constexpr int kBacklog = 16;

HANDLE FailHandle(int error) {
    (void)FailWith(error);
    return kInvalidHandleValue;
}

bool FillAddress(const char* path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length == 0 || length >= sizeof address.sun_path) {
        errno = length == 0 ? EINVAL : ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path, length);
    return true;
}

// The folder part of `path` ("." for a bare name) into `folder`.
void FolderOf(const char* path, char* folder, std::size_t size) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        (void)std::snprintf(folder, size, ".");
    } else if (slash == path) {
        (void)std::snprintf(folder, size, "/");
    } else {
        (void)std::snprintf(folder, size, "%.*s", static_cast<int>(slash - path), path);
    }
}

// Whether a process listens on the socket at `address`.
bool SomeoneListens(const sockaddr_un& address) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const int result = posix::RetryOnInterrupt([&] {
        return connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    });
    close(probe);
    return result == 0 || errno == EAGAIN;
}

// Waits until the descriptor is ready for `events`, at most `milliseconds`: 0, or the
// error number (ETIMEDOUT when the time passed).
int AwaitReady(int fd, short events, DWORD milliseconds) {
    pollfd ready{fd, events, 0};
    const int timeout = milliseconds == kInfinite ? -1 : static_cast<int>(milliseconds);
    const int result = posix::RetryOnInterrupt([&] { return poll(&ready, 1, timeout); });
    if (result < 0) return errno;
    if (result == 0) return ETIMEDOUT;
    return 0;
}

}  // namespace

HANDLE GetStdHandle(DWORD which) {
    static HANDLE standard[3] = {nullptr, nullptr, nullptr};
    static std::once_flag once;
    std::call_once(once, [] {
        for (int fd = 0; fd < 3; ++fd) {
            if (fcntl(fd, F_GETFD) < 0) continue;
            HandleEntry entry{HandleKind::kDescriptor};
            entry.fd = fd;
            standard[fd] = AddHandle(entry);
        }
    });
    // STD_INPUT_HANDLE is -10, then -11 and -12: descriptors 0, 1 and 2.
    const DWORD index = kStdInputHandle - which;
    return index < 3 ? standard[index] : nullptr;
}

HANDLE CreateConsoleEndpoint(const char* address) {
    sockaddr_un socketAddress;
    if (!FillAddress(address, socketAddress)) return FailHandle(errno);
    posix::IgnoreBrokenPipes();

    // A folder that others can write lets them put their own socket in our place.
    char folder[sizeof socketAddress.sun_path];
    FolderOf(address, folder, sizeof folder);
    struct stat folderState;
    if (stat(folder, &folderState) != 0) return FailHandle(errno);
    if (!S_ISDIR(folderState.st_mode)) return FailHandle(ENOTDIR);
    if ((folderState.st_mode & S_IWOTH) != 0) return FailHandle(EACCES);

    struct stat existing;
    if (lstat(address, &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) return FailHandle(EEXIST);
        if (SomeoneListens(socketAddress)) return FailHandle(EADDRINUSE);
    } else if (errno != ENOENT) {
        return FailHandle(errno);
    }

    // bind() gives the socket the mode that the process-wide umask leaves, which other
    // threads may need as it is: the socket is made in a private folder beside its place,
    // given 0660 there, and only then moved into place.
    char privateFolder[sizeof socketAddress.sun_path];
    if (std::snprintf(privateFolder, sizeof privateFolder, "%s/.tm-XXXXXX", folder) >=
        static_cast<int>(sizeof privateFolder)) {
        return FailHandle(ENAMETOOLONG);
    }
    if (mkdtemp(privateFolder) == nullptr) return FailHandle(errno);
    char privatePath[sizeof socketAddress.sun_path + 8];
    sockaddr_un privateAddress;
    (void)std::snprintf(privatePath, sizeof privatePath, "%s/s", privateFolder);
    if (!FillAddress(privatePath, privateAddress)) {
        rmdir(privateFolder);
        return FailHandle(ENAMETOOLONG);  // the private path is a few bytes longer
    }

    int error = 0;
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool listening =
        listener >= 0 &&
        bind(listener, reinterpret_cast<const sockaddr*>(&privateAddress),
             sizeof privateAddress) == 0 &&
        chmod(privatePath, 0660) == 0 && listen(listener, kBacklog) == 0;
    if (!listening) error = errno;
    // Something else put there meanwhile stays.
    if (error == 0 && lstat(address, &existing) == 0 && !S_ISSOCK(existing.st_mode)) error = EEXIST;
    if (error == 0 && rename(privatePath, address) != 0) error = errno;
    unlink(privatePath);  // gone already once moved
    rmdir(privateFolder);
    if (error != 0) {
        if (listener >= 0) close(listener);
        return FailHandle(error);
    }
    HandleEntry entry{HandleKind::kDescriptor};
    entry.fd = listener;
    return AddHandle(entry);
}

HANDLE AcceptConsoleClient(HANDLE endpoint, char* who, DWORD whoSize) {
    int listener = -1;
    if (!AcquireDescriptor(endpoint, listener)) return FailHandle(EBADF);
    const int client = posix::RetryOnInterrupt(
        [&] { return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC); });
    const int error = errno;
    ReleaseDescriptor(endpoint);
    if (client < 0) return FailHandle(error);
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        const int peerError = errno;
        close(client);
        return FailHandle(peerError);
    }
    if (who != nullptr && whoSize > 0) {
        (void)std::snprintf(who, whoSize, "uid %u", static_cast<unsigned>(peer.uid));
    }
    HandleEntry entry{HandleKind::kDescriptor};
    entry.fd = client;
    return AddHandle(entry);
}

HANDLE ConnectConsoleEndpoint(const char* address) {
    sockaddr_un socketAddress;
    if (!FillAddress(address, socketAddress)) return FailHandle(errno);
    posix::IgnoreBrokenPipes();
    const int connection = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connection < 0) return FailHandle(errno);
    if (posix::RetryOnInterrupt([&] {
            return connect(connection, reinterpret_cast<const sockaddr*>(&socketAddress),
                           sizeof socketAddress);
        }) != 0) {
        // A socket that nobody listens on is as good as none.
        const int error = errno == ECONNREFUSED ? ENOENT : errno;
        close(connection);
        return FailHandle(error);
    }
    HandleEntry entry{HandleKind::kDescriptor};
    entry.fd = connection;
    return AddHandle(entry);
}

BOOL ReadConnection(HANDLE connection, void* buffer, DWORD size, DWORD* bytesRead,
                    DWORD milliseconds) {
    if (bytesRead != nullptr) *bytesRead = 0;
    int fd = -1;
    if (!AcquireDescriptor(connection, fd)) return FailWith(EBADF);
    int error = AwaitReady(fd, POLLIN, milliseconds);
    ssize_t got = -1;
    if (error == 0) {
        got = posix::RetryOnInterrupt([&] { return read(fd, buffer, size); });
        if (got < 0) error = errno;
        if (got == 0) error = EPIPE;  // the other side has closed: Windows's broken pipe
    }
    ReleaseDescriptor(connection);
    if (error != 0) return FailWith(error);
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(got);
    return 1;
}

BOOL WriteConnection(HANDLE connection, const void* buffer, DWORD size, DWORD milliseconds) {
    int fd = -1;
    if (!AcquireDescriptor(connection, fd)) return FailWith(EBADF);
    const std::uint64_t deadline =
        milliseconds == kInfinite ? 0 : GetTickCount64() + milliseconds;
    const auto* bytes = static_cast<const char*>(buffer);
    std::size_t done = 0;
    int error = 0;
    while (done < size && error == 0) {
        DWORD left = kInfinite;
        if (milliseconds != kInfinite) {
            const std::uint64_t now = GetTickCount64();
            left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        error = AwaitReady(fd, POLLOUT, left);
        if (error != 0) break;
        const ssize_t written = send(fd, bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            error = errno;
        } else {
            done += static_cast<std::size_t>(written);
        }
    }
    ReleaseDescriptor(connection);
    if (error != 0) return FailWith(error);
    return 1;
}

}  // namespace platform
