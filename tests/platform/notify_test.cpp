// Status reports in systemd's notify protocol (POSIX): one datagram per report, to the
// socket that NOTIFY_SOCKET names, received here on a socket the test binds.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "support/support.h"

namespace {

void IgnoreControl(platform::DWORD) {}

// A bound datagram socket: a path, or an abstract name when `name` begins with "@".
int BindListener(const std::string& name) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    } else {
        ++length;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The next datagram, or "(none)" when nothing comes within the bound.
std::string Receive(int fd, int boundMs = 10000) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(boundMs * support::TimeoutMultiplier())) != 1) {
        return "(none)";
    }
    char buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    return got < 0 ? "(error)" : std::string(buffer, static_cast<std::size_t>(got));
}

bool NothingMoreWaiting(int fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

platform::SERVICE_STATUS Status(platform::DWORD state, platform::DWORD exitCode,
                                platform::DWORD checkPoint, platform::DWORD waitHint) {
    return {0x30, state, 1, exitCode, 0, checkPoint, waitHint};
}

// Reports through a listener bound under `name`, with NOTIFY_SOCKET naming it.
void ExpectReports(const std::string& bindName, const std::string& variable) {
    const int listener = BindListener(bindName);
    ASSERT_GE(listener, 0) << "cannot bind " << bindName;
    setenv("NOTIFY_SOCKET", variable.c_str(), 1);
    const platform::SERVICE_STATUS_HANDLE handle =
        platform::RegisterServiceCtrlHandlerA("", IgnoreControl);
    ASSERT_NE(handle, nullptr);

    struct Case {
        platform::SERVICE_STATUS status;
        const char* datagram;
    };
    const Case cases[] = {
        {Status(platform::kServiceStartPending, 0, 0, 0),
         "X_SERVICE_STATUS=48 2 1 0 0 0 0\nSTATUS=Starting (check point 0)"},
        {Status(platform::kServiceStartPending, 0, 3, 1000),
         "X_SERVICE_STATUS=48 2 1 0 0 3 1000\nSTATUS=Starting (check point 3)\n"
         "EXTEND_TIMEOUT_USEC=1000000"},
        {Status(platform::kServiceStartPending, 259, 4294967295u, 4294967295u),
         "X_SERVICE_STATUS=48 2 1 259 0 4294967295 4294967295\n"
         "STATUS=Starting (check point 4294967295)\nEXTEND_TIMEOUT_USEC=4294967295000"},
        {Status(platform::kServiceRunning, 0, 0, 1000),
         "X_SERVICE_STATUS=48 4 1 0 0 0 1000\nREADY=1\nSTATUS=Running"},
        {Status(platform::kServiceStopped, 109, 0, 0),
         "X_SERVICE_STATUS=48 1 1 109 0 0 0\nSTOPPING=1\nSTATUS=Stopped (exit code 109)"},
        {Status(platform::kServiceStopped, 3221225477u, 0, 0),
         "X_SERVICE_STATUS=48 1 1 3221225477 0 0 0\nSTOPPING=1\n"
         "STATUS=Stopped (exit code 3221225477)"},
    };
    for (const Case& c : cases) {
        platform::SetLastError(77);
        EXPECT_TRUE(platform::SetServiceStatus(handle, &c.status));
        EXPECT_EQ(Receive(listener), c.datagram);
        EXPECT_TRUE(NothingMoreWaiting(listener)) << "one datagram per report";
    }
    unsetenv("NOTIFY_SOCKET");
    close(listener);
}

TEST(NotifyReports, CarryTheSevenFieldsAndTheStatesAssignmentsToAPathSocket) {
    support::TempFolder folder("notify");
    const std::string path = folder.File("notify.sock");
    ExpectReports(path, path);
}

TEST(NotifyReports, ReachAnAbstractSocketNamedWithAnAt) {
    const std::string name = "@tallowmere-notify-test-" + std::to_string(getpid());
    ExpectReports(name, name);
}

TEST(NotifyReports, ThatCannotBeSentAreFailedReportsWithTheErrorNumber) {
    support::TempFolder folder("notify-missing");
    setenv("NOTIFY_SOCKET", folder.File("nobody-listens.sock").c_str(), 1);
    const platform::SERVICE_STATUS_HANDLE handle =
        platform::RegisterServiceCtrlHandlerA("", IgnoreControl);
    const platform::SERVICE_STATUS running = Status(platform::kServiceRunning, 0, 0, 1000);
    platform::SetLastError(0);
    EXPECT_FALSE(platform::SetServiceStatus(handle, &running));
    EXPECT_EQ(platform::GetLastError(), static_cast<platform::DWORD>(ENOENT));

    setenv("NOTIFY_SOCKET", "not-a-socket-address", 1);
    platform::SetLastError(0);
    EXPECT_FALSE(platform::SetServiceStatus(handle, &running));
    EXPECT_NE(platform::GetLastError(), 0u);
    unsetenv("NOTIFY_SOCKET");
}

TEST(NotifyReports, WithoutNotifySocketSucceedAndGoNowhere) {
    unsetenv("NOTIFY_SOCKET");
    const platform::SERVICE_STATUS_HANDLE handle =
        platform::RegisterServiceCtrlHandlerA("", IgnoreControl);
    const platform::SERVICE_STATUS pending = Status(platform::kServiceStartPending, 0, 1, 1000);
    EXPECT_TRUE(platform::SetServiceStatus(handle, &pending));
}

TEST(NotifyReports, NeedTheRegisteredHandle) {
    const platform::SERVICE_STATUS pending = Status(platform::kServiceStartPending, 0, 1, 1000);
    platform::SetLastError(0);
    EXPECT_FALSE(platform::SetServiceStatus(nullptr, &pending));
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
}

TEST(RegisterServiceCtrlHandler, GivesANonZeroHandleAndRefusesANullHandler) {
    EXPECT_NE(platform::RegisterServiceCtrlHandlerA("", IgnoreControl), nullptr);
    EXPECT_NE(platform::RegisterServiceCtrlHandlerA("some name", IgnoreControl), nullptr);
    platform::SetLastError(0);
    EXPECT_EQ(platform::RegisterServiceCtrlHandlerA("", nullptr), nullptr);
    EXPECT_NE(platform::GetLastError(), 0u);
}

}  // namespace

#endif  // _WIN32
