// The service host on POSIX: a dispatcher that turns signals into control requests, and
// status reports in systemd's notify protocol.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/common.h"
#include "platform/posix/handles.h"

namespace platform {

namespace {

std::atomic<LPHANDLER_FUNCTION> ControlRoutine{nullptr};
std::atomic<bool> StopReported{false};     // a stopped status has been reported
std::atomic<bool> StopPendingSent{false};  // systemd has been told STOPPING=1 already
std::atomic<bool> DispatcherRunning{false};
std::mutex WakeLock;                      // guards WakeFd
int WakeFd = -1;                           // the running dispatcher's eventfd, or -1

// The status handle: any non-zero value would do; an address of our own is unique.
char StatusTokenByte;
SERVICE_STATUS_HANDLE StatusToken() { return &StatusTokenByte; }

// The signals that the dispatcher takes through its signalfd: the controls, and SIGCHLD,
// on which it reaps every child that has ended (ours, and what the kernel re-parented to
// us: we are the subreaper of the server's tree, perhaps PID 1), so that none stays a zombie.
sigset_t DispatcherSignals() {
    sigset_t set;
    sigemptyset(&set);
    // The real-time signals are the user-defined control codes 128 and up.
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&set, signal);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGHUP);
    return set;
}

DWORD ControlFor(std::uint32_t signal) {
    const int number = static_cast<int>(signal);
    if (number >= SIGRTMIN && number <= SIGRTMAX) {
        return kServiceControlUserFirst + static_cast<DWORD>(number - SIGRTMIN);
    }
    switch (signal) {
        case SIGTERM:
        case SIGINT:
            return kServiceControlStop;
        case SIGUSR1:
            return kServiceControlInterrogate;
        case SIGHUP:
            return 6;  // SERVICE_CONTROL_PARAMCHANGE, which the system does not handle
        default:
            return 0;
    }
}

// The dispositions that the service relies on, whatever the parent left ignored or
// blocked: an ignored SIGCHLD makes the kernel reap the server by itself (its exit code is
// lost, and its group's number may be reused before we signal it), an ignored stop signal
// is discarded even while blocked, so the signalfd would never see it. Everything but the
// dispatcher's signals is unblocked; those are blocked for the signalfd.
void TakeOwnSignals(const sigset_t& controls, sigset_t& previous) {
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (sigismember(&controls, signal) == 1) (void)sigaction(signal, &standard, nullptr);
    }
    posix::IgnoreBrokenPipes();
    pthread_sigmask(SIG_SETMASK, &controls, &previous);
}

// A stop before there is anyone to hand it to: the process ends as an unprepared
// program does, killed by that very signal, which systemd counts as a clean stop.
[[noreturn]] void EndByStopSignal(int signal) {
    (void)std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(signal);
    // cppcheck-suppress unreachableCode ; raise returns when the signal does not end us
    _exit(128 + signal);
}

void WakeDispatcher() {
    std::lock_guard<std::mutex> lock(WakeLock);
    if (WakeFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = write(WakeFd, &one, sizeof one);
}

std::string ExtendTimeout(const SERVICE_STATUS& status) {
    if (status.WaitHint == 0) return std::string();
    return "\nEXTEND_TIMEOUT_USEC=" +
           std::to_string(static_cast<std::uint64_t>(status.WaitHint) * 1000u);
}

std::string FormatReport(const SERVICE_STATUS& status) {
    std::string text = "X_SERVICE_STATUS=";
    const DWORD fields[7] = {status.ServiceType,     status.CurrentState,
                             status.ControlsAccepted, status.Win32ExitCode,
                             status.ServiceSpecificExitCode, status.CheckPoint,
                             status.WaitHint};
    for (int i = 0; i < 7; ++i) {
        if (i > 0) text += ' ';
        text += std::to_string(fields[i]);
    }
    switch (status.CurrentState) {
        case kServiceStartPending:
            text += "\nSTATUS=Starting (check point " + std::to_string(status.CheckPoint) + ")";
            text += ExtendTimeout(status);
            break;
        case kServiceStopPending:
            text += "\nSTOPPING=1\nSTATUS=Stopping (check point " +
                    std::to_string(status.CheckPoint) + ")";
            text += ExtendTimeout(status);
            break;
        case kServiceRunning:
            text += "\nREADY=1\nSTATUS=Running";
            break;
        case kServiceStopped:
            // systemd has heard STOPPING=1 already when a stop-pending report came first.
            if (!StopPendingSent.load()) text += "\nSTOPPING=1";
            text += "\nSTATUS=Stopped (exit code " + std::to_string(status.Win32ExitCode) + ")";
            break;
        default:
            break;
    }
    return text;
}

// One datagram to NOTIFY_SOCKET: a path, or an abstract name written with a leading
// "@". Without the variable there is no one to tell, which is success. False with
// errno set when the datagram could not be sent.
bool SendNotify(const std::string& text) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0') return true;
    if (name[0] != '/' && name[0] != '@') {
        errno = EAFNOSUPPORT;
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(name);
    const bool abstract = name[0] == '@';
    // A path needs room for its terminator; an abstract name has none.
    if (length > sizeof address.sun_path - (abstract ? 0 : 1)) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, name, length);
    if (abstract) address.sun_path[0] = '\0';
    const auto addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const ssize_t sent = posix::RetryOnInterrupt([&] {
        return sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address), addressLength);
    });
    const int error = errno;
    close(fd);
    if (sent < 0) {
        errno = error;
        return false;
    }
    if (static_cast<std::size_t>(sent) != text.size()) {
        errno = EMSGSIZE;
        return false;
    }
    return true;
}

struct StartArguments {
    LPSERVICE_MAIN_FUNCTIONA routine;
    char** argv;
};

void* RunStartRoutine(void* start) {
    const StartArguments copy = *static_cast<StartArguments*>(start);
    std::free(start);
    copy.routine(1, copy.argv);
    return nullptr;
}

// Every vector handed to a start routine, never freed: the routine may keep it as long as
// it likes.
std::mutex ArgvLock;  // guards KeptVectors()
std::vector<char**>& KeptVectors() {
    static auto* vectors = new std::vector<char**>();
    return *vectors;
}

// Runs the start routine on a detached thread with argc 1 and the service's name.
int StartServiceThread(const SERVICE_TABLE_ENTRYA& entry) {
    const char* name = entry.lpServiceName != nullptr ? entry.lpServiceName : "";
    auto** argv = static_cast<char**>(std::malloc(2 * sizeof(char*)));
    auto* start = static_cast<StartArguments*>(std::malloc(sizeof(StartArguments)));
    char* nameCopy = strdup(name);
    if (argv == nullptr || start == nullptr || nameCopy == nullptr) {
        std::free(argv);
        std::free(start);
        std::free(nameCopy);
        return ENOMEM;
    }
    argv[0] = nameCopy;
    argv[1] = nullptr;
    start->routine = entry.lpServiceProc;
    start->argv = argv;

    const int result = posix::StartDetachedThread(RunStartRoutine, start);
    if (result != 0) {
        std::free(argv);
        std::free(start);
        std::free(nameCopy);
        return result;
    }
    std::lock_guard<std::mutex> lock(ArgvLock);
    KeptVectors().push_back(argv);
    return 0;
}

// Hands one signal to the registered handler, on the dispatcher's thread.
void Deliver(std::uint32_t signal) {
    if (signal == SIGCHLD) {
        posix::ReapChildren();
        return;
    }
    const DWORD control = ControlFor(signal);
    const LPHANDLER_FUNCTION handler = ControlRoutine.load();
    if (handler == nullptr) {
        // Before registration only a stop matters; an interrogation has nobody to ask.
        if (control == kServiceControlStop) EndByStopSignal(static_cast<int>(signal));
        return;
    }
    handler(control);
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    if (table == nullptr || table[0].lpServiceProc == nullptr) {
        SetLastError(EINVAL);
        return 0;
    }
    bool idle = false;
    if (!DispatcherRunning.compare_exchange_strong(idle, true)) {
        SetLastError(EBUSY);
        return 0;
    }
    // Blocked before any thread starts, so that every thread of the service inherits the
    // mask and the signals reach us only here, through the signalfd.
    const sigset_t controls = DispatcherSignals();
    sigset_t previous;
    TakeOwnSignals(controls, previous);
    const int signalFd = signalfd(-1, &controls, SFD_CLOEXEC | SFD_NONBLOCK);
    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int error = signalFd < 0 || wakeFd < 0 ? errno : 0;

    ControlRoutine.store(nullptr);
    StopReported.store(false);
    StopPendingSent.store(false);
    if (error == 0) {
        {
            std::lock_guard<std::mutex> lock(WakeLock);
            WakeFd = wakeFd;
        }
        error = StartServiceThread(table[0]);
    }
    if (error != 0) {
        {
            std::lock_guard<std::mutex> lock(WakeLock);
            WakeFd = -1;
        }
        if (signalFd >= 0) close(signalFd);
        if (wakeFd >= 0) close(wakeFd);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        DispatcherRunning.store(false);
        SetLastError(static_cast<DWORD>(error));
        return 0;
    }

    while (!StopReported.load()) {
        pollfd waits[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) continue;  // EINTR: nothing else can fail here
        if ((waits[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored = read(wakeFd, &count, sizeof count);
        }
        if ((waits[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            while (!StopReported.load() && read(signalFd, &info, sizeof info) == sizeof info) {
                Deliver(info.ssi_signo);
            }
        }
    }

    {
        std::lock_guard<std::mutex> lock(WakeLock);
        WakeFd = -1;
    }
    close(wakeFd);
    close(signalFd);
    // The service is over: signals that came too late are dropped, and they stay
    // blocked on this thread so that a late stop cannot end the process on its way out.
    const timespec noWait{0, 0};
    while (sigtimedwait(&controls, nullptr, &noWait) > 0) {
    }
    DispatcherRunning.store(false);
    return 1;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char*, LPHANDLER_FUNCTION handler) {
    if (handler == nullptr) {
        SetLastError(EINVAL);
        return nullptr;
    }
    ControlRoutine.store(handler);
    return StatusToken();
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
    if (handle != StatusToken()) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    if (status == nullptr) {
        SetLastError(EINVAL);
        return 0;
    }
    const SERVICE_STATUS report = *status;
    const bool sent = SendNotify(FormatReport(report));
    const int error = errno;
    if (report.CurrentState == kServiceStopPending) StopPendingSent.store(true);
    // The service is over once it has said so, whether or not systemd heard it.
    if (report.CurrentState == kServiceStopped) {
        StopReported.store(true);
        WakeDispatcher();
    }
    if (!sent) {
        SetLastError(static_cast<DWORD>(error));
        return 0;
    }
    return 1;
}

}  // namespace platform
