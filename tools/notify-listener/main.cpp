// notify-listener: stands in for systemd's end of the notify protocol, for the demo
// and the end-to-end tests.
//
// Usage: notify-listener [--count N] [--timeout SECONDS] [--time] SOCKET
//
// Binds a Unix datagram socket at SOCKET (a file path, or "@name" for a name in the
// abstract namespace, as NOTIFY_SOCKET spells it) and prints each datagram it receives
// as one line on standard output, flushed at once: the datagram's newline-separated
// assignments joined by " | ", e.g.
//   X_SERVICE_STATUS=48 4 1 0 0 0 1000 | READY=1 | STATUS=Running
// A final line feed of the datagram is dropped; a backslash is printed as "\\" and a
// byte below 0x20 (other than the separating line feeds) or 0x7F and above as "\xHH",
// so every datagram is exactly one line and can be decoded again.
//
// Once the socket is bound it prints "notify-listener: listening on SOCKET" on standard
// error, so a caller knows when it can start the program that sends.
//
//   --count N          end after N datagrams
//   --timeout SECONDS  end after this many seconds (status 0 as well)
//   --time             begin each line with the seconds since the start, "[  1.234] "
//
// SIGTERM, SIGINT and SIGHUP end it too, after the datagrams already queued have been
// printed. A socket file that it bound is removed at the end. Exit status: 0, or 1
// when the socket cannot be bound.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int) { stopRequested = 1; }

std::string Describe(const char* data, std::size_t size) {
    if (size > 0 && data[size - 1] == '\n') --size;
    std::string line;
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\n') {
            line += " | ";
        } else if (c == '\\') {
            line += "\\\\";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            (void)std::snprintf(hex, sizeof hex, "\\x%02X", c);
            line += hex;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

[[noreturn]] void Usage() {
    (void)std::fputs("usage: notify-listener [--count N] [--timeout SECONDS] [--time] SOCKET\n",
                     stderr);
    std::_Exit(1);  // stderr is unbuffered and nothing went to stdout yet
}

}  // namespace

int main(int argc, char** argv) {
    long count = -1;
    double timeout = -1;
    bool stamp = false;
    const char* name = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc) count = std::strtol(argv[++i], nullptr, 10);
        else if (arg == "--timeout" && i + 1 < argc) timeout = std::strtod(argv[++i], nullptr);
        else if (arg == "--time") stamp = true;
        else if (name == nullptr && !arg.empty() && arg[0] != '-') name = argv[i];
        else Usage();
    }
    if (name == nullptr) Usage();  // --help included

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(name);
    if (length >= sizeof address.sun_path) {
        (void)std::fprintf(stderr, "notify-listener: socket name too long: %s\n", name);
        return 1;
    }
    std::memcpy(address.sun_path, name, length);
    bool abstract = name[0] == '@';
    if (abstract) address.sun_path[0] = '\0';  // "@" stands for the leading zero byte
    socklen_t addressSize = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), addressSize) != 0) {
        (void)std::fprintf(stderr, "notify-listener: cannot bind %s: %m\n", name);
        return 1;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;  // no SA_RESTART: poll returns with EINTR
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigaction(signal, &action, nullptr) != 0) {
            (void)std::fprintf(stderr, "notify-listener: sigaction: %m\n");
            return 1;
        }
    }

    (void)std::fprintf(stderr, "notify-listener: listening on %s\n", name);
    (void)std::fflush(stderr);

    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    static char buffer[65536];
    long received = 0;
    while (count < 0 || received < count) {
        int wait = -1;
        if (timeout >= 0) {
            double left = timeout - elapsed();
            if (left <= 0) break;
            wait = static_cast<int>(left * 1000) + 1;
        }
        pollfd p{fd, POLLIN, 0};
        int ready = stopRequested != 0 ? 0 : poll(&p, 1, wait);
        // A stop drains what is queued first: those datagrams were sent before it.
        int flags = stopRequested != 0 ? MSG_DONTWAIT : 0;
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0 && stopRequested == 0) continue;
        ssize_t size = recv(fd, buffer, sizeof buffer, flags);
        if (size < 0) {
            if (errno == EINTR) continue;
            break;  // EAGAIN after a stop: the queue is empty
        }
        ++received;
        if (stamp) (void)std::printf("[%7.3f] ", elapsed());
        (void)std::printf("%s\n", Describe(buffer, static_cast<std::size_t>(size)).c_str());
        (void)std::fflush(stdout);
    }
    close(fd);
    if (!abstract) unlink(name);
    return 0;
}
